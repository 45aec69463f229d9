#pragma once

#include <cerrno>
#include <string>

namespace vorn {

// A failed operation: either a system error number or a message of the
// program's own (code 0).
struct Error {
    int code = 0;
    std::string message;

    static Error system(int code) { return Error{code, {}}; }
    static Error last_system() { return system(errno); }
    static Error own(std::string message) { return Error{0, std::move(message)}; }

    bool is_system() const { return code != 0; }
};

// The system's description of an error number, without the number.
std::string error_description(int code);

// "{description} (os error {number})" for a system error, the message alone
// for an error of the program's own.
std::string error_text(const Error& error);

// Messages of the program's own that stand where a system error would.
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr const char* kWriteZero = "failed to write whole buffer";
inline constexpr const char* kInvalidUtf8 = "stream did not contain valid UTF-8";

}  // namespace vorn
