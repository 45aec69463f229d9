#include "support/process.h"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_env.h"
#include "support/wait.h"

namespace vt {

std::string vorn_entry_bin() {
    return VORN_ENTRY_BIN;
}

namespace {

// The machine an ELF file is built for (e_machine); 0 for another file.
uint16_t elf_machine(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    unsigned char head[20] = {};
    const ssize_t n = ::pread(fd, head, sizeof head, 0);
    ::close(fd);
    if (n != sizeof head || std::memcmp(head, ELFMAG, SELFMAG) != 0) return 0;
    return static_cast<uint16_t>(head[18] | head[19] << 8);
}

// The words of /proc/PID/cmdline.
std::vector<std::string> command_line(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> words;
    std::string word;
    while (std::getline(in, word, '\0')) words.push_back(word);
    return words;
}

}  // namespace

bool under_emulation() {
    static const bool emulated = [] {
        const uint16_t binary = elf_machine(vorn_entry_bin());
        return binary != 0 && binary != elf_machine("/proc/self/exe");
    }();
    return emulated;
}

int emulator_threads() {
    // qemu-user runs one thread of its own, for its read-copy-update work.
    return under_emulation() ? 1 : 0;
}

std::string program_of(pid_t pid) {
    std::error_code ec;
    const std::string exe =
        std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    if (ec || !under_emulation()) return exe;
    // The kernel starts the emulator with the program's path after its own.
    const auto words = command_line(pid);
    if (words.size() >= 2 && words[1].starts_with('/') &&
        elf_machine(words[1]) == elf_machine(vorn_entry_bin())) {
        return words[1];
    }
    return exe;
}

int program_threads(pid_t pid) {
    std::error_code ec;
    int threads = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end;
         !ec && it != end; it.increment(ec)) {
        ++threads;
    }
    if (ec || threads == 0) return -1;
    return threads - emulator_threads();
}

struct Child::Impl {
    int out_fd = -1;
    int err_fd = -1;
    int stop_pipe[2] = {-1, -1};
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    std::string out, err;
    bool drained = false;
    std::thread reader;

    void drain() {
        char buf[65536];
        bool out_open = out_fd >= 0, err_open = err_fd >= 0;
        while (out_open || err_open) {
            pollfd fds[3] = {{out_open ? out_fd : -1, POLLIN, 0},
                             {err_open ? err_fd : -1, POLLIN, 0},
                             {stop_pipe[0], POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[2].revents) break;
            for (int i = 0; i < 2; ++i) {
                if (!fds[i].revents) continue;
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    (i == 0 ? out_open : err_open) = false;
                    continue;
                }
                std::lock_guard g(mu);
                (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
                cv.notify_all();
            }
        }
        std::lock_guard g(mu);
        drained = true;
        cv.notify_all();
    }

    void stop() {
        if (reader.joinable()) {
            // Grandchildren may keep the pipes open; give the output a moment
            // to arrive, then stop reading regardless.
            {
                std::unique_lock l(mu);
                cv.wait_for(l, std::chrono::seconds(2), [&] { return drained; });
            }
            (void)!::write(stop_pipe[1], "x", 1);
            reader.join();
        }
        for (int* fd : {&out_fd, &err_fd, &stop_pipe[0], &stop_pipe[1]}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    bool wait_for(std::string Impl::*which, std::string_view needle, Millis timeout) const {
        std::unique_lock l(mu);
        return cv.wait_for(l, timeout, [&] {
            return (this->*which).find(needle) != std::string::npos || drained;
        }) && (this->*which).find(needle) != std::string::npos;
    }
};

namespace {

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::mutex tracked_mu;
std::vector<pid_t> tracked;

class KillTrackedAtTestEnd : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override { kill_tracked(); }
};

[[maybe_unused]] const bool listener_installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new KillTrackedAtTestEnd);
    return true;
}();

// A cross build's binary cannot run on the build machine by itself; the
// emulator that runs the tests runs it too, with argv[0] passed on (-0) so
// that the shim names still work.
void run_through_emulator([[maybe_unused]] std::string& program,
                          [[maybe_unused]] std::vector<std::string>& argv) {
#ifdef VORN_TEST_EMULATOR
    if (program != vorn_entry_bin()) return;
    std::vector<std::string> emulator;
    std::string_view words = VORN_TEST_EMULATOR;
    while (true) {
        const size_t bar = words.find('|');
        emulator.emplace_back(words.substr(0, bar));
        if (bar == std::string_view::npos) break;
        words.remove_prefix(bar + 1);
    }
    emulator.push_back("-0");
    emulator.push_back(argv.front());
    emulator.push_back(program);
    argv.erase(argv.begin());
    argv.insert(argv.begin(), emulator.begin(), emulator.end());
    program = emulator.front();
#endif
}

}  // namespace

