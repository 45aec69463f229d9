// The command line: the input cut at NUL bytes into arguments. The first piece
// also stands for the program name that decides about the shims.

#include <algorithm>
#include <string>
#include <variant>

#include "fuzz_support.h"
#include "main/cli.h"

namespace {

using Args = std::vector<std::string_view>;

size_t count(const Args& args, size_t end, std::string_view word) {
    return static_cast<size_t>(std::count(args.begin(), args.begin() + end, word));
}

// In a command line that parsed, no option value can be a bare option name or
// "--" (a listener value holds "=", a copy ID only hex digits), so the first
// "--" ends the options and each flag is set exactly when it was given.
void check_launch(const Args& args, const vorn::LaunchOptions& options) {
    const size_t end =
        static_cast<size_t>(std::find(args.begin(), args.end(), "--") - args.begin());
    VFUZZ_CHECK(end < args.size());
    VFUZZ_CHECK(options.command.size() == args.size() - end - 1);
    VFUZZ_CHECK(std::equal(options.command.begin(), options.command.end(), args.begin() + end + 1));
    VFUZZ_CHECK(!options.command.empty() || options.shell);

    // Options are text; their values are bytes, but for the port part and the
    // copy ID. The listener specs keep the order and the bytes of the values.
    size_t tcp_seen = 0, unix_seen = 0;
    for (size_t i = 0; i < end; ++i) {
        const std::string_view arg = args[i];
        VFUZZ_CHECK(vfuzz::is_utf8(arg));
        if (arg != "--tcp" && arg != "--unix" && arg != "--copy-id") continue;
        VFUZZ_CHECK(i + 1 < end);
        const std::string_view value = args[++i];
        const size_t eq = value.find('=');
        if (arg == "--tcp") {
            VFUZZ_CHECK(tcp_seen < options.tcp_specs.size() && eq != std::string_view::npos);
            const auto& spec = options.tcp_specs[tcp_seen++];
            VFUZZ_CHECK(vorn::parse_port(value.substr(0, eq)) == spec.port);
            VFUZZ_CHECK(value.substr(eq + 1) == spec.socket_path);
        } else if (arg == "--unix") {
            VFUZZ_CHECK(unix_seen < options.unix_specs.size() && eq != std::string_view::npos);
            const auto& spec = options.unix_specs[unix_seen++];
            VFUZZ_CHECK(value.substr(0, eq) == spec.socket_path);
            VFUZZ_CHECK(vorn::parse_port(value.substr(eq + 1)) == spec.port);
        } else {
            VFUZZ_CHECK(vorn::is_copy_id(value));
        }
    }
    VFUZZ_CHECK(options.shell == (count(args, end, "--shell") > 0));
    VFUZZ_CHECK(options.clipboard == (count(args, end, "--clipboard") > 0));
    VFUZZ_CHECK(options.join == (count(args, end, "--join") > 0));
    VFUZZ_CHECK(options.tcp_specs.size() == count(args, end, "--tcp"));
    VFUZZ_CHECK(options.unix_specs.size() == count(args, end, "--unix"));
    VFUZZ_CHECK(!options.join || (options.tcp_specs.empty() && options.unix_specs.empty()));
    for (const auto& spec : options.tcp_specs) VFUZZ_CHECK(spec.port != 0);
    for (const auto& spec : options.unix_specs) VFUZZ_CHECK(spec.port != 0);

    if (options.copy_id) {
        VFUZZ_CHECK(options.join);
        VFUZZ_CHECK(vorn::is_copy_id(*options.copy_id));
        // The last --copy-id wins.
        size_t last = end;
        for (size_t i = 0; i + 1 < end; ++i) {
            if (args[i] == "--copy-id") last = i;
        }
        VFUZZ_CHECK(last < end && args[last + 1] == *options.copy_id);
    } else {
        VFUZZ_CHECK(count(args, end, "--copy-id") == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto pieces = vfuzz::split_on_nul(data, size);
    // An empty input stands for an empty argument list.
    const Args args = size == 0 ? Args() : vfuzz::views(pieces);

    const std::string_view program = pieces.front().view();
    if (const auto shim = vorn::shim_name(program)) {
        VFUZZ_CHECK(*shim == "xclip" || *shim == "xsel" || *shim == "wl-paste");
        VFUZZ_CHECK(program.find(*shim) != std::string_view::npos);
    }

    const auto parsed = vorn::parse_command_line(args);
    if (!parsed) {
        // Arguments are quoted in their lossy UTF-8 form, so the message is text.
        VFUZZ_CHECK(!parsed.error().message.empty());
        VFUZZ_CHECK(vfuzz::is_utf8(parsed.error().message));
        return 0;
    }
    if (const auto* check = std::get_if<vorn::CheckMode>(&*parsed)) {
        VFUZZ_CHECK(args.size() == 2 && args[0] == "--check" && args[1] == check->command);
    } else if (const auto* hangup = std::get_if<vorn::HangupMode>(&*parsed)) {
        VFUZZ_CHECK(args.size() == 2 && args[0] == "--hangup" && args[1] == hangup->copy_id);
        VFUZZ_CHECK(vorn::is_copy_id(hangup->copy_id));
    } else {
        check_launch(args, std::get<vorn::LaunchOptions>(*parsed));
    }
    return 0;
}
