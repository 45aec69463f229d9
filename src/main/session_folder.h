#pragma once

#include <sys/types.h>

#include <expected>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/unique_fd.h"

namespace vorn {

inline constexpr std::string_view kDefaultSessionFolder = "/run/vorn-session";

// VORN_ENTRY_SESSION_DIR when set and not empty, else /run/vorn-session.
std::string session_folder_path();

// The first copy's preparation: the folder made (or an existing folder of this
// user accepted and set to 0700), stale markers removed, copies.lock opened.
std::expected<UniqueFd, Error> prepare_session_folder(const std::string& folder);

// folder + "/" + name
std::string folder_entry(const std::string& folder, std::string_view name);

// "copy-{pid}"
std::string copy_file_name(pid_t pid);

// lstat succeeds (whatever the entry is, a dangling link included).
bool entry_exists(const std::string& folder, std::string_view name);

// Creates "ended" (0600, O_NOFOLLOW, not truncated); errors are ignored.
void write_ended_marker(const std::string& folder);

}  // namespace vorn
