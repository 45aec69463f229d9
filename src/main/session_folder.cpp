#include "main/session_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/io.h"
#include "base/path.h"
#include "base/text.h"

namespace vorn {
namespace {

// A trailing slash makes lstat and O_NOFOLLOW resolve a link at the last
// component, which would let a link pass for the folder itself.
std::string without_trailing_slashes(const std::string& folder) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

Error not_own_folder(const std::string& folder) {
    return Error::own(display_form(folder) + " is not a folder of this user");
}

bool is_own_folder(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

bool is_stale(std::string_view name) {
    return name == kEndedMarkerName || name.starts_with(kCopyFilePrefix) ||
           name.starts_with(kHangupMarkerPrefix);
}

std::string hangup_marker_name(std::string_view copy_id) {
    return std::string(kHangupMarkerPrefix) + std::string(copy_id);
}

}  // namespace

std::string session_folder_path(const std::optional<std::string>& session_dir) {
    if (session_dir && !session_dir->empty()) return *session_dir;
    return std::string(kDefaultSessionFolder);
}

std::string copy_file_name(pid_t pid) {
    return std::string(kCopyFilePrefix) + std::to_string(pid);
}

std::expected<SessionFolder, Error> SessionFolder::open(const std::string& path) {
    if (has_nul(path)) return std::unexpected(Error::own(kNulInPath));
    const std::string trimmed = without_trailing_slashes(path);
    struct stat seen;
    if (::lstat(trimmed.c_str(), &seen) != 0) return std::unexpected(Error::last_system());
    if (!is_own_folder(seen)) return std::unexpected(not_own_folder(path));
    UniqueFd fd(::open(trimmed.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        // Replaced by a link or a file since the lstat.
        if (errno == ELOOP || errno == ENOTDIR) return std::unexpected(not_own_folder(path));
        return std::unexpected(Error::last_system());
    }
    struct stat opened;
    if (::fstat(fd.get(), &opened) != 0) return std::unexpected(Error::last_system());
    if (!is_own_folder(opened) || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino) {
        return std::unexpected(not_own_folder(path));
    }
    return SessionFolder(path, std::move(fd));
}

SessionFolder SessionFolder::open_if_own(const std::string& path) {
    auto folder = open(path);
    if (!folder) return SessionFolder();
    return std::move(*folder);
}

void SessionFolder::create_marker(const std::string& name) const {
    if (!present() || has_nul(name)) return;
    UniqueFd fd(::openat(fd_.get(), name.c_str(),
                         O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                         0600));
}

bool SessionFolder::has_entry(const std::string& name) const {
    if (!present() || has_nul(name)) return false;
    struct stat st;
    return ::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void SessionFolder::write_ended_marker() const {
    create_marker(std::string(kEndedMarkerName));
}

bool SessionFolder::has_ended_marker() const {
    return has_entry(std::string(kEndedMarkerName));
}

void SessionFolder::write_hangup_marker(std::string_view copy_id) const {
    create_marker(hangup_marker_name(copy_id));
}

bool SessionFolder::has_hangup_marker(std::string_view copy_id) const {
    return has_entry(hangup_marker_name(copy_id));
}

void SessionFolder::remove_hangup_marker(std::string_view copy_id) const {
    remove_entry(hangup_marker_name(copy_id).c_str());
}

void SessionFolder::remove_copy_file(pid_t pid) const {
    remove_entry(copy_file_name(pid).c_str());
}

void SessionFolder::remove_entry(const char* name) const {
    if (present()) (void)::unlinkat(fd_.get(), name, 0);
}

std::expected<void, Error> SessionFolder::list(
    const std::function<void(const char* name)>& visit) const {
    if (!present()) return std::unexpected(Error::system(EBADF));
    return list_folder(fd_.get(), visit);
}

std::expected<PreparedSession, Error> prepare_session_folder(const std::string& path) {
    if (has_nul(path)) return std::unexpected(Error::own(kNulInPath));
    const std::string trimmed = without_trailing_slashes(path);
    if (const auto parent = parent_path(trimmed); parent && !parent->empty()) {
        if (auto made = make_dirs(*parent, 0755); !made) return std::unexpected(made.error());
    }

    SessionFolder folder;
    if (::mkdir(trimmed.c_str(), 0700) == 0) {
        // A folder made just now is empty: no stale entries to remove.
        auto opened = SessionFolder::open(path);
        if (!opened) return std::unexpected(opened.error());
        folder = std::move(*opened);
    } else {
        if (errno != EEXIST) return std::unexpected(Error::last_system());
        auto opened = SessionFolder::open(path);
        if (!opened && opened.error().code == EACCES) {
            // A folder of this user that its owner cannot read: the lstat has
            // vouched for it, so make it usable and look again.
            if (::fchmodat(AT_FDCWD, trimmed.c_str(), 0700, AT_SYMLINK_NOFOLLOW) != 0) {
                return std::unexpected(Error::last_system());
            }
            opened = SessionFolder::open(path);
        }
        if (!opened) return std::unexpected(opened.error());
        folder = std::move(*opened);
        if (::fchmod(folder.fd(), 0700) != 0) return std::unexpected(Error::last_system());
        const auto removed = folder.list([&](const char* name) {
            if (is_stale(name)) folder.remove_entry(name);
        });
        if (!removed) return std::unexpected(removed.error());
    }

    UniqueFd lock(::openat(folder.fd(), std::string(kSessionLockName).c_str(),
                           O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!lock) return std::unexpected(Error::last_system());
    return PreparedSession{std::move(folder), std::move(lock)};
}

}  // namespace vorn