std::unique_ptr<Child> Child::start(const Spec& spec) {
    std::string program = spec.program.empty() ? vorn_entry_bin() : spec.program;
    std::vector<std::string> argv_strings;
    argv_strings.push_back(spec.argv0.value_or(program));
    argv_strings.insert(argv_strings.end(), spec.args.begin(), spec.args.end());
    run_through_emulator(program, argv_strings);
    std::vector<std::string> env_strings = spec.env;
    auto argv = c_strings(argv_strings);
    auto envp = c_strings(env_strings);

    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1}, exec_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC) ||
        ::pipe2(exec_pipe, O_CLOEXEC) || (spec.input && ::pipe2(in_pipe, O_CLOEXEC))) {
        throw std::runtime_error("pipe failed");
    }
    const int dev_null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const char* cwd = spec.cwd.empty() ? nullptr : spec.cwd.c_str();

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (spec.new_session) ::setsid();
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(spec.input ? in_pipe[0] : dev_null, 0);
        ::dup2(spec.stdout_fd.value_or(out_pipe[1]), 1);
        ::dup2(spec.stderr_fd.value_or(err_pipe[1]), 2);
        for (int fd : spec.closed_fds) ::close(fd);
        // The program starts with the standard streams alone (and keep_fds),
        // whatever the test runner itself was given.
        for (int fd = 3; fd < 1024; ++fd) {
            bool keep = false;
            for (int k : spec.keep_fds) keep = keep || k == fd;
            const int flags = ::fcntl(fd, F_GETFD);
            if (flags >= 0)
                ::fcntl(fd, F_SETFD, keep ? (flags & ~FD_CLOEXEC) : (flags | FD_CLOEXEC));
        }
        if (cwd && ::chdir(cwd) != 0) {
            const int e = errno;
            (void)!::write(exec_pipe[1], &e, sizeof e);
            ::_exit(127);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        const int e = errno;
        (void)!::write(exec_pipe[1], &e, sizeof e);
        ::_exit(127);
    }
    ::close(dev_null);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ::close(exec_pipe[1]);
    int exec_errno = 0;
    const ssize_t got = ::read(exec_pipe[0], &exec_errno, sizeof exec_errno);
    ::close(exec_pipe[0]);

    std::unique_ptr<Child> child(new Child);
    child->pid_ = pid;
    child->impl_ = std::make_shared<Impl>();
    child->impl_->out_fd = out_pipe[0];
    child->impl_->err_fd = err_pipe[0];
    for (auto [given, fd] : {std::pair{spec.stdout_fd, &child->impl_->out_fd},
                             std::pair{spec.stderr_fd, &child->impl_->err_fd}}) {
        if (!given) continue;
        ::close(*fd);
        *fd = -1;
    }
    if (::pipe2(child->impl_->stop_pipe, O_CLOEXEC)) throw std::runtime_error("pipe failed");
    child->impl_->reader = std::thread([impl = child->impl_.get()] { impl->drain(); });
    if (spec.input) {
        ::close(in_pipe[0]);
        const std::string& data = *spec.input;
        // A child that does not read its input must not hang the test.
        ::fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
        size_t off = 0;
        while (off < data.size()) {
            const ssize_t n = ::write(in_pipe[1], data.data() + off, data.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        ::close(in_pipe[1]);
    }
    if (got == sizeof exec_errno) {
        child->wait(5s);
        throw std::runtime_error(std::string("cannot start ") + program + ": " +
                                 std::strerror(exec_errno));
    }
    return child;
}

Child::~Child() {
    if (!reaped_) kill_all();
    if (impl_) impl_->stop();
}

bool Child::running() {
    if (reaped_) return false;
    return !try_wait(0ms).has_value();
}

std::optional<Result> Child::try_wait(Millis timeout) {
    if (!reaped_) {
        auto ended = reap_within(pid_, timeout);
        if (!ended) return std::nullopt;
        reaped_ = true;
        result_ = *ended;
        impl_->stop();
        std::lock_guard g(impl_->mu);
        result_.out = impl_->out;
        result_.err = impl_->err;
    }
    return result_;
}

Result Child::wait(Millis timeout) {
    if (auto r = try_wait(timeout)) return *r;
    kill_all();
    Result r = try_wait(5s).value_or(Result{});
    r.timed_out = true;
    result_.timed_out = true;
    return r;
}

void Child::signal(int sig) {
    if (!reaped_) ::kill(pid_, sig);
}

void Child::kill_all() {
    if (reaped_) return;
    kill_process_tree(pid_);
}

std::string Child::out() const {
    std::lock_guard g(impl_->mu);
    return impl_->out;
}

std::string Child::err() const {
    std::lock_guard g(impl_->mu);
    return impl_->err;
}

bool Child::wait_for_out(std::string_view needle, Millis timeout) const {
    return impl_->wait_for(&Impl::out, needle, timeout);
}

bool Child::wait_for_err(std::string_view needle, Millis timeout) const {
    return impl_->wait_for(&Impl::err, needle, timeout);
}

Result run(const Spec& spec, Millis timeout) {
    return Child::start(spec)->wait(timeout);
}

void track_pid(pid_t pid) {
    // Signalling 0, -1 or init would reach far more than the test's own processes.
    if (pid <= 1) throw std::invalid_argument("track_pid: not a process of the test");
    std::lock_guard g(tracked_mu);
    tracked.push_back(pid);
}

namespace {

void collect_descendants(pid_t pid, std::vector<pid_t>& out) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream children(tasks + "/" + entry->d_name + "/children");
        pid_t child = 0;
        while (children >> child) {
            out.push_back(child);
            collect_descendants(child, out);
        }
    }
    ::closedir(dir);
}

}  // namespace

