#include "main/cli.h"

#include <string>

#include "base/exit.h"
#include "base/number.h"
#include "base/path.h"
#include "base/text.h"
#include "main/message.h"

namespace vorn {

const std::string_view kUsageText =
    "usage: vorn-entry [--tcp PORT=SOCK]... [--unix SOCK=PORT]... [--clipboard] [--shell] -- CMD "
    "[ARGS]...\n"
    "       vorn-entry [--clipboard] --join [--copy-id ID] [--shell] -- CMD [ARGS]...\n"
    "       vorn-entry --hangup ID\n"
    "       vorn-entry --check CMD";

std::optional<std::string_view> shim_name(std::string_view argv0) {
    const auto name = final_component(argv0);
    if (!name) return std::nullopt;
    for (std::string_view shim : {"xclip", "xsel", "wl-paste"}) {
        if (*name == shim) return shim;
    }
    return std::nullopt;
}

std::optional<uint16_t> parse_port(std::string_view text) {
    const auto value = parse_unsigned(text, UINT16_MAX);
    if (!value || *value == 0) return std::nullopt;
    return static_cast<uint16_t>(*value);
}

bool is_copy_id(std::string_view text) {
    if (text.empty() || text.size() > 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

namespace {

std::unexpected<UsageError> usage(std::string message) {
    return std::unexpected(UsageError{std::move(message)});
}

std::unexpected<UsageError> bad_port(std::string_view port) {
    return usage(lossy_utf8(port) + " is not a port number");
}

std::unexpected<UsageError> bad_copy_id(std::string_view value) {
    return usage(lossy_utf8(value) + " is not a copy ID, which is 1 to 64 lowercase hex digits");
}

std::expected<LaunchOptions, UsageError> final_checks(LaunchOptions options) {
    if (options.command.empty() && !options.shell) return usage("no command after --");
    if (options.join && (!options.tcp_specs.empty() || !options.unix_specs.empty())) {
        return usage("--join takes no listeners, since the session's relay already runs");
    }
    if (!options.join && options.copy_id) {
        return usage("--copy-id names a joined copy, so it needs --join");
    }
    return options;
}

}  // namespace

std::expected<Mode, UsageError> parse_command_line(std::span<const std::string_view> args) {
    const size_t n = args.size();
    LaunchOptions options;
    for (size_t i = 0; i < n; ++i) {
        const std::string_view arg = args[i];
        if (!is_valid_utf8(arg)) return usage("unknown argument " + lossy_utf8(arg));

        if (arg == "--") {
            for (size_t j = i + 1; j < n; ++j) options.command.emplace_back(args[j]);
            auto checked = final_checks(std::move(options));
            if (!checked) return std::unexpected(checked.error());
            return Mode(std::move(*checked));
        }
        if (arg == "--clipboard") {
            options.clipboard = true;
            continue;
        }
        if (arg == "--shell") {
            options.shell = true;
            continue;
        }
        if (arg == "--join") {
            options.join = true;
            continue;
        }
        const bool takes_value = arg == "--tcp" || arg == "--unix" || arg == "--copy-id" ||
                                 arg == "--hangup" || arg == "--check";
        if (!takes_value) return usage("unknown argument " + std::string(arg));
        if (i + 1 >= n) return usage(std::string(arg) + " needs a value");
        const std::string_view value = args[++i];

        if (arg == "--tcp" || arg == "--unix") {
            const size_t eq = value.find('=');
            if (eq == std::string_view::npos) return usage(lossy_utf8(value) + " has no =");
            const std::string_view before = value.substr(0, eq);
            const std::string_view after = value.substr(eq + 1);
            if (arg == "--tcp") {
                const auto port = parse_port(before);
                if (!port) return bad_port(before);
                options.tcp_specs.push_back({*port, std::string(after)});
            } else {
                const auto port = parse_port(after);
                if (!port) return bad_port(after);
                options.unix_specs.push_back({std::string(before), *port});
            }
        } else if (arg == "--copy-id") {
            if (!is_copy_id(value)) return bad_copy_id(value);
            options.copy_id = std::string(value);
        } else if (arg == "--hangup") {
            if (!is_copy_id(value)) return bad_copy_id(value);
            if (n != 2) return usage("--hangup takes only the copy ID");
            return Mode(HangupMode{std::string(value)});
        } else {  // --check
            if (n != 2) return usage("--check takes only the command");
            return Mode(CheckMode{std::string(value)});
        }
    }
    return usage("missing -- before the command");
}

void end_with_usage_error(const UsageError& error) {
    std::string text(kLaunchPrefix);
    text.append(error.message);
    text.push_back('\n');
    text.append(kUsageText);
    end_with_message(2, text);
}

}  // namespace vorn
