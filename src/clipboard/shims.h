#pragma once

#include <span>
#include <string_view>

namespace vorn {

// Runs the xclip, xsel or wl-paste shim with the arguments after the program
// name; returns the exit status.
int run_shim(std::string_view shim, std::span<const std::string_view> args);

}  // namespace vorn
