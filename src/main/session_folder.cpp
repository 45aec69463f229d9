#include "main/session_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

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

std::expected<void, Error> remove_stale_entries(int folder_fd) {
    return list_folder(folder_fd, [&](const char* name) {
        if (is_stale(name)) (void)::unlinkat(folder_fd, name, 0);
    });
}

}  // namespace

std::string session_folder_path() {
    const char* value = std::getenv("VORN_ENTRY_SESSION_DIR");
    if (value && *value) return value;
    return std::string(kDefaultSessionFolder);
}

std::expected<UniqueFd, Error> open_own_folder(const std::string& folder) {
    if (has_nul(folder)) return std::unexpected(Error::own(kNulInPath));
    const std::string path = without_trailing_slashes(folder);
    struct stat seen;
    if (::lstat(path.c_str(), &seen) != 0) return std::unexpected(Error::last_system());
    if (!is_own_folder(seen)) return std::unexpected(not_own_folder(folder));
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        // Replaced by a link or a file since the lstat.
        if (errno == ELOOP || errno == ENOTDIR) return std::unexpected(not_own_folder(folder));
        return std::unexpected(Error::last_system());
    }
    struct stat opened;
    if (::fstat(fd.get(), &opened) != 0) return std::unexpected(Error::last_system());
    if (!is_own_folder(opened) || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino) {
        return std::unexpected(not_own_folder(folder));
    }
    return fd;
}

std::expected<UniqueFd, Error> prepare_session_folder(const std::string& folder) {
    if (has_nul(folder)) return std::unexpected(Error::own(kNulInPath));
    const std::string path = without_trailing_slashes(folder);
    if (const auto parent = parent_path(path); parent && !parent->empty()) {
        if (auto made = make_dirs(*parent, 0755); !made) return std::unexpected(made.error());
    }

    UniqueFd dir;
    if (::mkdir(path.c_str(), 0700) == 0) {
        // A folder made just now is empty: no stale entries to remove.
        auto opened = open_own_folder(folder);
        if (!opened) return std::unexpected(opened.error());
        dir = std::move(*opened);
    } else {
        if (errno != EEXIST) return std::unexpected(Error::last_system());
        auto opened = open_own_folder(folder);
        if (!opened && opened.error().code == EACCES) {
            // A folder of this user that its owner cannot read: the lstat has
            // vouched for it, so make it usable and look again.
            if (::fchmodat(AT_FDCWD, path.c_str(), 0700, AT_SYMLINK_NOFOLLOW) != 0) {
                return std::unexpected(Error::last_system());
            }
            opened = open_own_folder(folder);
        }
        if (!opened) return std::unexpected(opened.error());
        dir = std::move(*opened);
        if (::fchmod(dir.get(), 0700) != 0) return std::unexpected(Error::last_system());
        if (auto removed = remove_stale_entries(dir.get()); !removed) {
            return std::unexpected(removed.error());
        }
    }

    UniqueFd lock(::openat(dir.get(), std::string(kSessionLockName).c_str(),
                           O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!lock) return std::unexpected(Error::last_system());
    return lock;
}

std::string folder_entry(const std::string& folder, std::string_view name) {
    return join_path(folder, name);
}

std::string copy_file_name(pid_t pid) {
    return std::string(kCopyFilePrefix) + std::to_string(pid);
}

bool entry_exists(const std::string& folder, std::string_view name) {
    const std::string path = folder_entry(folder, name);
    if (has_nul(path)) return false;
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void write_ended_marker(const std::string& folder) {
    if (auto dir = open_own_folder(folder)) create_marker_at(dir->get(), kEndedMarkerName);
}

void remove_copy_file(const std::string& folder, pid_t pid) {
    if (auto dir = open_own_folder(folder)) {
        (void)::unlinkat(dir->get(), copy_file_name(pid).c_str(), 0);
    }
}

std::expected<void, Error> list_folder(int folder_fd,
                                       const std::function<void(const char* name)>& visit) {
    // The listing reads through its own descriptor, so the caller's stays
    // usable for the *at calls that visit makes.
    const int listing_fd = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
    if (listing_fd < 0) return std::unexpected(Error::last_system());
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(listing_fd), &::closedir);
    if (!listing) {
        const int err = errno;
        ::close(listing_fd);
        return std::unexpected(Error::system(err));
    }
    ::rewinddir(listing.get());
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (!entry) {
            if (errno != 0) return std::unexpected(Error::last_system());
            return {};
        }
        visit(entry->d_name);
    }
}

void create_marker_at(int folder_fd, std::string_view name) {
    const std::string entry(name);
    if (has_nul(entry)) return;
    UniqueFd fd(::openat(folder_fd, entry.c_str(),
                         O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                         0600));
}

bool entry_exists_at(int folder_fd, std::string_view name) {
    const std::string entry(name);
    if (has_nul(entry)) return false;
    struct stat st;
    return ::fstatat(folder_fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace vorn
