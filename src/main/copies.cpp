#include "main/copies.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "base/exit.h"
#include "base/io.h"
#include "base/number.h"
#include "base/text.h"
#include "main/cli.h"
#include "main/message.h"
#include "main/session_folder.h"

namespace vorn {
namespace {

constexpr std::string_view kSessionEnding =
    "the session is ending, so this copy cannot join it. Launch again once it has stopped.";

std::string folder_gone_message(const std::string& folder) {
    return "this copy cannot join the session, because its session folder " + display_form(folder) +
           " is gone. End the session and launch again.";
}

bool process_exists(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::vector<pid_t> live_copies_in(int folder_fd) {
    std::vector<pid_t> live;
    // An unlistable folder simply has no live copies.
    (void)list_folder(folder_fd, [&](const char* entry) {
        const auto pid = copy_file_pid(entry);
        if (!pid) return;
        if (*pid > 0 && process_exists(*pid)) {
            live.push_back(*pid);
        } else {
            (void)::unlinkat(folder_fd, entry, 0);
        }
    });
    return live;
}

// Whether the copy file holds exactly copy_id. Only a regular file is read,
// and never more than one byte past the ID, so a planted FIFO or device can
// neither stall nor flood the reader.
bool copy_file_holds(int folder_fd, pid_t pid, std::string_view copy_id) {
    UniqueFd fd(::openat(folder_fd, copy_file_name(pid).c_str(),
                         O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const auto content = read_up_to(fd.get(), copy_id.size() + 1);
    return content && *content == copy_id;
}

std::string hangup_marker_name(std::string_view copy_id) {
    return std::string(kHangupMarkerPrefix) + std::string(copy_id);
}

}  // namespace

std::optional<int32_t> copy_file_pid(std::string_view name) {
    if (name.size() <= kCopyFilePrefix.size() || !name.starts_with(kCopyFilePrefix) ||
        !is_valid_utf8(name)) {
        return std::nullopt;
    }
    const auto pid =
        parse_signed(name.substr(kCopyFilePrefix.size()), std::numeric_limits<int32_t>::min(),
                     std::numeric_limits<int32_t>::max());
    if (!pid) return std::nullopt;
    return static_cast<int32_t>(*pid);
}

std::expected<UniqueFd, JoinRefusal> try_join(const std::string& folder,
                                              const std::optional<std::string>& copy_id,
                                              pid_t own_pid) {
    // A copy ID names files in the folder; anything but hex digits could
    // reach outside it.
    if (copy_id && !is_copy_id(*copy_id)) return std::unexpected(JoinRefusal::folder_gone);
    auto dir = open_own_folder(folder);
    if (!dir) return std::unexpected(JoinRefusal::folder_gone);

    // Only a regular file can be the session lock; O_NONBLOCK keeps a FIFO
    // planted in its place from stalling the open until a writer comes.
    UniqueFd lock(::openat(dir->get(), std::string(kSessionLockName).c_str(),
                           O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!lock) return std::unexpected(JoinRefusal::folder_gone);
    struct stat lock_stat;
    if (::fstat(lock.get(), &lock_stat) != 0 || !S_ISREG(lock_stat.st_mode)) {
        return std::unexpected(JoinRefusal::folder_gone);
    }
    const int locked = retry_on_eintr([&] { return ::flock(lock.get(), LOCK_SH | LOCK_NB); });
    if (locked != 0) {
        return std::unexpected(errno == EWOULDBLOCK ? JoinRefusal::session_ending
                                                    : JoinRefusal::folder_gone);
    }

    // A leftover entry under this name (a stale file of an earlier process
    // with the same process ID, or something planted) is replaced rather
    // than opened, so nothing that another name links to is ever truncated.
    const std::string copy_file = copy_file_name(own_pid);
    (void)::unlinkat(dir->get(), copy_file.c_str(), 0);
    UniqueFd file(::openat(dir->get(), copy_file.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!file) return std::unexpected(JoinRefusal::folder_gone);
    const auto remove_copy_file_now = [&] { (void)::unlinkat(dir->get(), copy_file.c_str(), 0); };

    if (copy_id && !write_all(file.get(), *copy_id)) {
        remove_copy_file_now();
        return std::unexpected(JoinRefusal::folder_gone);
    }
    if (entry_exists_at(dir->get(), kEndedMarkerName)) {
        remove_copy_file_now();
        return std::unexpected(JoinRefusal::session_ending);
    }
    if (copy_id && entry_exists_at(dir->get(), hangup_marker_name(*copy_id))) {
        remove_copy_file_now();
        (void)::unlinkat(dir->get(), hangup_marker_name(*copy_id).c_str(), 0);
        return std::unexpected(JoinRefusal::hung_up);
    }
    return lock;
}

UniqueFd join_session(const std::string& folder, const std::optional<std::string>& copy_id) {
    auto joined = try_join(folder, copy_id, ::getpid());
    if (joined) return std::move(*joined);
    switch (joined.error()) {
        case JoinRefusal::session_ending:
            end_with_launch_message(75, kSessionEnding);
        case JoinRefusal::folder_gone:
            end_with_launch_message(75, folder_gone_message(folder));
        case JoinRefusal::hung_up:
            break;
    }
    // 128 + SIGHUP: what the copy would give had its command been hung up.
    exit_process(129);
}

std::vector<pid_t> list_live_copies(const std::string& folder) {
    // Copy files in a folder that is not this user's are neither trusted nor
    // cleaned up.
    auto dir = open_own_folder(folder);
    if (!dir) return {};
    return live_copies_in(dir->get());
}

bool hang_up(const std::string& folder, std::string_view copy_id) {
    if (!is_copy_id(copy_id)) return false;
    auto dir = open_own_folder(folder);
    if (!dir) return false;
    // The marker goes first: a copy that gets the SIGHUP looks for it to tell
    // a hang-up from the session's end.
    create_marker_at(dir->get(), hangup_marker_name(copy_id));
    bool matched = false;
    for (const pid_t pid : live_copies_in(dir->get())) {
        if (!copy_file_holds(dir->get(), pid, copy_id)) continue;
        matched = true;
        (void)::kill(pid, SIGHUP);
    }
    return matched;
}

}  // namespace vorn
