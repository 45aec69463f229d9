#pragma once

#include <sys/types.h>

#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/unique_fd.h"

namespace vorn {

inline constexpr std::string_view kDefaultSessionFolder = "/run/vorn-session";

inline constexpr std::string_view kSessionLockName = "copies.lock";
inline constexpr std::string_view kEndedMarkerName = "ended";
inline constexpr std::string_view kCopyFilePrefix = "copy-";
inline constexpr std::string_view kHangupMarkerPrefix = "hangup-";

// VORN_ENTRY_SESSION_DIR when set and not empty, else /run/vorn-session.
std::string session_folder_path();

// The first copy's preparation: the folder made (or an existing folder of this
// user accepted and set to 0700), stale markers removed, copies.lock opened.
std::expected<UniqueFd, Error> prepare_session_folder(const std::string& folder);

// The folder itself, opened as a directory, when it is a real folder (not a
// symbolic link) owned by the effective user; else the error
// "{folder} is not a folder of this user", or lstat's own error. Entries are
// then reached relative to this descriptor, so the folder cannot be swapped
// for a link between the check and the use.
std::expected<UniqueFd, Error> open_own_folder(const std::string& folder);

// folder + "/" + name
std::string folder_entry(const std::string& folder, std::string_view name);

// "copy-{pid}"
std::string copy_file_name(pid_t pid);

// lstat succeeds (whatever the entry is, a dangling link included).
bool entry_exists(const std::string& folder, std::string_view name);

// Creates "ended" (0600, O_NOFOLLOW, not truncated); errors are ignored.
void write_ended_marker(const std::string& folder);

// Removes "copy-{pid}" from the folder; errors are ignored.
void remove_copy_file(const std::string& folder, pid_t pid);

// Calls visit with each entry name of an open folder, in listing order ("."
// and ".." included). Fails when the folder cannot be listed or read.
std::expected<void, Error> list_folder(int folder_fd,
                                       const std::function<void(const char* name)>& visit);

// Creates the empty marker `name` in an open folder (0600, not truncated,
// never through a link, never waiting on a FIFO planted there); errors are
// ignored.
void create_marker_at(int folder_fd, std::string_view name);

// fstatat without following a link: the entry is there, whatever it is.
bool entry_exists_at(int folder_fd, std::string_view name);

}  // namespace vorn
