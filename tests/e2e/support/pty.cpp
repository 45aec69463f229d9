#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace vt {

struct PtyChild::Impl {
    int master = -1;
    int stop_pipe[2] = {-1, -1};
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    std::string screen;
    bool closed = false;
    std::thread reader;

    void drain() {
        char buf[8192];
        for (;;) {
            pollfd fds[2] = {{master, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[1].revents) break;
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                // EIO: no process has the terminal open any more. A later
                // opener (a test reopening it) is not expected.
                break;
            }
            std::lock_guard g(mu);
            screen.append(buf, static_cast<size_t>(n));
            cv.notify_all();
        }
        std::lock_guard g(mu);
        closed = true;
        cv.notify_all();
    }

    void stop() {
        if (reader.joinable()) {
            (void)!::write(stop_pipe[1], "x", 1);
            reader.join();
        }
        for (int* fd : {&master, &stop_pipe[0], &stop_pipe[1]}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }
};

std::unique_ptr<PtyChild> PtyChild::start(const Spec& spec) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) || ::unlockpt(master)) throw std::runtime_error("no pty");
    char name[128];
    if (::ptsname_r(master, name, sizeof name)) throw std::runtime_error("ptsname");
    winsize ws{};
    ws.ws_row = 40;
    ws.ws_col = 200;
    ::ioctl(master, TIOCSWINSZ, &ws);

    std::string program = spec.program.empty() ? vorn_entry_bin() : spec.program;
    std::vector<std::string> argv_strings;
    argv_strings.push_back(spec.argv0.value_or(program));
    argv_strings.insert(argv_strings.end(), spec.args.begin(), spec.args.end());
    std::vector<std::string> env_strings = spec.env;
    std::vector<char*> argv, envp;
    for (auto& s : argv_strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    const char* cwd = spec.cwd.empty() ? nullptr : spec.cwd.c_str();

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::setsid();
        const int slave = ::open(name, O_RDWR);  // the first terminal opened becomes the ctty
        if (slave < 0) ::_exit(127);
        ::ioctl(slave, TIOCSCTTY, 0);
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        ::dup2(slave, 2);
        if (slave > 2) ::close(slave);
        for (int fd = 3; fd < 1024; ++fd) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (cwd && ::chdir(cwd) != 0) ::_exit(127);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }

    std::unique_ptr<PtyChild> child(new PtyChild);
    child->pid_ = pid;
    child->master_ = master;
    child->slave_path_ = name;
    child->impl_ = std::make_shared<Impl>();
    child->impl_->master = master;
    if (::pipe2(child->impl_->stop_pipe, O_CLOEXEC)) throw std::runtime_error("pipe failed");
    child->impl_->reader = std::thread([impl = child->impl_.get()] { impl->drain(); });
    return child;
}

PtyChild::~PtyChild() {
    if (!reaped_) {
        kill_process_tree(pid_);
        ::waitpid(pid_, nullptr, 0);
    }
    if (impl_) impl_->stop();
}

void PtyChild::type(std::string_view keys) {
    while (!keys.empty()) {
        const ssize_t n = ::write(master_, keys.data(), keys.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        keys.remove_prefix(static_cast<size_t>(n));
    }
}

std::string PtyChild::screen() const {
    std::lock_guard g(impl_->mu);
    return impl_->screen;
}

bool PtyChild::wait_for(std::string_view needle, Millis timeout, size_t from) const {
    std::unique_lock l(impl_->mu);
    auto found = [&] {
        return impl_->screen.size() >= from &&
               impl_->screen.find(needle, from) != std::string::npos;
    };
    return impl_->cv.wait_for(l, timeout, [&] { return found() || impl_->closed; }) && found();
}

std::optional<Result> PtyChild::try_wait(Millis timeout) {
    if (!reaped_) {
        auto ended = reap_within(pid_, timeout);
        if (!ended) return std::nullopt;
        reaped_ = true;
        result_ = *ended;
        // Let the last output arrive: the reader stops at EIO once every
        // holder of the terminal is gone.
        {
            std::unique_lock l(impl_->mu);
            impl_->cv.wait_for(l, std::chrono::seconds(2), [&] { return impl_->closed; });
        }
        result_.out = screen();
    }
    return result_;
}

Result PtyChild::wait(Millis timeout) {
    if (auto r = try_wait(timeout)) return *r;
    kill_process_tree(pid_);
    Result r = try_wait(5s).value_or(Result{});
    r.timed_out = true;
    return r;
}

void PtyChild::signal(int sig) {
    if (!reaped_) ::kill(pid_, sig);
}

void PtyChild::hang_up() {
    if (impl_) impl_->stop();
    master_ = -1;
}

pid_t PtyChild::foreground_group() const {
    return ::tcgetpgrp(master_);
}

}  // namespace vt
