#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "main/session_folder.h"
#include "main/terminal.h"

namespace vorn {

using MonoTime = std::chrono::steady_clock::time_point;

inline constexpr std::chrono::seconds kGracePeriod{5};
inline constexpr std::chrono::seconds kKillDelay{10};

// Installs no-op handlers for the supervised signals and blocks them in the
// calling thread. Must run before any thread exists, so every thread inherits
// the mask and signals are only ever taken by sigwait on the main thread.
// Handlers rather than SIG_IGN: a signal the copy inherited as ignored would
// be discarded instead of waiting for sigwait (and an ignored SIGCHLD reaps
// children unseen), and the command would inherit it ignored across exec,
// where a caught signal goes back to its default action.
void set_up_signals();

struct WatchContext {
    pid_t command = -1;
    bool own_process_group = true;
    bool joined = false;
    std::optional<std::string> copy_id;
    const SessionFolder& folder;
    // The copy's terminal, to hand it to the command again after a stop;
    // none where no terminal is involved.
    const TerminalState* terminal = nullptr;
};

struct WatchResult {
    int status = 1;
    std::optional<MonoTime> grace_start;
};

// Supervises the running command until it has been reaped.
WatchResult watch_command(const WatchContext& context);

// The session folder is used by threads until the process ends: it must
// outlive the call, as a caller that never returns keeps it.
[[noreturn]] void finish_first_copy(const SessionFolder& folder, UniqueFd session_lock,
                                    std::string_view command_name, int status,
                                    std::optional<MonoTime> grace_start);

// Removes the own copy file, says so when the session ended elsewhere, exits.
[[noreturn]] void finish_joined_copy(const SessionFolder& folder, std::string_view command_name,
                                     int status);

// Threads that end the process through exit_process: after a monotonic
// delay, or once the session lock can be taken exclusively (the ended marker
// written first). Whichever comes first wins; the other never returns.
void start_exit_timer(std::chrono::nanoseconds duration, int status);
void start_lock_waiter(const SessionFolder& folder, int lock_fd, int status);
// SIGKILL to the command's group (or the command alone) after kKillDelay.
void start_kill_timer(pid_t command);

// Wording for n live joined copies.
std::string run_phrase(size_t n);
std::string stop_phrase(size_t n);

// The exit status for a wait status: exit code, 128 + signal, or 1.
int command_status(int wait_status);

}  // namespace vorn
