// Plays both sides of the terminal hand-over for the tests.
//
//   terminal_helper copy REPORT [--hold] [--forget-modes] -- PROGRAM [ARGS]...
//     Stands in for a copy: probes the terminal, starts PROGRAM through the
//     pre-exec steps, waits for it, gives the terminal back and appends what
//     it saw to REPORT, ending with "done=1". --hold then prints "copy back"
//     and waits for one byte of input, so a test can look at the terminal
//     before the copy ends. --forget-modes treats the terminal as one whose
//     modes could not be read.
//
//   terminal_helper launch REPORT -- PROGRAM [ARGS]...
//     Stands in for a launcher that starts PROGRAM as the foreground job of
//     its terminal (a group of its own, made the foreground group) and never
//     takes the terminal back itself: it waits for PROGRAM and reports
//     whose the terminal is then.
//
//   terminal_helper command REPORT [--hold]
//     Stands in for the command: appends its process group, the terminal's
//     foreground group, its blocked signals and its SIGPIPE disposition to
//     REPORT, ending with "ready=1". --hold then prints "command ready" and
//     waits for one byte of input.
//
// Reports are "key=value" lines; a missing terminal shows as -1.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "main/terminal.h"

namespace {

class Report {
  public:
    explicit Report(const char* path)
        : fd_(::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {}
    ~Report() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void put(std::string_view key, long long value) { put(key, std::to_string(value)); }
    void put(std::string_view key, std::string_view value) {
        std::string line(key);
        line += '=';
        line += value;
        line += '\n';
        // One write per line, so a reader never sees half a line.
        (void)!::write(fd_, line.data(), line.size());
    }

  private:
    int fd_;
};

// The terminal as an onlooker sees it, through a descriptor of its own.
int open_tty() {
    return ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
}

long long foreground_group() {
    const int fd = open_tty();
    if (fd < 0) return -1;
    const pid_t group = ::tcgetpgrp(fd);
    ::close(fd);
    return group;
}

void put_modes(Report& report, std::string_view prefix) {
    const int fd = open_tty();
    if (fd < 0) return;
    termios modes{};
    if (::tcgetattr(fd, &modes) == 0) {
        report.put(std::string(prefix) + "iflag", modes.c_iflag);
        report.put(std::string(prefix) + "oflag", modes.c_oflag);
        report.put(std::string(prefix) + "lflag", modes.c_lflag);
    }
    ::close(fd);
}

void hold(const char* line) {
    (void)!::write(1, line, std::strlen(line));
    char byte;
    while (::read(0, &byte, 1) < 0 && errno == EINTR) {
    }
}

const char* kind_name(vorn::TerminalState::Kind kind) {
    using Kind = vorn::TerminalState::Kind;
    switch (kind) {
        case Kind::foreground_with_modes:
            return "foreground_with_modes";
        case Kind::foreground_without_modes:
            return "foreground_without_modes";
        case Kind::background:
            return "background";
        case Kind::shared_group:
            return "shared_group";
        case Kind::no_terminal:
            return "no_terminal";
    }
    return "?";
}

int run_copy(Report& report, bool hold_at_end, bool forget_modes, char** command) {
    // Like the entry program: SIGPIPE ignored, and a few signals blocked
    // that the command must not inherit blocked. SIGINT and SIGTTOU keep
    // their default action, so a copy that wrongly stays in the foreground
    // dies of Ctrl-C and one that takes the terminal back unprotected stops.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGTERM, SIGHUP, SIGQUIT, SIGUSR1}) sigaddset(&blocked, sig);
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);

    report.put("pid", ::getpid());
    report.put("pgrp", ::getpgrp());
    report.put("sid", ::getsid(0));
    report.put("fg_before", foreground_group());
    put_modes(report, "before_");

    vorn::TerminalState state = vorn::probe_terminal();
    if (forget_modes && state.kind == vorn::TerminalState::Kind::foreground_with_modes) {
        state.kind = vorn::TerminalState::Kind::foreground_without_modes;
    }
    report.put("state", kind_name(state.kind));
    report.put("tty_kept", state.tty ? 1 : 0);

    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) {
        vorn::run_pre_exec(state);
        ::execv(command[0], command);
        ::_exit(127);
    }
    report.put("child", child);

    int status = 0;
    for (;;) {
        const pid_t got = ::waitpid(child, &status, WUNTRACED);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return 1;
        if (WIFSTOPPED(status)) {
            // A command stopped by its terminal would hang the test; say so
            // and end it.
            report.put("child_stopped", WSTOPSIG(status));
            ::kill(child, SIGKILL);
            continue;
        }
        break;
    }
    if (WIFEXITED(status)) report.put("child_exit", WEXITSTATUS(status));
    if (WIFSIGNALED(status)) report.put("child_signal", WTERMSIG(status));

    vorn::give_back_terminal(state, child);

    report.put("fg_after", foreground_group());
    put_modes(report, "after_");
    report.put("done", 1);
    if (hold_at_end) hold("copy back\n");
    return 0;
}

int run_command(Report& report, bool hold_at_end) {
    report.put("pid", ::getpid());
    report.put("pgrp", ::getpgrp());
    report.put("sid", ::getsid(0));
    report.put("fg", foreground_group());

    sigset_t mask;
    sigemptyset(&mask);
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
    int blocked = 0;
    for (int sig = 1; sig < NSIG; ++sig) blocked += sigismember(&mask, sig) == 1;
    report.put("blocked", blocked);

    struct sigaction pipe_action {};
    ::sigaction(SIGPIPE, nullptr, &pipe_action);
    report.put("sigpipe", pipe_action.sa_handler == SIG_DFL   ? "default"
                          : pipe_action.sa_handler == SIG_IGN ? "ignored"
                                                              : "handled");
    report.put("ready", 1);
    if (hold_at_end) hold("command ready\n");
    return 0;
}

int run_launch(Report& report, char** program) {
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) {
        ::setpgid(0, 0);
        sigset_t ttou;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        ::sigprocmask(SIG_BLOCK, &ttou, nullptr);
        const int tty = open_tty();
        if (tty >= 0) ::tcsetpgrp(tty, ::getpid());
        ::sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
        ::execv(program[0], program);
        ::_exit(127);
    }
    ::setpgid(child, child);
    report.put("child", child);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) report.put("child_exit", WEXITSTATUS(status));
    report.put("fg_after", foreground_group());
    report.put("done", 1);
    return 0;
}

int usage() {
    static const char text[] =
        "usage: terminal_helper copy REPORT [--hold] [--forget-modes] -- PROGRAM [ARGS]...\n"
        "       terminal_helper command REPORT [--hold]\n"
        "       terminal_helper launch REPORT -- PROGRAM [ARGS]...\n";
    (void)!::write(2, text, sizeof text - 1);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string_view role = argv[1];
    Report report(argv[2]);
    if (!report.ok()) return 1;

    bool hold_at_end = false, forget_modes = false;
    int i = 3;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--hold") {
            hold_at_end = true;
        } else if (arg == "--forget-modes") {
            forget_modes = true;
        } else if (arg == "--") {
            ++i;
            break;
        } else {
            return usage();
        }
    }
    if (role == "copy" && i < argc) return run_copy(report, hold_at_end, forget_modes, argv + i);
    if (role == "command" && i == argc) return run_command(report, hold_at_end);
    if (role == "launch" && i < argc) return run_launch(report, argv + i);
    return usage();
}