void kill_process_tree(pid_t root) {
    if (root <= 1) return;
    std::vector<pid_t> descendants;
    collect_descendants(root, descendants);
    if (::getpgid(root) == root) ::kill(-root, SIGKILL);
    ::kill(root, SIGKILL);
    for (pid_t pid : descendants) {
        if (pid > 1) ::kill(pid, SIGKILL);
    }
}

void kill_tracked() {
    std::lock_guard g(tracked_mu);
    for (pid_t pid : tracked) {
        if (pid > 0) ::kill(pid, SIGKILL);
    }
    for (pid_t pid : tracked) {
        // Our own children are reaped; others are reaped by their parent or init.
        if (pid > 0) ::waitpid(pid, nullptr, WNOHANG);
    }
    tracked.clear();
}

bool process_alive(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    // A zombie still answers kill(0); look at its state.
    const std::string state = proc_stat_field(pid, 3);
    return !state.empty() && state != "Z" && state != "X";
}

std::string proc_stat_field(pid_t pid, int field) {
    std::string stat;
    try {
        stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    } catch (const std::exception&) {
        return "";
    }
    // The name (field 2) may hold spaces; the fields after it do not.
    size_t pos = stat.rfind(')');
    if (pos == std::string::npos || field < 2) return "";
    if (field == 2) {
        const size_t open = stat.find('(');
        return open < pos ? stat.substr(open, pos + 1 - open) : "";
    }
    pos += 2;
    for (int i = 3; i < field; ++i) {
        pos = stat.find(' ', pos);
        if (pos == std::string::npos) return "";
        ++pos;
    }
    return stat.substr(pos, stat.find(' ', pos) - pos);
}

std::optional<Result> reap_within(pid_t pid, Millis timeout) {
    int status = 0;
    pid_t r = 0;
    wait_until(
        [&] {
            r = ::waitpid(pid, &status, WNOHANG);
            return r != 0;
        },
        timeout);
    if (r == 0) return std::nullopt;
    Result result;
    if (r == pid && WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
    } else if (r == pid && WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

Result in_child(const std::function<int()>& body) {
    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(err_pipe[1], STDERR_FILENO);
        ::_exit(body());
    }
    ::close(err_pipe[1]);
    std::string err;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(err_pipe[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        err.append(buf, static_cast<size_t>(n));
    }
    ::close(err_pipe[0]);
    Result result = reap_within(pid, 60s).value_or(Result{});
    result.err = std::move(err);
    return result;
}

}  // namespace vt
