// The shims' command lines: the input cut at NUL bytes into arguments, read
// by each of the three shims.

#include <algorithm>
#include <string>
#include <variant>

#include "clipboard/shims.h"
#include "fuzz_support.h"

namespace {

using Args = std::vector<std::string_view>;

bool has_arg(const Args& args, std::string_view arg) {
    return std::find(args.begin(), args.end(), arg) != args.end();
}

void check_request(std::string_view shim, const Args& args, const vorn::ClipboardRequest& request) {
    VFUZZ_CHECK(shim != "xsel");
    if (shim == "xclip") VFUZZ_CHECK(has_arg(args, "-o") || has_arg(args, "-out"));
    if (request.kind == vorn::ClipboardRequest::Kind::image) {
        VFUZZ_CHECK(request.type.starts_with("image/"));
        VFUZZ_CHECK(has_arg(args, request.type) ||
                    (shim == "wl-paste" && has_arg(args, "--type=" + request.type)));
    }
    // Whatever the arguments, the service is sent one line of text.
    const std::string wire = vorn::request_bytes(request);
    VFUZZ_CHECK(vfuzz::is_utf8(wire));
    VFUZZ_CHECK(wire.find('\n') == wire.size() - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto pieces = vfuzz::split_on_nul(data, size);
    // An empty input stands for a shim started with no arguments at all.
    const Args args = size == 0 ? Args() : vfuzz::views(pieces);

    for (const std::string_view shim : {"xclip", "xsel", "wl-paste"}) {
        const vorn::ShimCommand command = vorn::parse_shim_args(shim, args);
        if (const auto* request = std::get_if<vorn::ClipboardRequest>(&command)) {
            check_request(shim, args, *request);
            continue;
        }
        const std::string& line = std::get<vorn::ShimRefusal>(command).line;
        VFUZZ_CHECK(line.starts_with(std::string(shim) + ": "));
        VFUZZ_CHECK(vfuzz::is_utf8(line));
    }

    // xsel only explains, and which explanation depends on one thing.
    const bool writes = has_arg(args, "-i") || has_arg(args, "-a") || has_arg(args, "--input") ||
                        has_arg(args, "--append");
    const auto xsel = vorn::parse_shim_args("xsel", args);
    VFUZZ_CHECK(std::get<vorn::ShimRefusal>(xsel).line ==
                (writes ? "xsel: the container cannot write the Mac clipboard."
                        : "xsel: only images pass from the Mac clipboard into the container, not "
                          "text."));
    return 0;
}
