#include "main/supervise.h"

#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/exit.h"
#include "base/io.h"
#include "base/text.h"
#include "main/copies.h"
#include "main/message.h"
#include "main/session_folder.h"

namespace vorn {
namespace {

constexpr int kSupervised[] = {SIGTERM, SIGHUP,  SIGINT,  SIGQUIT,
                               SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD};

void do_nothing(int) {}

sigset_t supervised_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSupervised) sigaddset(&set, sig);
    return set;
}

int take_signal() {
    const sigset_t set = supervised_set();
    for (;;) {
        int sig = 0;
        if (::sigwait(&set, &sig) == 0) return sig;
    }
}

// A send to a process group falls back to the single process.
void signal_group_or_process(pid_t pid, int sig) {
    if (::kill(-pid, sig) != 0) ::kill(pid, sig);
}

// SIGCONT to whatever group the process is in now.
void continue_process(pid_t pid) {
    const pid_t group = ::getpgid(pid);
    if (group < 1 || ::kill(-group, SIGCONT) != 0) ::kill(pid, SIGCONT);
}

// What reap_children is given once the command has been reaped: no child is
// the command any more.
constexpr pid_t kNoCommand = -1;

// Says once per copy that Ctrl-Z does not suspend. Only the main thread reaps
// children, so nothing else ever reads or writes the flag.
void give_ctrl_z_notice_once() {
    static bool given = false;
    if (given) return;
    given = true;
    launch_message("Ctrl-Z cannot suspend a client in the container, so it goes on running.");
}

struct Reaped {
    bool command_ended = false;
    int status = 1;
    int job_stop = 0;  // the signal of a stop of the command that its job shares
};

// Reaps every child that has changed state. A child stopped by Ctrl-Z or
// SIGSTOP is continued at once, since nothing in the container could resume
// it; but when the command runs inside a job the copy does not lead
// (share_stops), that job's owner resumes it, and its Ctrl-Z is reported for
// the command watch like a stop by the terminal (SIGTTIN, SIGTTOU) always is.
Reaped reap_children(pid_t command, bool share_stops = false) {
    Reaped reaped;
    for (;;) {
        int wait_status = 0;
        const pid_t pid = ::waitpid(-1, &wait_status, WNOHANG | WUNTRACED);
        if (pid <= 0) return reaped;
        if (WIFSTOPPED(wait_status)) {
            const int stop = WSTOPSIG(wait_status);
            if (pid == command &&
                (stop == SIGTTIN || stop == SIGTTOU || (stop == SIGTSTP && share_stops))) {
                reaped.job_stop = stop;
            } else if (stop == SIGSTOP || stop == SIGTSTP) {
                give_ctrl_z_notice_once();
                continue_process(pid);
            }
            continue;
        }
        if (pid == command && (WIFEXITED(wait_status) || WIFSIGNALED(wait_status))) {
            reaped.command_ended = true;
            reaped.status = command_status(wait_status);
        }
    }
}

// Whether the copy's parent is a shell that runs the copy's group as a job:
// one in the same session but outside the group. Only then is a stop of a
// copy that leads its group alone seen and undone by someone, and only then
// does the system stop such a copy for SIGTTIN, SIGTTOU or SIGTSTP at all (an
// orphaned group ignores them).
bool parent_runs_jobs() {
    const pid_t parent = ::getppid();
    if (parent < 1) return false;
    const pid_t session = ::getsid(parent);
    const pid_t group = ::getpgid(parent);
    return session != -1 && session == ::getsid(0) && group > 0 && group != ::getpgrp();
}

// Whether the command was continued after it stopped (by a shell's fg or
// bg, say): then its stop is over and the copy need not follow it.
bool continued_since_stop(pid_t command) {
    siginfo_t info = {};
    return ::waitid(P_PID, static_cast<id_t>(command), &info, WCONTINUED | WNOHANG) == 0 &&
           info.si_pid == command;
}

