#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "clipboard/fetch.h"

namespace vorn {

// A command line the shim will not carry out: the whole message line, without
// its line feed.
struct ShimRefusal {
    std::string line;
    bool operator==(const ShimRefusal&) const = default;
};
using ShimCommand = std::variant<ClipboardRequest, ShimRefusal>;

// Reads the arguments the way the tool of that name would, as far as pasting
// an image or listing the clipboard's types goes. A name that is neither
// "xclip" nor "wl-paste" reads them as xsel does.
ShimCommand parse_shim_args(std::string_view shim, std::span<const std::string_view> args);

// Runs the xclip, xsel or wl-paste shim with the arguments after the program
// name; returns the exit status. SIGPIPE must be ignored, as the program does
// from its start, so that a reader leaving early ends the shim with its own
// status. The service is reached at socket_path.
int run_shim(std::string_view shim, std::span<const std::string_view> args,
             const std::string& socket_path);

}  // namespace vorn
