#include "main/terminal.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/io.h"

namespace vorn {
namespace {

// The first member of a shell's pipeline leads the group that the later
// members join, and its standard output is the pipe to them.
bool output_is_pipe() {
    struct stat st;
    return ::fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode);
}

// A foreground group whose processes have all gone was left behind by the
// command (or by a start that failed), not taken by anyone.
bool group_is_gone(pid_t group) {
    return group > 0 && ::kill(-group, 0) != 0 && errno == ESRCH;
}

void set_foreground(int fd, pid_t group) {
    (void)retry_on_eintr([&] { return ::tcsetpgrp(fd, group); });
}

// Changing the foreground group from outside it would stop the caller with
// SIGTTOU unless that signal is blocked.
class TtouBlocked {
  public:
    TtouBlocked() {
        sigset_t ttou_only;
        sigemptyset(&ttou_only);
        sigaddset(&ttou_only, SIGTTOU);
        ::pthread_sigmask(SIG_BLOCK, &ttou_only, &previous_);
    }
    ~TtouBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    TtouBlocked(const TtouBlocked&) = delete;
    TtouBlocked& operator=(const TtouBlocked&) = delete;

  private:
    sigset_t previous_;
};

}  // namespace

TerminalState probe_terminal() {
    TerminalState state;
    UniqueFd tty(retry_on_eintr([] { return ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC); }));
    if (!tty) return state;

    // A job-control shell makes every job the leader of its own group. A copy
    // that leads none (or whose group holds the rest of a pipeline) runs
    // inside a job someone else manages: handing its terminal to the command
    // would cut the other members off from it, and giving it back later
    // could take it from the shell. 0, as seen from inside a PID namespace
    // whose terminal belongs outside it, is nobody's group either.
    const pid_t own_group = ::getpgrp();
    if (own_group != ::getpid() || output_is_pipe()) {
        state.kind = TerminalState::Kind::shared_group;
        return state;
    }
    // Asking from the background is allowed; only changing the terminal is not.
    if (::tcgetpgrp(tty.get()) != own_group) {
        // A background copy leaves the terminal to whoever owns it and keeps
        // no descriptor to it.
        state.kind = TerminalState::Kind::background;
        return state;
    }
    state.tty = std::move(tty);
    state.own_group = own_group;
    state.kind = ::tcgetattr(state.tty.get(), &state.modes) == 0
                     ? TerminalState::Kind::foreground_with_modes
                     : TerminalState::Kind::foreground_without_modes;
    return state;
}

void run_pre_exec(const TerminalState& state) noexcept {
    // sigemptyset and sigaddset are async-signal-safe, so the sets are made
    // here rather than before the fork.
    sigset_t set;
    if (state.own_process_group()) ::setpgid(0, 0);
    if (state.foreground()) {
        // The child leads a group that is not yet the foreground one, so the
        // terminal would stop it with SIGTTOU unless that signal is blocked.
        sigemptyset(&set);
        sigaddset(&set, SIGTTOU);
        ::sigprocmask(SIG_BLOCK, &set, nullptr);
        set_foreground(state.tty.get(), ::getpid());
    }
    // The command must start with nothing blocked, whatever the copy blocked
    // for itself, and with the SIGPIPE that programs expect.
    sigemptyset(&set);
    ::sigprocmask(SIG_SETMASK, &set, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
}

bool holds_terminal(const TerminalState& state) {
    return state.foreground() && ::tcgetpgrp(state.tty.get()) == state.own_group;
}

void hand_over_terminal(const TerminalState& state, pid_t command) {
    if (!state.foreground() || command < 1) return;
    const TtouBlocked blocked;
    set_foreground(state.tty.get(), command);
}

void give_back_terminal(const TerminalState& state, pid_t command) {
    if (!state.foreground()) return;
    const int fd = state.tty.get();
    // A hung-up terminal answers -1, nobody's group: nothing is given back.
    const pid_t holder = ::tcgetpgrp(fd);
    const bool ours =
        holder == state.own_group || (command > 0 && holder == command) || group_is_gone(holder);
    if (!ours) return;
    // By now the copy is in the background of its own terminal.
    const TtouBlocked blocked;
    if (holder != state.own_group) set_foreground(fd, state.own_group);
    if (state.kind == TerminalState::Kind::foreground_with_modes) {
        (void)retry_on_eintr([&] { return ::tcsetattr(fd, TCSADRAIN, &state.modes); });
    }
}

}  // namespace vorn
