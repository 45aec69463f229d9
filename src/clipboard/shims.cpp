#include "clipboard/shims.h"

#include <unistd.h>

#include <initializer_list>
#include <optional>
#include <stdexcept>

#include "base/error.h"
#include "base/io.h"
#include "base/text.h"

namespace vorn {
namespace {

ShimRefusal cannot_write(std::string_view shim) {
    return {std::string(shim) + ": the container cannot write the Mac clipboard."};
}

ShimRefusal only_images(std::string_view shim) {
    return {std::string(shim) +
            ": only images pass from the Mac clipboard into the container, not text."};
}

ShimRefusal not_supported(std::string_view shim, std::string_view arg) {
    return {std::string(shim) + ": " + std::string(arg) + " is not supported here."};
}

bool is_one_of(std::string_view arg, std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) {
        if (arg == name) return true;
    }
    return false;
}

// A media type that can go on the wire: the request is one line, so a type
// with a line feed in it would smuggle a second request to the service.
bool is_image_type(std::string_view type) {
    return type.starts_with("image/") && type.find('\n') == std::string_view::npos;
}

// The arguments as text: one that is not UTF-8 counts as empty, so it can
// never pass for an option or a media type.
class Arguments {
  public:
    explicit Arguments(std::span<const std::string_view> args) : args_(args) {}
    bool done() const { return pos_ >= args_.size(); }
    std::string_view next() { return text(args_[pos_++]); }
    std::optional<std::string_view> value() {
        if (done()) return std::nullopt;
        return next();
    }

  private:
    static std::string_view text(std::string_view arg) { return is_valid_utf8(arg) ? arg : ""; }
    std::span<const std::string_view> args_;
    size_t pos_ = 0;
};

ShimCommand parse_xclip(std::span<const std::string_view> list) {
    constexpr std::string_view kShim = "xclip";
    bool out = false;
    std::optional<std::string_view> target;
    Arguments args(list);
    while (!args.done()) {
        const std::string_view arg = args.next();
        if (is_one_of(arg, {"-o", "-out"})) {
            out = true;
        } else if (is_one_of(arg, {"-i", "-in", "-f", "-filter"})) {
            return cannot_write(kShim);
        } else if (is_one_of(arg, {"-t", "-target"})) {
            target = args.value();
        } else if (is_one_of(arg, {"-se", "-sel", "-selection"})) {
            const std::string_view selection = args.value().value_or("");
            if (!is_one_of(selection, {"c", "clip", "clipboard"})) {
                return ShimRefusal{"xclip: only the clipboard selection comes from the Mac, not " +
                                   std::string(selection) + "."};
            }
        } else if (is_one_of(arg, {"-d", "-display", "-l", "-loops"})) {
            (void)args.value();
        } else if (is_one_of(arg,
                             {"-r", "-rmlastnl", "-silent", "-quiet", "-verbose", "-noutf8"})) {
            // These change nothing about a paste.
        } else if (arg.starts_with('-')) {
            return not_supported(kShim, arg);
        } else {
            // A file name: xclip would read it into the clipboard.
            return cannot_write(kShim);
        }
    }
    if (!out) return cannot_write(kShim);
    if (!target) return only_images(kShim);
    if (*target == "TARGETS") return ClipboardRequest::list_types();
    if (is_image_type(*target)) return ClipboardRequest::image(std::string(*target));
    return only_images(kShim);
}

ShimCommand parse_wl_paste(std::span<const std::string_view> list) {
    constexpr std::string_view kShim = "wl-paste";
    constexpr std::string_view kTypeEquals = "--type=";
    bool list_types = false;
    std::optional<std::string_view> type;
    Arguments args(list);
    while (!args.done()) {
        const std::string_view arg = args.next();
        if (is_one_of(arg, {"-l", "--list-types"})) {
            list_types = true;
        } else if (is_one_of(arg, {"-n", "--no-newline"})) {
            // The body is passed on as it is; no line feed is ever added.
        } else if (is_one_of(arg, {"-t", "--type"})) {
            type = args.value();
        } else if (arg.starts_with(kTypeEquals)) {
            type = arg.substr(kTypeEquals.size());
        } else if (is_one_of(arg, {"-p", "--primary"})) {
            return ShimRefusal{
                "wl-paste: only the clipboard selection comes from the Mac, not the primary "
                "selection."};
        } else if (is_one_of(arg, {"-w", "--watch"})) {
            return ShimRefusal{"wl-paste: --watch is not supported here."};
        } else {
            return not_supported(kShim, arg);
        }
    }
    if (list_types) return ClipboardRequest::list_types();
    if (!type || !is_image_type(*type)) return only_images(kShim);
    return ClipboardRequest::image(std::string(*type));
}

ShimCommand parse_xsel(std::string_view shim, std::span<const std::string_view> list) {
    Arguments args(list);
    while (!args.done()) {
        if (is_one_of(args.next(), {"-i", "-a", "--input", "--append"})) return cannot_write(shim);
    }
    return only_images(shim);
}

// A shim that cannot even tell the user why it failed has no honest way to
// go on, so it stops with the runtime's fatal report.
void report(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    if (const auto written = write_all(STDERR_FILENO, text); !written) {
        throw std::runtime_error("cannot write to standard error: " + error_text(written.error()));
    }
}

}  // namespace

ShimCommand parse_shim_args(std::string_view shim, std::span<const std::string_view> args) {
    if (shim == "xclip") return parse_xclip(args);
    if (shim == "wl-paste") return parse_wl_paste(args);
    return parse_xsel(shim, args);
}

int run_shim(std::string_view shim, std::span<const std::string_view> args,
             const std::string& socket_path) {
    const ShimCommand command = parse_shim_args(shim, args);
    if (const auto* refusal = std::get_if<ShimRefusal>(&command)) {
        report(refusal->line);
        return 1;
    }
    const FetchOutcome outcome =
        fetch_clipboard(socket_path, std::get<ClipboardRequest>(command), STDOUT_FILENO);
    if (const auto* failed = std::get_if<FetchFailed>(&outcome)) {
        report(std::string(shim) + ": " + failed->message);
        return 1;
    }
    if (std::holds_alternative<FetchBrokenPipe>(outcome)) return 141;
    return 0;
}

}  // namespace vorn
