#pragma once

#include <sys/types.h>

#include <expected>
#include <functional>
#include <optional>
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

// The value of VORN_ENTRY_SESSION_DIR when it is set and not empty, else
// /run/vorn-session.
std::string session_folder_path(const std::optional<std::string>& session_dir);

// "copy-{pid}"
std::string copy_file_name(pid_t pid);

// The session folder, opened once as a directory after the check that it is
// a real folder (not a symbolic link) owned by the effective user. Its
// entries are reached relative to that descriptor only, so the folder cannot
// be swapped for a link between the check and any later use. A folder that
// could not be opened is absent: nothing is written into it, no entry is
// there and nothing can be listed.
class SessionFolder {
  public:
    SessionFolder() = default;

    // The folder at path; else the error "{path} is not a folder of this
    // user", or lstat's own error.
    static std::expected<SessionFolder, Error> open(const std::string& path);
    // The folder at path, or an absent one when it cannot be opened.
    static SessionFolder open_if_own(const std::string& path);

    bool present() const { return static_cast<bool>(fd_); }
    // The open folder, for the opens relative to it that belong to a caller.
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }

    // Markers are empty files made with 0600, never truncated, never through
    // a link, never waiting on a FIFO planted under their name; errors are
    // ignored. An entry is there whatever it is, a dangling link included.
    void write_ended_marker() const;
    bool has_ended_marker() const;
    // "hangup-{copy_id}", for a copy ID of hex digits only.
    void write_hangup_marker(std::string_view copy_id) const;
    bool has_hangup_marker(std::string_view copy_id) const;
    void remove_hangup_marker(std::string_view copy_id) const;

    // Removes "copy-{pid}", or a listed entry by its name; errors are ignored.
    void remove_copy_file(pid_t pid) const;
    void remove_entry(const char* name) const;

    // Calls visit with each entry name, in listing order ("." and ".."
    // included). Fails when the folder cannot be listed or read.
    std::expected<void, Error> list(const std::function<void(const char* name)>& visit) const;

  private:
    SessionFolder(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

    void create_marker(const std::string& name) const;
    bool has_entry(const std::string& name) const;

    std::string path_;
    UniqueFd fd_;
};

// The first copy's session: its folder and copies.lock, open for reading and
// writing.
struct PreparedSession {
    SessionFolder folder;
    UniqueFd lock;
};

// The first copy's preparation: the folder made (or an existing folder of this
// user accepted and set to 0700), stale markers removed, copies.lock opened.
std::expected<PreparedSession, Error> prepare_session_folder(const std::string& path);

}  // namespace vorn
