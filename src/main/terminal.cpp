#include "main/terminal.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

namespace vorn {

TerminalState probe_terminal() {
    TerminalState state;
    int fd;
    do {
        fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    UniqueFd tty(fd);
    if (!tty) return state;

    // Asking from the background is allowed; only changing the terminal is not.
    const pid_t foreground = ::tcgetpgrp(tty.get());
    const pid_t own_group = ::getpgrp();
    if (foreground == -1 || foreground != own_group) {
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

PreExec make_pre_exec(const TerminalState& state) {
    PreExec pre_exec;
    pre_exec.make_own_group = state.own_process_group();
    pre_exec.take_foreground = state.foreground();
    pre_exec.tty_fd = state.foreground() ? state.tty.get() : -1;
    sigemptyset(&pre_exec.ttou_only);
    sigaddset(&pre_exec.ttou_only, SIGTTOU);
    sigemptyset(&pre_exec.empty);
    return pre_exec;
}

void run_pre_exec(const PreExec& pre_exec) noexcept {
    if (pre_exec.make_own_group) ::setpgid(0, 0);
    if (pre_exec.take_foreground) {
        // The child leads a group that is not yet the foreground one, so the
        // terminal would stop it with SIGTTOU unless that signal is blocked.
        ::sigprocmask(SIG_BLOCK, &pre_exec.ttou_only, nullptr);
        while (::tcsetpgrp(pre_exec.tty_fd, ::getpid()) != 0 && errno == EINTR) {
        }
    }
    // The command must start with nothing blocked, whatever the copy blocked
    // for itself, and with the SIGPIPE that programs expect.
    ::sigprocmask(SIG_SETMASK, &pre_exec.empty, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
}

void give_back_terminal(const TerminalState& state) {
    if (!state.foreground()) return;
    // By now the copy is in the background of its own terminal; without
    // SIGTTOU blocked, taking it back would stop the copy.
    sigset_t ttou_only, previous;
    sigemptyset(&ttou_only);
    sigaddset(&ttou_only, SIGTTOU);
    ::pthread_sigmask(SIG_BLOCK, &ttou_only, &previous);
    const int fd = state.tty.get();
    while (::tcsetpgrp(fd, state.own_group) != 0 && errno == EINTR) {
    }
    if (state.kind == TerminalState::Kind::foreground_with_modes) {
        while (::tcsetattr(fd, TCSADRAIN, &state.modes) != 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace vorn