// Stops the copy with sig as if it had its default action, and returns once
// the copy has been continued.
void stop_copy(int sig) {
    struct sigaction stop = {}, previous = {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    ::sigaction(sig, &stop, &previous);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::kill(::getpid(), sig);
    // The pending signal is delivered as it is unblocked: the copy stops here.
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::pthread_sigmask(SIG_BLOCK, &only, nullptr);
    ::sigaction(sig, &previous, nullptr);
}

// The command was stopped by its terminal, or by a Ctrl-Z that stopped the
// whole job it shares with the copy. A shell shows such a job as stopped and
// resumes it with fg or bg; the copy is that job, or a member of it, so it
// stops in the same way and, once continued, continues the command under
// the terminal rules of wherever it was continued to: in the foreground of
// its terminal, with the terminal handed to the command again. A copy that
// holds its terminal already hands it over at once. A copy that leads its
// group with no shell to resume it lets the command stay stopped. (A command
// in the copy's own group cannot be stopped this way while nobody could
// resume that group: the system ignores these stops in an orphaned group.)
void follow_job_stop(const WatchContext& context, int sig) {
    if (continued_since_stop(context.command)) return;
    const TerminalState* terminal = context.terminal;
    if (!terminal || !holds_terminal(*terminal)) {
        if (context.own_process_group && !parent_runs_jobs()) return;
        stop_copy(sig);
    }
    if (terminal && holds_terminal(*terminal)) hand_over_terminal(*terminal, context.command);
    continue_process(context.command);
}

}  // namespace

void start_exit_timer(std::chrono::nanoseconds duration, int status) {
    std::thread([duration, status] {
        sleep_monotonic(duration);
        exit_process(status);
    }).detach();
}

void start_lock_waiter(const SessionFolder& folder, int lock_fd, int status) {
    std::thread([&folder, lock_fd, status] {
        // Any failure other than an interruption counts as the lock being free:
        // waiting on a lock that can never be granted would hang the session.
        (void)retry_on_eintr([lock_fd] { return ::flock(lock_fd, LOCK_EX); });
        folder.write_ended_marker();
        exit_process(status);
    }).detach();
}

void start_kill_timer(pid_t command) {
    std::thread([command] {
        sleep_monotonic(kKillDelay);
        signal_group_or_process(command, SIGKILL);
    }).detach();
}

namespace {

void hang_up_copies(const std::vector<pid_t>& copies) {
    for (pid_t pid : copies) ::kill(pid, SIGHUP);
}

[[noreturn]] void end_after_terminate(const SessionFolder& folder, int lock_fd, int status,
                                      MonoTime grace_start) {
    auto rest = kGracePeriod - (std::chrono::steady_clock::now() - grace_start);
    if (rest < decltype(rest)::zero()) rest = decltype(rest)::zero();
    start_exit_timer(std::chrono::duration_cast<std::chrono::nanoseconds>(rest), status);
    start_lock_waiter(folder, lock_fd, status);
    for (;;) {
        switch (take_signal()) {
            case SIGCHLD:
                reap_children(kNoCommand);
                break;
            case SIGTSTP:
            case SIGTTIN:
            case SIGTTOU:
                break;
            default:
                exit_process(status);
        }
    }
}

// Where a session that outlives its first command stands: open, asked once
// with Ctrl-C to confirm the end, or ending (markers written, copies hung up,
// the grace period running).
enum class StayState { open, confirming, ending };

[[noreturn]] void stay_open(const SessionFolder& folder, int lock_fd,
                            const std::string& command_display, int status) {
    launch_message(command_display + " exited. The session stays open while " +
                   run_phrase(list_live_copies(folder).size()) + ".");
    start_lock_waiter(folder, lock_fd, status);
    StayState state = StayState::open;
    bool ctrl_z_hint_given = false;
    for (;;) {
        const int sig = take_signal();
        switch (sig) {
            case SIGCHLD:
                reap_children(kNoCommand);
                continue;
            case SIGTTIN:
            case SIGTTOU:
                continue;
            case SIGTSTP:
                if (state != StayState::ending && !ctrl_z_hint_given) {
                    launch_message(
                        std::string("Ctrl-Z cannot suspend this session. Press Ctrl-C ") +
                        (state == StayState::confirming ? "again" : "twice") +
                        " to end it, which stops " + stop_phrase(list_live_copies(folder).size()) +
                        ".");
                    ctrl_z_hint_given = true;
                }
                continue;
            default:
                break;
        }
        switch (state) {
            case StayState::ending:
                exit_process(status);
            case StayState::open:
                if (sig == SIGINT) {
                    launch_message("Press Ctrl-C again to end the session, which stops " +
                                   stop_phrase(list_live_copies(folder).size()) + ".");
                    state = StayState::confirming;
                    continue;
                }
                break;
            case StayState::confirming:
                break;
        }
        // The message goes out before the hang-ups: a joined copy that dies at
        // once frees the lock, and the lock waiter would end this process
        // before the message was written.
        folder.write_ended_marker();
        const std::vector<pid_t> copies = list_live_copies(folder);
        launch_message("Ending the session, which gives " + stop_phrase(copies.size()) + " " +
                       std::to_string(kGracePeriod.count()) +
                       " seconds to exit. Press Ctrl-C to end it at once.");
        hang_up_copies(copies);
        start_exit_timer(kGracePeriod, status);
        state = StayState::ending;
    }
}

}  // namespace

