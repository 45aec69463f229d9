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

// Whether the copy file holds exactly copy_id. Only a regular file is read,
// and never more than one byte past the ID, so a planted FIFO or device can
// neither stall nor flood the reader.
bool copy_file_holds(const SessionFolder& folder, pid_t pid, std::string_view copy_id) {
    UniqueFd fd(::openat(folder.fd(), copy_file_name(pid).c_str(),
                         O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const auto content = read_up_to(fd.get(), copy_id.size() + 1);
    return content && *content == copy_id;
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

std::expected<JoinedSession, JoinRefusal> try_join(const std::string& path,
                                                   const std::optional<std::string>& copy_id,
                                                   pid_t own_pid) {
    // A copy ID names files in the folder; anything but hex digits could
    // reach outside it.
    if (copy_id && !is_copy_id(*copy_id)) return std::unexpected(JoinRefusal::folder_gone);
    auto opened = SessionFolder::open(path);
    if (!opened) return std::unexpected(JoinRefusal::folder_gone);
    SessionFolder& folder = *opened;

    // Only a regular file can be the session lock; O_NONBLOCK keeps a FIFO
    // planted in its place from stalling the open until a writer comes.
    UniqueFd lock(::openat(folder.fd(), std::string(kSessionLockName).c_str(),
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
    folder.remove_copy_file(own_pid);
    UniqueFd file(::openat(folder.fd(), copy_file.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!file) return std::unexpected(JoinRefusal::folder_gone);
    const auto remove_copy_file_now = [&] { folder.remove_copy_file(own_pid); };

    if (copy_id && !write_all(file.get(), *copy_id)) {
        remove_copy_file_now();
        return std::unexpected(JoinRefusal::folder_gone);
    }
    if (folder.has_ended_marker()) {
        remove_copy_file_now();
        return std::unexpected(JoinRefusal::session_ending);
    }
    if (copy_id && folder.has_hangup_marker(*copy_id)) {
        remove_copy_file_now();
        folder.remove_hangup_marker(*copy_id);
        return std::unexpected(JoinRefusal::hung_up);
    }
    return JoinedSession{std::move(folder), std::move(lock)};
}

JoinedSession join_session(const std::string& path, const std::optional<std::string>& copy_id) {
    auto joined = try_join(path, copy_id, ::getpid());
    if (joined) return std::move(*joined);
    switch (joined.error()) {
        case JoinRefusal::session_ending:
            end_with_launch_message(75, kSessionEnding);
        case JoinRefusal::folder_gone:
            end_with_launch_message(75, folder_gone_message(path));
        case JoinRefusal::hung_up:
            break;
    }
    // 128 + SIGHUP: what the copy would give had its command been hung up.
    exit_process(129);
}

std::vector<pid_t> list_live_copies(const SessionFolder& folder) {
    std::vector<pid_t> live;
    // An unlistable folder simply has no live copies.
    (void)folder.list([&](const char* entry) {
        const auto pid = copy_file_pid(entry);
        if (!pid) return;
        if (*pid > 0 && process_exists(*pid)) {
            live.push_back(*pid);
        } else {
            folder.remove_entry(entry);
        }
    });
    return live;
}

bool hang_up(const SessionFolder& folder, std::string_view copy_id) {
    if (!is_copy_id(copy_id) || !folder.present()) return false;
    // The marker goes first: a copy that gets the SIGHUP looks for it to tell
    // a hang-up from the session's end.
    folder.write_hangup_marker(copy_id);
    bool matched = false;
    for (const pid_t pid : list_live_copies(folder)) {
        if (!copy_file_holds(folder, pid, copy_id)) continue;
        matched = true;
        (void)::kill(pid, SIGHUP);
    }
    return matched;
}

}  // namespace vorn
