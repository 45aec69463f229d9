#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// What the program takes from its environment, read once at the entry and
// handed down, so that every input of a part is in its parameters. A
// variable that is unset is absent, which is not the same as empty.
struct Environment {
    std::optional<std::string> path;         // PATH
    std::optional<std::string> home;         // HOME
    std::optional<std::string> session_dir;  // VORN_ENTRY_SESSION_DIR
    std::optional<std::string> passwd;       // VORN_ENTRY_PASSWD
    std::optional<std::string> rootfs;       // VORN_ENTRY_ROOTFS
    std::optional<std::string> clip_bin;     // VORN_CLIP_BIN
    std::optional<std::string> clip_sock;    // VORN_CLIP_SOCK
    // Every entry as the program received it, in order, for the command's
    // environment. They point into envp, which stays as it is for the life
    // of the process.
    std::vector<std::string_view> entries;
};

// Reads a null-terminated list of "NAME=value" entries. Where a name comes
// twice, the first entry counts, as for getenv; an entry without "=" names
// no variable.
Environment read_environment(const char* const* envp);

}  // namespace vorn