std::string run_phrase(size_t n) {
    if (n == 0) return "other copies run";
    if (n == 1) return "1 other copy runs";
    return std::to_string(n) + " other copies run";
}

std::string stop_phrase(size_t n) {
    if (n == 0) return "the other copies";
    if (n == 1) return "the other copy";
    return "the " + std::to_string(n) + " other copies";
}

int command_status(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return 1;
}

void set_up_signals() {
    struct sigaction action = {};
    action.sa_handler = do_nothing;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : kSupervised) ::sigaction(sig, &action, nullptr);
    const sigset_t set = supervised_set();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

WatchResult watch_command(const WatchContext& context) {
    WatchResult result;
    bool kill_timer_started = false;
    // Inside a job the copy does not lead, Ctrl-Z stops the whole job, which
    // its owner resumes.
    const bool shares_stops =
        context.terminal && context.terminal->kind == TerminalState::Kind::shared_group;
    for (;;) {
        const int sig = take_signal();
        switch (sig) {
            case SIGCHLD: {
                const Reaped reaped = reap_children(context.command, shares_stops);
                if (reaped.command_ended) {
                    result.status = reaped.status;
                    return result;
                }
                if (reaped.job_stop) follow_job_stop(context, reaped.job_stop);
                break;
            }
            case SIGTSTP:
            case SIGTTIN:
            case SIGTTOU:
                break;
            case SIGINT:
            case SIGQUIT:
                if (context.own_process_group) signal_group_or_process(context.command, sig);
                break;
            default:  // SIGTERM, SIGHUP
                signal_group_or_process(context.command, sig);
                continue_process(context.command);
                if (!result.grace_start) result.grace_start = std::chrono::steady_clock::now();
                if (!context.joined) {
                    context.folder.write_ended_marker();
                    hang_up_copies(list_live_copies(context.folder));
                } else if (context.copy_id && !kill_timer_started &&
                           context.folder.has_hangup_marker(*context.copy_id)) {
                    kill_timer_started = true;
                    start_kill_timer(context.command);
                }
                break;
        }
    }
}

void finish_first_copy(const SessionFolder& folder, UniqueFd session_lock,
                       std::string_view command_name, int status,
                       std::optional<MonoTime> grace_start) {
    if (!session_lock) exit_process(status);
    // The lock descriptor lives until the process ends: the lock waiter uses it.
    const int lock_fd = session_lock.release();
    if (grace_start) end_after_terminate(folder, lock_fd, status, *grace_start);
    const int r = retry_on_eintr([lock_fd] { return ::flock(lock_fd, LOCK_EX | LOCK_NB); });
    if (r != 0 && errno == EWOULDBLOCK)
        stay_open(folder, lock_fd, display_form(command_name), status);
    folder.write_ended_marker();
    exit_process(status);
}

void finish_joined_copy(const SessionFolder& folder, std::string_view command_name, int status) {
    folder.remove_copy_file(::getpid());
    if (folder.has_ended_marker()) {
        launch_message("the session ended in another terminal, so this copy of " +
                       display_form(command_name) + " stopped.");
    }
    exit_process(status);
}

}  // namespace vorn
