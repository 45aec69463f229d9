#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "relay/listen_options.h"

namespace vorn {

struct LaunchOptions {
    std::vector<TcpSpec> tcp_specs;
    std::vector<UnixSpec> unix_specs;
    std::vector<std::string> command;  // words after --, verbatim bytes
    std::optional<std::string> copy_id;
    bool shell = false;
    bool clipboard = false;
    bool join = false;
    bool operator==(const LaunchOptions&) const = default;
};

struct CheckMode {
    std::string command;
    bool operator==(const CheckMode&) const = default;
};

struct HangupMode {
    std::string copy_id;
    bool operator==(const HangupMode&) const = default;
};

using Mode = std::variant<CheckMode, HangupMode, LaunchOptions>;

// The text of one usage error, without the "[launch] " prefix.
struct UsageError {
    std::string message;
};

extern const std::string_view kUsageText;

// The shim to run when the program was started as xclip, xsel or wl-paste.
std::optional<std::string_view> shim_name(std::string_view argv0);

// A port of 1 to 65535: optional "+", one or more digits, nothing else.
std::optional<uint16_t> parse_port(std::string_view text);

// 1 to 64 characters, each 0-9 or a-f.
bool is_copy_id(std::string_view text);

// Parses the arguments after the program name.
std::expected<Mode, UsageError> parse_command_line(std::span<const std::string_view> args);

// Writes "[launch] {message}", the usage text and a newline; exits 2.
[[noreturn]] void end_with_usage_error(const UsageError& error);

}  // namespace vorn
