#pragma once

#include <string>
#include <string_view>

namespace vorn {

inline constexpr std::string_view kLaunchPrefix = "[launch] ";

// Writes text and a newline to standard error in one piece, under the
// process-wide standard-error lock, so messages of different threads never
// interleave. Write errors are ignored.
void write_message(std::string_view text);

// "[launch] " + body, written as above.
void launch_message(std::string_view body);

// Writes the message and ends the process with status at once.
[[noreturn]] void end_with_message(int status, std::string_view text);
[[noreturn]] void end_with_launch_message(int status, std::string_view body);

}  // namespace vorn
