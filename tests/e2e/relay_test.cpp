// The port relay through the real binary: listeners made by the first copy,
// the detached relay process, its log, and connections carried both ways.
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/pty.h"
#include "support/sockets.h"
#include "support/test_env.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using vt::UniqueFd;

std::string proc(pid_t pid, const std::string& rest) {
    return "/proc/" + std::to_string(pid) + "/" + rest;
}

std::string text_of(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// The inode of the Unix socket listening at path (from /proc/net/unix).
std::optional<ino_t> unix_listener_inode(const std::string& path) {
    std::istringstream in(text_of("/proc/net/unix"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, socket_path;
        unsigned long inode = 0;
        fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> socket_path;
        if (socket_path == path && flags == "00010000") return static_cast<ino_t>(inode);
    }
    return std::nullopt;
}

// Processes whose environment holds entry.
std::vector<pid_t> pids_with_env(const std::string& entry) {
    std::vector<pid_t> out;
    for (const auto& dir : std::filesystem::directory_iterator("/proc")) {
        const std::string name = dir.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string env = text_of(dir.path() / "environ");
        size_t pos = 0;
        while (pos < env.size()) {
            const size_t end = std::min(env.find('\0', pos), env.size());
            if (env.compare(pos, end - pos, entry) == 0) {
                const pid_t pid = std::stoi(name);
                if (vt::process_alive(pid)) out.push_back(pid);
                break;
            }
            pos = end + 1;
        }
    }
    return out;
}

// A relay started by a launch, owned by the test: the relay is orphaned when
// its starter exits and comes to this process (a subreaper), which kills and
// reaps it at the end.
class Relay {
  public:
    Relay() = default;
    explicit Relay(pid_t pid) : pid_(pid) { vt::track_pid(pid); }
    Relay(Relay&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
    Relay& operator=(Relay&& other) noexcept {
        end();
        pid_ = std::exchange(other.pid_, -1);
        return *this;
    }
    ~Relay() { end(); }
    pid_t pid() const { return pid_; }
    explicit operator bool() const { return pid_ > 0; }
    int descriptors() const { return vt::count_entries(proc(pid_, "fd")); }
    int threads() const { return vt::program_threads(pid_); }
    void end() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

void adopt_orphans() {
    static const bool done = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    ASSERT_TRUE(done);
}

// The one process that holds the listening socket, once the copy has let go
// and it has set itself up.
Relay relay_holding(std::optional<ino_t> inode) {
    if (!inode) return Relay();
    std::vector<pid_t> holders;
    vt::wait_until([&] {
        holders = vt::pids_holding(*inode);
        return holders.size() == 1;
    });
    if (holders.size() != 1) return Relay();
    Relay relay(holders[0]);
    // It holds the sockets from the fork on; its set-up is done once it has
    // started its first thread (besides the ones the thread sanitizer's
    // runtime may start in a forked child before the relay starts any).
    vt::wait_until([&] { return relay.threads() >= 2 + vt::kRuntimeThreads; });
    return relay;
}

Relay relay_on_port(uint16_t port) {
    std::optional<ino_t> inode;
    vt::wait_until([&] { return (inode = vt::tcp_listener_inode(port)).has_value(); }, 5s);
    return relay_holding(inode);
}

Relay relay_on_path(const std::string& path) {
    std::optional<ino_t> inode;
    vt::wait_until([&] { return (inode = unix_listener_inode(path)).has_value(); }, 5s);
    return relay_holding(inode);
}

// Runs a first copy with these listener options and a command that ends at
// once; the relay stays behind.
vt::Result launch(const vt::TestEnv& env, std::vector<std::string> listeners,
                  std::vector<std::string> command = {"true"}) {
    adopt_orphans();
    listeners.push_back("--");
    listeners.insert(listeners.end(), command.begin(), command.end());
    return vt::run(env.spec(listeners));
}

// A relay with the one listener --tcp port=target; empty when the launch
// failed or no relay holds the port.
Relay tcp_relay(const vt::TestEnv& env, uint16_t port, const std::string& target) {
    const auto r = launch(env, {"--tcp", std::to_string(port) + "=" + target});
    EXPECT_EQ(r.status(), 0) << r.err;
    return r.status() == 0 ? relay_on_port(port) : Relay();
}

std::string log_of(const vt::TestEnv& env) {
    return text_of(env.home() + "/.vorn-entry.log");
}

bool has_ipv6() {
    return static_cast<bool>(vt::tcp_listen(AF_INET6, 0));
}

// The relay's descriptors and threads at rest, taken once all its accept
// loops have started; nullopt when they never do.
struct Idle {
    int descriptors = 0;
    int threads = 0;
};

std::optional<Idle> idle_state(const Relay& relay, int loops) {
    if (!vt::wait_until([&] { return relay.threads() == 1 + loops + vt::kRuntimeThreads; })) {
        return std::nullopt;
    }
    return Idle{relay.descriptors(), relay.threads()};
}

// Whether the relay comes back to rest once every connection has ended.
bool back_to_idle(const Relay& relay, const Idle& idle) {
    return vt::wait_until(
        [&] { return relay.descriptors() == idle.descriptors && relay.threads() == idle.threads; },
        30s);
}

// Accept loops of one --tcp listener: 127.0.0.1, and [::1] where there is one.
int tcp_loops() {
    return 1 + (has_ipv6() ? 1 : 0);
}

// Sends data on fd, then ends that direction.
std::thread send_then_end(int fd, const std::string& data) {
    return std::thread([fd, &data] {
        EXPECT_TRUE(vt::send_all(fd, data));
        ::shutdown(fd, SHUT_WR);
    });
}

// A Unix socket server that echoes each connection on a thread of its own
// and ends its side once the client has ended its own.
class EchoServer {
  public:
    explicit EchoServer(const std::string& path) : listener_(vt::unix_listen(path)) {
        EXPECT_TRUE(listener_) << path;
        acceptor_ = std::thread([this] { accept_all(); });
    }
    ~EchoServer() {
        ::shutdown(listener_.get(), SHUT_RDWR);
        acceptor_.join();
        std::unique_lock hold(lock_);
        done_.wait(hold, [&] { return running_ == 0; });
    }

  private:
    void accept_all() {
        for (;;) {
            UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            {
                std::lock_guard hold(lock_);
                ++running_;
            }
            std::thread([this, c = std::move(connection)] {
                char buf[65536];
                for (;;) {
                    const ssize_t n = ::recv(c.get(), buf, sizeof buf, 0);
                    if (n <= 0) break;
                    if (!vt::send_all(c.get(), std::string_view(buf, static_cast<size_t>(n)))) {
                        break;
                    }
                }
                ::shutdown(c.get(), SHUT_WR);
                std::lock_guard hold(lock_);
                --running_;
                done_.notify_all();
            }).detach();
        }
    }

    UniqueFd listener_;
    std::thread acceptor_;
    std::mutex lock_;
    std::condition_variable done_;
    int running_ = 0;
};

struct Endpoints {
    UniqueFd client;
    UniqueFd server;
};

TEST(Relay, CarriesMegabytesBothWaysAtOnceInEachDirectionOfRelay) {
    vt::TestEnv env;
    const std::string target = env.path("host.sock");
    const std::string inside = env.path("in/app.sock");
    UniqueFd unix_server = vt::unix_listen(target);
    UniqueFd tcp_server = vt::tcp_listen(AF_INET, 0);
    ASSERT_TRUE(unix_server && tcp_server);
    const uint16_t port = vt::free_port();
    const auto r = launch(env, {"--tcp", std::to_string(port) + "=" + target, "--unix",
                                inside + "=" + std::to_string(vt::local_port(tcp_server.get()))});
    ASSERT_EQ(r.status(), 0) << r.err;
    Relay relay = relay_on_port(port);
    ASSERT_TRUE(relay);

    struct Case {
        const char* name;
        std::function<UniqueFd()> connect;
        int server;
    };
    std::vector<Case> cases = {
        {"127.0.0.1 to unix", [&] { return vt::tcp_connect(AF_INET, port); }, unix_server.get()},
        {"unix to tcp", [&] { return vt::unix_connect(inside); }, tcp_server.get()},
    };
    if (has_ipv6()) {
        cases.push_back(
            {"[::1] to unix", [&] { return vt::tcp_connect(AF_INET6, port); }, unix_server.get()});
    }
    uint64_t seed = 0;
    for (const auto& c : cases) {
        Endpoints e{c.connect(), {}};
        ASSERT_TRUE(e.client) << c.name;
        e.server = vt::accept_within(c.server);
        ASSERT_TRUE(e.server) << c.name;
        const std::string request = vt::pattern(3 << 20, ++seed);
        const std::string answer = vt::pattern(4 << 20, ++seed);
        std::thread w1 = send_then_end(e.client.get(), request);
        std::thread w2 = send_then_end(e.server.get(), answer);
        std::optional<std::string> at_server;
        std::thread reader([&] { at_server = vt::read_to_end(e.server.get(), 60s); });
        const auto at_client = vt::read_to_end(e.client.get(), 60s);
        reader.join();
        w1.join();
        w2.join();
        ASSERT_TRUE(at_server && at_client) << c.name;
        EXPECT_EQ(at_server->size(), request.size()) << c.name;
        EXPECT_EQ(vt::fnv1a(*at_server), vt::fnv1a(request)) << c.name;
        EXPECT_EQ(at_client->size(), answer.size()) << c.name;
        EXPECT_EQ(vt::fnv1a(*at_client), vt::fnv1a(answer)) << c.name;
    }
    EXPECT_EQ(log_of(env), "");
}

TEST(Relay, HalfCloseAndResetReachTheOtherSide) {
    vt::TestEnv env;
    const std::string target = env.path("host.sock");
    const std::string inside = env.path("app.sock");
    UniqueFd unix_server = vt::unix_listen(target);
    UniqueFd tcp_server = vt::tcp_listen(AF_INET, 0);
    ASSERT_TRUE(unix_server && tcp_server);
    const uint16_t port = vt::free_port();
    ASSERT_EQ(launch(env, {"--tcp", std::to_string(port) + "=" + target, "--unix",
                           inside + "=" + std::to_string(vt::local_port(tcp_server.get()))})
                  .status(),
              0);
    Relay relay = relay_on_port(port);
    ASSERT_TRUE(relay);
    const auto idle = idle_state(relay, tcp_loops() + 1);
    ASSERT_TRUE(idle);

    const std::vector<std::pair<const char*, std::function<Endpoints()>>> kinds = {
        {"tcp listener",
         [&] {
             Endpoints e{vt::tcp_connect(AF_INET, port), {}};
             e.server = vt::accept_within(unix_server.get());
             return e;
         }},
        {"unix listener",
         [&] {
             Endpoints e{vt::unix_connect(inside), {}};
             e.server = vt::accept_within(tcp_server.get());
             return e;
         }},
    };
    for (const auto& [name, connect] : kinds) {
        // The client ends its request; the server reads it to its end and
        // only then answers.
        Endpoints e = connect();
        ASSERT_TRUE(e.client && e.server) << name;
        ASSERT_TRUE(vt::send_all(e.client.get(), "request"));
        ::shutdown(e.client.get(), SHUT_WR);
        EXPECT_EQ(vt::read_to_end(e.server.get()), "request") << name;
        ASSERT_TRUE(vt::send_all(e.server.get(), "answer after the end"));
        e.server.reset();
        EXPECT_EQ(vt::read_to_end(e.client.get()), "answer after the end") << name;

        // A server that resets cuts off the client, which never ended.
        e = connect();
        ASSERT_TRUE(e.client && e.server) << name;
        ASSERT_TRUE(vt::send_all(e.client.get(), "x"));
        char byte;
        ASSERT_EQ(::recv(e.server.get(), &byte, 1, MSG_WAITALL), 1);
        const linger abort_on_close{1, 0};
        ::setsockopt(e.server.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        e.server.reset();
        EXPECT_TRUE(vt::sees_end(e.client.get())) << name;
    }
    // Both connections of each kind are gone from the relay.
    EXPECT_TRUE(vt::wait_until([&] { return relay.descriptors() == idle->descriptors; }))
        << relay.descriptors() << " descriptors, " << idle->descriptors << " when idle";
}

TEST(Relay, ServerOnIpv6OnlyIsReachedByTheSecondAttempt) {
    if (!has_ipv6()) GTEST_SKIP() << "no IPv6 loopback here";
    vt::TestEnv env;
    const vt::Ipv6OnlyListener listener = vt::ipv6_only_listener();
    ASSERT_TRUE(listener.socket);
    const uint16_t port = listener.port;
    const UniqueFd& server = listener.socket;
    const std::string inside = env.path("app.sock");
    ASSERT_EQ(launch(env, {"--unix", inside + "=" + std::to_string(port)}).status(), 0);
    Relay relay = relay_on_path(inside);
    ASSERT_TRUE(relay);
    UniqueFd client = vt::unix_connect(inside);
    ASSERT_TRUE(client);
    UniqueFd served = vt::accept_within(server.get());
    ASSERT_TRUE(served);
    ASSERT_TRUE(vt::send_all(client.get(), "over ipv6"));
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_EQ(vt::read_to_end(served.get()), "over ipv6");
    EXPECT_EQ(log_of(env), "");
}

TEST(Relay, UnreachableTargetsAreLoggedWordForWord) {
    vt::TestEnv env;
    const uint16_t port = vt::free_port();
    const uint16_t nobody = vt::free_port();
    ASSERT_NE(port, nobody);
    const std::string missing = env.path("missing.sock");
    const std::string inside = env.path("app.sock");
    ASSERT_EQ(launch(env, {"--tcp", std::to_string(port) + "=" + missing, "--unix",
                           inside + "=" + std::to_string(nobody)})
                  .status(),
              0);
    Relay relay = relay_on_port(port);
    ASSERT_TRUE(relay);

    UniqueFd tcp_client = vt::tcp_connect(AF_INET, port);
    ASSERT_TRUE(tcp_client);
    EXPECT_TRUE(vt::sees_end(tcp_client.get()));
    const std::string first = "port " + std::to_string(port) + ": cannot reach " + missing +
                              " (No such file or directory (os error 2))\n";
    EXPECT_TRUE(vt::wait_until([&] { return log_of(env) == first; })) << log_of(env);

    UniqueFd unix_client = vt::unix_connect(inside);
    ASSERT_TRUE(unix_client);
    EXPECT_TRUE(vt::sees_end(unix_client.get()));
    // The error is the one of the 127.0.0.1 attempt, although [::1] failed too.
    const std::string second = inside + ": nothing listens on 127.0.0.1:" + std::to_string(nobody) +
                               " yet (Connection refused (os error 111))\n";
    EXPECT_TRUE(vt::wait_until([&] { return log_of(env) == first + second; })) << log_of(env);
}

TEST(Relay, ListenerFailuresEndTheLaunchWith125AndLeaveNoRelay) {
    vt::TestEnv env;
    UniqueFd taken = vt::tcp_listen(AF_INET, 0);
    ASSERT_TRUE(taken);
    const uint16_t busy = vt::local_port(taken.get());
    const uint16_t free = vt::free_port();
    const std::string long_path = env.path(std::string(110, 's'));
    vt::write_file(env.path("notes.txt"), "keep me");
    vt::make_dirs(env.path("a-folder"));

    struct Case {
        std::vector<std::string> listeners;
        std::string message;
    };
    const Case cases[] = {
        {{"--tcp", std::to_string(free) + "=" + env.path("a.sock"), "--tcp",
          std::to_string(busy) + "=" + env.path("b.sock")},
         "cannot listen on 127.0.0.1:" + std::to_string(busy) +
             " (Address already in use (os error 98)). Something in the image already uses "
             "that port."},
        {{"--tcp", std::to_string(free) + "=x", "--unix", long_path + "=80"},
         "cannot listen on " + long_path + " (File name too long (os error 36))"},
        // A mistyped path names a user's file: it is kept, not replaced, and
        // the message says that something else is there.
        {{"--unix", env.path("notes.txt") + "=80"},
         "cannot listen on " + env.path("notes.txt") + " (File exists (os error 17))"},
        {{"--unix", env.path("a-folder") + "=80"},
         "cannot listen on " + env.path("a-folder") + " (File exists (os error 17))"},
        {{"--unix", env.path("notes.txt/sub/s.sock") + "=80"},
         "cannot create " + env.path("notes.txt/sub") + " (Not a directory (os error 20))"},
    };
    for (const auto& c : cases) {
        const auto r = launch(env, c.listeners, {"touch", env.path("ran")});
        EXPECT_EQ(r.status(), 125) << c.message;
        EXPECT_EQ(r.err, "[launch] " + c.message + "\n");
        EXPECT_FALSE(file_exists(env.path("ran"))) << c.message;
        EXPECT_EQ(pids_with_env("HOME=" + env.home()), std::vector<pid_t>{}) << c.message;
        EXPECT_FALSE(vt::tcp_listener_inode(free)) << c.message;
    }
    EXPECT_EQ(vt::read_file(env.path("notes.txt")), "keep me");
}

TEST(Relay, RunsDetachedAndOutlivesTheCopy) {
    adopt_orphans();
    vt::TestEnv env;
    const std::string target = env.path("host.sock");
    EchoServer echo(target);
    const uint16_t port = vt::free_port();
    // The command lists its own descriptors, then waits for a line.
    auto spec = env.spec({"--tcp", std::to_string(port) + "=" + target, "--", "sh", "-c",
                          "for f in /proc/$$/fd/*; do echo \"fd $f $(readlink $f)\"; done; "
                          "echo listed; read line; echo got $line"});
    // Started with a soft descriptor limit below the hard one, as a shell's
    // default often is; the relay takes all it may.
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    const rlimit lowered{std::min<rlim_t>(own.rlim_max / 2, 1024), own.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    auto copy = vt::PtyChild::start(spec);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    ASSERT_TRUE(copy->wait_for("listed"));
    // No listening socket reached the command.
    EXPECT_EQ(copy->screen().find("socket:"), std::string::npos) << copy->screen();
    Relay relay = relay_on_port(port);
    ASSERT_TRUE(relay);

    // A session of its own, without the terminal the copy runs on.
    EXPECT_NE(::getsid(relay.pid()), ::getsid(copy->pid()));
    EXPECT_EQ(vt::proc_stat_field(relay.pid(), 7), "0");  // no controlling terminal
    EXPECT_EQ(vt::link_target(proc(relay.pid(), "fd/0")), "/dev/null");
    EXPECT_EQ(vt::link_target(proc(relay.pid(), "fd/2")), env.home() + "/.vorn-entry.log");
    rlimit relay_limit{};
    ASSERT_EQ(::prlimit(relay.pid(), RLIMIT_NOFILE, nullptr, &relay_limit), 0);
    EXPECT_EQ(relay_limit.rlim_cur, own.rlim_max);

    // Ctrl-C on the terminal, SIGINT and SIGHUP sent to it, and the end of the
    // copy with its terminal: the relay serves on.
    copy->type("\x03");
    ::kill(relay.pid(), SIGINT);
    ::kill(relay.pid(), SIGHUP);
    copy.reset();
    for (int round = 0; round < 2; ++round) {
        UniqueFd client = vt::tcp_connect(AF_INET, port);
        ASSERT_TRUE(client);
        ASSERT_TRUE(vt::send_all(client.get(), "still here"));
        ::shutdown(client.get(), SHUT_WR);
        EXPECT_EQ(vt::read_to_end(client.get()), "still here");
    }
    EXPECT_TRUE(vt::process_alive(relay.pid()));
}

TEST(Relay, EachRelayStartsAFreshLogAndNoneWithoutHome) {
    vt::TestEnv env;
    const std::string missing = env.path("missing.sock");
    const std::string log = env.home() + "/.vorn-entry.log";
    auto connect_once = [](uint16_t port) {
        UniqueFd client = vt::tcp_connect(AF_INET, port);
        return client && vt::sees_end(client.get());
    };
    const uint16_t p1 = vt::free_port();
    ASSERT_EQ(launch(env, {"--tcp", std::to_string(p1) + "=" + missing}).status(), 0);
    Relay first = relay_on_port(p1);
    ASSERT_TRUE(first && connect_once(p1));
    const std::string line1 = "port " + std::to_string(p1) + ": cannot reach " + missing +
                              " (No such file or directory (os error 2))\n";
    ASSERT_TRUE(vt::wait_until([&] { return log_of(env) == line1; })) << log_of(env);
    first.end();

    const uint16_t p2 = vt::free_port();
    ASSERT_EQ(launch(env, {"--tcp", std::to_string(p2) + "=" + missing}).status(), 0);
    Relay second = relay_on_port(p2);
    ASSERT_TRUE(second);
    EXPECT_EQ(log_of(env), "");
    ASSERT_TRUE(connect_once(p2));
    const std::string line2 = "port " + std::to_string(p2) + ": cannot reach " + missing +
                              " (No such file or directory (os error 2))\n";
    EXPECT_TRUE(vt::wait_until([&] { return log_of(env) == line2; })) << log_of(env);
    second.end();

    // An empty HOME names no folder either: no log, not even in the folder
    // the launch ran in.
    for (const bool empty : {false, true}) {
        vt::TestEnv homeless;
        if (empty) {
            homeless.set("HOME", "");
        } else {
            homeless.unset("HOME");
        }
        const uint16_t p3 = vt::free_port();
        ASSERT_EQ(launch(homeless, {"--tcp", std::to_string(p3) + "=" + missing}).status(), 0)
            << empty;
        Relay third = relay_on_port(p3);
        ASSERT_TRUE(third && connect_once(p3)) << empty;
        EXPECT_EQ(vt::link_target(proc(third.pid(), "fd/1")), "/dev/null") << empty;
        EXPECT_EQ(vt::link_target(proc(third.pid(), "fd/2")), "/dev/null") << empty;
        EXPECT_FALSE(file_exists(homeless.home() + "/.vorn-entry.log")) << empty;
        EXPECT_FALSE(file_exists(homeless.path(".vorn-entry.log"))) << empty;
    }
    EXPECT_EQ(log_of(env), line2);
}

long voluntary_switches(pid_t pid) {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator(proc(pid, "task"))) {
        std::istringstream in(text_of(task.path() / "status"));
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

// The lowest descriptor number the process does not use.
rlim_t lowest_free_descriptor(pid_t pid) {
    std::vector<int> used;
    for (const auto& fd : std::filesystem::directory_iterator(proc(pid, "fd"))) {
        used.push_back(std::stoi(fd.path().filename()));
    }
    std::sort(used.begin(), used.end());
    rlim_t n = 0;
    for (int fd : used) {
        if (static_cast<rlim_t>(fd) != n) break;
        ++n;
    }
    return n;
}

// Threads of the process waiting in accept. A loop that reaches accept only
// after the limit has fallen fails at once, connection or not; one already
// waiting there has its descriptor set aside.
int threads_in_accept(pid_t pid) {
    const std::string waiting = std::to_string(SYS_accept4) + " ";
    int n = 0;
    for (const std::string& task : vt::names_in(proc(pid, "task"))) {
        if (vt::read_file(proc(pid, "task/" + task + "/syscall")).starts_with(waiting)) ++n;
    }
    return n;
}

TEST(Relay, AcceptUnderDescriptorExhaustionLogsOncePerRunAndRecovers) {
    vt::TestEnv env;
    const std::string target = env.path("host.sock");
    EchoServer echo(target);
    const uint16_t port = vt::free_port();
    Relay relay = tcp_relay(env, port, target);
    ASSERT_TRUE(relay);
    rlimit normal{};
    ASSERT_EQ(::prlimit(relay.pid(), RLIMIT_NOFILE, nullptr, &normal), 0);
    const std::string line = "port " + std::to_string(port) +
                             ": cannot accept a connection (Too many open files (os "
                             "error 24))\n";

    const auto idle = idle_state(relay, tcp_loops());
    ASSERT_TRUE(idle);

    auto echoes = [](int fd, const std::string& text) {
        return vt::send_all(fd, text) && ::shutdown(fd, SHUT_WR) == 0 &&
               vt::read_to_end(fd) == text;
    };
    // A connection that was accepted into the descriptor its loop had set
    // aside while waiting finds none for its target; that line is expected
    // too, any number of times.
    const std::string starved_line = "port " + std::to_string(port) + ": cannot reach " + target +
                                     " (Too many open files (os error 24))";
    // Each run of failures is one line; a starved connection was accepted
    // in between, so the run after it may say so once more.
    auto lines_fit = [&](int runs) {
        std::istringstream in(log_of(env));
        std::string text;
        int accepts = 0, starved = 0;
        while (std::getline(in, text)) {
            if (text == starved_line) {
                ++starved;
            } else if (text + "\n" == line) {
                ++accepts;
            } else {
                return false;
            }
        }
        return accepts >= runs && accepts <= runs + starved;
    };

    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(vt::wait_until([&] { return relay.descriptors() == idle->descriptors; }));
        ASSERT_TRUE(vt::wait_until([&] { return threads_in_accept(relay.pid()) == tcp_loops(); }))
            << threads_in_accept(relay.pid());
        const rlimit starved{lowest_free_descriptor(relay.pid()), normal.rlim_max};
        ASSERT_EQ(::prlimit(relay.pid(), RLIMIT_NOFILE, &starved, nullptr), 0);
        UniqueFd first = vt::tcp_connect(AF_INET, port);
        ASSERT_TRUE(first);
        ASSERT_TRUE(vt::wait_until([&] { return lines_fit(run + 1); })) << log_of(env);

        // The loop retries every 100 ms, with a connection waiting, and says
        // nothing more.
        UniqueFd waiting = vt::tcp_connect(AF_INET, port);  // completed by the kernel's backlog
        ASSERT_TRUE(waiting);
        const long switches = voluntary_switches(relay.pid());
        ASSERT_TRUE(
            vt::wait_until([&] { return voluntary_switches(relay.pid()) >= switches + 4; }));
        EXPECT_TRUE(lines_fit(run + 1)) << log_of(env);

        // With descriptors to spare the waiting connection goes through,
        // which ends the run.
        ASSERT_EQ(::prlimit(relay.pid(), RLIMIT_NOFILE, &normal, nullptr), 0);
        EXPECT_TRUE(echoes(waiting.get(), "recovered"));
    }
    EXPECT_TRUE(lines_fit(2)) << log_of(env);
}

// The bytes of connection seed from offset on: what each connection sends
// and must get back, made as needed rather than kept.
void fill_stream(uint64_t seed, size_t offset, char* out, size_t n) {
    size_t i = 0;
    while (i < n) {
        const size_t at = offset + i;
        uint64_t z = (seed << 40) ^ (at >> 3);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        for (size_t b = at & 7; b < 8 && i < n; ++b, ++i) {
            out[i] = static_cast<char>(z >> (b * 8));
        }
    }
}

void raise_own_descriptor_limit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(Relay, FiveHundredSimultaneousConnectionsEachCarryAMegabyteIntact) {
    raise_own_descriptor_limit();
    vt::TestEnv env;
    const std::string target = env.path("host.sock");
    UniqueFd server = vt::unix_listen(target);
    ASSERT_TRUE(server);
    const uint16_t port = vt::free_port();
    Relay relay = tcp_relay(env, port, target);
    ASSERT_TRUE(relay);

    constexpr int kConnections = 500;
    constexpr size_t kBytes = 1 << 20;
    constexpr size_t kChunk = 16384;
    struct Client {
        UniqueFd fd;
        uint64_t seed = 0;
        size_t sent = 0, received = 0;
        bool intact = true, ended = false;
    };
    struct Echo {
        UniqueFd fd;
        std::string pending;
        bool ended = false;
    };
    std::vector<Client> clients(kConnections);
    std::vector<Echo> echoes;
    // Every connection is open before any byte moves.
    for (int i = 0; i < kConnections; ++i) {
        clients[i].fd = vt::tcp_connect(AF_INET, port);
        ASSERT_TRUE(clients[i].fd) << i;
        clients[i].seed = static_cast<uint64_t>(i) + 1;
        ::fcntl(clients[i].fd.get(), F_SETFL, O_NONBLOCK);
    }
    while (echoes.size() < kConnections) {
        UniqueFd fd = vt::accept_within(server.get());
        ASSERT_TRUE(fd) << echoes.size() << " of " << kConnections << " reached the server";
        ::fcntl(fd.get(), F_SETFL, O_NONBLOCK);
        echoes.push_back({std::move(fd), {}, false});
    }
    // Each connection has its two threads, none waiting for another.
    EXPECT_TRUE(vt::wait_until([&] { return relay.threads() >= 2 * kConnections; }))
        << relay.threads();

    std::vector<char> buf(kChunk), expect(kChunk);
    int clients_done = 0;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (clients_done < kConnections && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (auto& c : clients) {
            short events = c.ended ? 0 : POLLIN;
            if (c.sent < kBytes) events |= POLLOUT;
            fds.push_back({events ? c.fd.get() : -1, events, 0});
        }
        for (auto& e : echoes) {
            const short events = e.pending.empty() ? (e.ended ? 0 : POLLIN) : POLLOUT;
            fds.push_back({events ? e.fd.get() : -1, events, 0});
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
        for (int i = 0; i < kConnections; ++i) {
            Client& c = clients[i];
            const short ready = fds[i].revents;
            if ((ready & POLLOUT) && c.sent < kBytes) {
                const size_t n = std::min(kChunk, kBytes - c.sent);
                fill_stream(c.seed, c.sent, buf.data(), n);
                const ssize_t w = ::send(c.fd.get(), buf.data(), n, MSG_NOSIGNAL);
                if (w > 0) {
                    c.sent += static_cast<size_t>(w);
                    if (c.sent == kBytes) ::shutdown(c.fd.get(), SHUT_WR);
                }
            }
            if (ready & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t r = ::recv(c.fd.get(), buf.data(), kChunk, 0);
                if (r > 0) {
                    fill_stream(c.seed, c.received, expect.data(), static_cast<size_t>(r));
                    c.intact = c.intact && std::equal(buf.begin(), buf.begin() + r, expect.begin());
                    c.received += static_cast<size_t>(r);
                } else if (r == 0 || errno != EAGAIN) {
                    c.ended = true;
                    ++clients_done;
                }
            }
        }
        for (size_t j = 0; j < echoes.size(); ++j) {
            Echo& e = echoes[j];
            const short ready = fds[kConnections + j].revents;
            if ((ready & POLLOUT) && !e.pending.empty()) {
                const ssize_t w =
                    ::send(e.fd.get(), e.pending.data(), e.pending.size(), MSG_NOSIGNAL);
                if (w > 0) e.pending.erase(0, static_cast<size_t>(w));
                if (e.pending.empty() && e.ended) ::shutdown(e.fd.get(), SHUT_WR);
            } else if (ready & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t r = ::recv(e.fd.get(), buf.data(), kChunk, 0);
                if (r > 0) {
                    e.pending.assign(buf.data(), static_cast<size_t>(r));
                } else if (r == 0 || errno != EAGAIN) {
                    e.ended = true;
                    ::shutdown(e.fd.get(), SHUT_WR);
                }
            }
        }
    }
    int intact = 0;
    for (const auto& c : clients) intact += c.ended && c.intact && c.received == kBytes;
    EXPECT_EQ(intact, kConnections);
}

TEST(Relay, TenThousandShortConnectionsLeaveNoDescriptorOrThreadBehind) {
    vt::TestEnv env;
    const std::string target = env.path("host.sock");
    const std::string inside = env.path("app.sock");
    EchoServer echo(target);
    UniqueFd tcp_server = vt::tcp_listen(AF_INET, 0);
    ASSERT_TRUE(tcp_server);
    const uint16_t port = vt::free_port();
    // One listener leads to the echo server; the other to a TCP server that
    // this test accepts and closes at once.
    ASSERT_EQ(launch(env, {"--tcp", std::to_string(port) + "=" + target, "--unix",
                           inside + "=" + std::to_string(vt::local_port(tcp_server.get()))})
                  .status(),
              0);
    Relay relay = relay_on_port(port);
    ASSERT_TRUE(relay);
    const auto idle = idle_state(relay, tcp_loops() + 1);
    ASSERT_TRUE(idle);

    std::atomic<bool> serving{true};
    std::thread closer([&] {
        while (serving) {
            UniqueFd c = vt::accept_within(tcp_server.get(), 100ms);
        }
    });
    constexpr int kWorkers = 4, kEach = 2500;
    std::atomic<int> echoed{0}, closed{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i) {
                if ((i + w) % 5 == 0) {
                    UniqueFd c = vt::unix_connect(inside);
                    if (c && vt::sees_end(c.get())) ++closed;
                    continue;
                }
                UniqueFd c = vt::tcp_connect(AF_INET, port);
                if (!c || !vt::send_all(c.get(), "ping")) continue;
                ::shutdown(c.get(), SHUT_WR);
                if (vt::read_to_end(c.get()) == "ping") ++echoed;
            }
        });
    }
    for (auto& w : workers) w.join();
    serving = false;
    closer.join();
    EXPECT_EQ(echoed + closed, kWorkers * kEach);
    EXPECT_TRUE(back_to_idle(relay, *idle))
        << relay.descriptors() << " descriptors (" << idle->descriptors << " idle), "
        << relay.threads() << " threads (" << idle->threads << " idle)";
    EXPECT_EQ(log_of(env), "");
}

// Clients that reset their connection in the middle of a transfer, some with
// the answer still unread, end only their own connections.
TEST(RelayFaults, ClientsResettingMidStreamLeaveNothingBehind) {
    vt::TestEnv env;
    const std::string target = env.path("host.sock");
    EchoServer echo(target);
    const uint16_t port = vt::free_port();
    Relay relay = tcp_relay(env, port, target);
    ASSERT_TRUE(relay);
    const auto idle = idle_state(relay, tcp_loops());
    ASSERT_TRUE(idle);

    const std::string chunk = vt::pattern(64 << 10, 7);
    constexpr int kWorkers = 4, kEach = 100;
    std::atomic<int> reset{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i) {
                UniqueFd c = vt::tcp_connect(AF_INET, port);
                if (!c || !vt::send_all(c.get(), chunk)) continue;
                if ((i + w) % 2 == 0) {
                    // Part of the answer is on its way back when the reset comes.
                    pollfd p{c.get(), POLLIN, 0};
                    if (::poll(&p, 1, 10000) != 1) continue;
                    char buf[512];
                    if (::recv(c.get(), buf, sizeof buf, 0) <= 0) continue;
                }
                const linger abort{1, 0};
                ::setsockopt(c.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                ++reset;
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(reset, kWorkers * kEach);
    EXPECT_TRUE(back_to_idle(relay, *idle))
        << relay.descriptors() << " descriptors (" << idle->descriptors << " idle), "
        << relay.threads() << " threads (" << idle->threads << " idle)";

    // And the relay still carries a whole exchange.
    UniqueFd c = vt::tcp_connect(AF_INET, port);
    ASSERT_TRUE(c);
    ASSERT_TRUE(vt::send_all(c.get(), "still here"));
    ::shutdown(c.get(), SHUT_WR);
    EXPECT_EQ(vt::read_to_end(c.get()), "still here");
}

// A target that accepts and never reads stalls its own connection only: the
// client's connection stays open, the same listener goes on accepting, and
// other connections flow.
TEST(RelayFaults, TargetThatNeverReadsStallsOnlyItsOwnConnection) {
    vt::TestEnv env;
    const std::string stalled_path = env.path("stalled.sock");
    const std::string echo_path = env.path("host.sock");
    UniqueFd stalled = vt::unix_listen(stalled_path);
    ASSERT_TRUE(stalled);
    EchoServer echo(echo_path);
    const uint16_t stalled_port = vt::free_port();
    uint16_t echo_port = vt::free_port();
    while (echo_port == stalled_port) echo_port = vt::free_port();
    ASSERT_EQ(launch(env, {"--tcp", std::to_string(stalled_port) + "=" + stalled_path, "--tcp",
                           std::to_string(echo_port) + "=" + echo_path})
                  .status(),
              0);
    Relay relay = relay_on_port(stalled_port);
    ASSERT_TRUE(relay);

    UniqueFd client = vt::tcp_connect(AF_INET, stalled_port);
    ASSERT_TRUE(client);
    UniqueFd held = vt::accept_within(stalled.get());
    ASSERT_TRUE(held);
    // Fill every buffer on the way until the client can send no more.
    ASSERT_EQ(::fcntl(client.get(), F_SETFL, O_NONBLOCK), 0);
    const std::string chunk = vt::pattern(64 << 10, 3);
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (;;) {
        const ssize_t n = ::send(client.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
        pollfd p{client.get(), POLLOUT, 0};
        if (::poll(&p, 1, 500) == 0) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the relay never stopped reading";
    }
    EXPECT_GT(sent, 2u * 64 * 1024) << "the relay's own buffers should have filled too";

    UniqueFd echoed = vt::tcp_connect(AF_INET, echo_port);
    ASSERT_TRUE(echoed);
    ASSERT_TRUE(vt::send_all(echoed.get(), "flowing"));
    ::shutdown(echoed.get(), SHUT_WR);
    EXPECT_EQ(vt::read_to_end(echoed.get()), "flowing");

    UniqueFd second = vt::tcp_connect(AF_INET, stalled_port);
    ASSERT_TRUE(second);
    EXPECT_TRUE(vt::accept_within(stalled.get())) << "the stalled listener stopped accepting";

    pollfd p{client.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0)
        << "the stalled connection was ended (revents " << p.revents << ")";
    EXPECT_EQ(log_of(env), "");
}

// ---------------------------------------------------------------------------
// A relayed connection behaves like a direct one.

enum class Listener { tcp, unix_socket };

// Both kinds of listener in one relay: TCP port to a Unix server, and a Unix
// socket to a TCP server. Each connection gives the test both of its ends.
class BothWays {
  public:
    BothWays()
        : unix_server_(vt::unix_listen(env.path("host.sock"))),
          tcp_server_(vt::tcp_listen(AF_INET, 0)),
          port_(vt::free_port()) {
        EXPECT_TRUE(unix_server_ && tcp_server_);
        const auto r =
            launch(env, {"--tcp", std::to_string(port_) + "=" + env.path("host.sock"), "--unix",
                         inside() + "=" + std::to_string(vt::local_port(tcp_server_.get()))});
        EXPECT_EQ(r.status(), 0) << r.err;
        relay = relay_on_port(port_);
        EXPECT_TRUE(relay);
    }
    std::string inside() const { return env.path("app.sock"); }

    // A client on the TCP port and the Unix server it reaches, or a client
    // on the Unix socket and the TCP server it reaches.
    Endpoints connect(Listener kind) {
        Endpoints e;
        if (kind == Listener::tcp) {
            e.client = vt::tcp_connect(AF_INET, port_);
            e.server = vt::accept_within(unix_server_.get());
        } else {
            e.client = vt::unix_connect(inside());
            e.server = vt::accept_within(tcp_server_.get());
        }
        return e;
    }

    vt::TestEnv env;
    Relay relay;

  private:
    UniqueFd unix_server_;
    UniqueFd tcp_server_;
    uint16_t port_;
};

const char* name_of(Listener kind) {
    return kind == Listener::tcp ? "--tcp" : "--unix";
}

// Bytes sent on fd that its peer has not taken yet: for a Unix socket those
// its reader has not read, for a TCP socket those the other end's kernel has
// not acknowledged.
int not_taken(int fd) {
    int n = -1;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

// Waits until the peer has taken every byte sent on fd, so that what is sent
// next reaches the relay as a piece of its own.
bool wait_until_taken(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        const int n = not_taken(fd);
        if (n == 0) return true;
        if (n < 0 || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20us);
    }
}

bool receive_exactly(int fd, size_t size, std::string* out) {
    out->resize(size);
    size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return false;
        const ssize_t n = ::recv(fd, out->data() + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// What a reader gets: the bytes, and how the stream ended (0 for its end,
// else the error of the last receive; -1 when it did not end in time).
struct Received {
    std::string bytes;
    int end = -1;
};

Received receive_until_the_end(int fd, vt::Millis timeout = 20s) {
    Received r;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<vt::Millis>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return r;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            r.end = n == 0 ? 0 : errno;
            return r;
        }
        r.bytes.append(buf, static_cast<size_t>(n));
    }
}

int family_of(int fd) {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    return addr.ss_family;
}

// HTTP servers write the head of an answer and then its body; clients write
// a request in pieces too. The relay must pass the second piece on at once,
// not hold it back until the first is acknowledged, which the peer delays
// by some 40 ms while it waits for the rest of the message.
TEST(RelayLikeDirect, AMessageInTwoPiecesPassesWithoutDelay) {
    BothWays relay;
    ASSERT_TRUE(relay.relay);
    const std::string request = vt::pattern(300, 1);
    const std::string head = vt::pattern(200, 2), body = vt::pattern(1500, 3);
    constexpr int kRounds = 200;
    struct Case {
        Listener kind;
        bool server_splits;  // else the client splits its request
    };
    // Through --tcp the Unix server splits its answer; through --unix the
    // Unix client splits its request. A piece is sent once the relay has
    // taken the one before, so every message does cross in two pieces.
    for (const Case c : {Case{Listener::tcp, true}, Case{Listener::unix_socket, false}}) {
        Endpoints e = relay.connect(c.kind);
        ASSERT_TRUE(e.client && e.server) << name_of(c.kind);
        std::atomic<bool> served{true};
        std::thread server([&] {
            std::string got;
            for (int i = 0; i < kRounds && served; ++i) {
                if (!receive_exactly(e.server.get(), request.size(), &got) || got != request) {
                    served = false;
                } else if (c.server_splits) {
                    served = vt::send_all(e.server.get(), head) &&
                             wait_until_taken(e.server.get()) && vt::send_all(e.server.get(), body);
                } else {
                    served = vt::send_all(e.server.get(), head + body);
                }
            }
        });
        std::vector<double> millis;
        std::string answer;
        for (int i = 0; i < kRounds; ++i) {
            const auto start = std::chrono::steady_clock::now();
            bool asked = false;
            if (c.server_splits) {
                asked = vt::send_all(e.client.get(), request);
            } else {
                const std::string_view r = request;
                asked = vt::send_all(e.client.get(), r.substr(0, 100)) &&
                        wait_until_taken(e.client.get()) &&
                        vt::send_all(e.client.get(), r.substr(100));
            }
            if (!asked || !receive_exactly(e.client.get(), head.size() + body.size(), &answer)) {
                break;
            }
            millis.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            if (answer != head + body) break;
        }
        ::shutdown(e.client.get(), SHUT_RDWR);
        ::shutdown(e.server.get(), SHUT_RDWR);
        server.join();
        ASSERT_EQ(millis.size(), static_cast<size_t>(kRounds)) << name_of(c.kind);
        EXPECT_TRUE(served) << name_of(c.kind);
        std::sort(millis.begin(), millis.end());
        EXPECT_LT(millis[kRounds / 2], 10.0)
            << name_of(c.kind) << ": median round trip " << millis[kRounds / 2] << " ms";
    }
}

// A server that answers before it has read the upload (a 413 as soon as it
// has seen the head) and closes: the client gets the answer, as it does
// connected directly, though the relay's next send to the server fails.
TEST(RelayLikeDirect, AnAnswerSentBeforeTheUploadWasReadArrives) {
    BothWays relay;
    ASSERT_TRUE(relay.relay);
    const std::string head = "PUT /big HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n";
    const std::string answer =
        "HTTP/1.1 413 Content Too Large\r\nConnection: close\r\n\r\n" + vt::pattern(2000, 4);
    const std::string chunk = vt::pattern(64 << 10, 5);
    constexpr int kTries = 20;
    for (const Listener kind : {Listener::tcp, Listener::unix_socket}) {
        int answered = 0;
        for (int i = 0; i < kTries; ++i) {
            Endpoints e = relay.connect(kind);
            ASSERT_TRUE(e.client && e.server) << name_of(kind);
            const int client = e.client.get();
            std::thread uploader([&] {
                if (!vt::send_all(client, head)) return;
                for (size_t sent = 0; sent < (64u << 20); sent += chunk.size()) {
                    if (!vt::send_all(client, chunk)) return;
                }
            });
            std::string seen;
            ASSERT_TRUE(receive_exactly(e.server.get(), head.size(), &seen)) << name_of(kind);
            ASSERT_TRUE(vt::send_all(e.server.get(), answer));
            e.server.reset();  // with the upload unread
            const Received got = receive_until_the_end(client);
            ::shutdown(client, SHUT_RDWR);  // a blocked upload ends too
            uploader.join();
            EXPECT_NE(got.end, -1) << name_of(kind) << ": the connection never ended";
            if (got.bytes == answer) ++answered;
        }
        EXPECT_EQ(answered, kTries) << name_of(kind);
    }
}

// One side resets the connection after part of its stream: the other side
// gets every byte of that part, then the reset, as it would connected
// directly, and not a clean end that would pass a cut-off stream for a whole
// one. The part is all with the relay before the reset, and the reader reads
// only after it, so the relay must still pass on what it holds. A Unix
// socket has no reset of its own: a Unix peer sees the end after the part.
TEST(RelayLikeDirect, AResetArrivesAsAResetAfterEveryByteBeforeIt) {
    BothWays relay;
    ASSERT_TRUE(relay.relay);
    struct Case {
        const char* name;
        Listener kind;
        bool server_resets;
        bool reader_sees_reset;
        size_t part;  // what the relay can hold while nobody reads
    };
    const Case cases[] = {
        {"the Unix server resets, the TCP client reads", Listener::tcp, true, true, 1 << 20},
        {"the Unix client resets, the TCP server reads", Listener::unix_socket, false, true,
         1 << 20},
        {"the TCP server resets, the Unix client reads", Listener::unix_socket, true, false,
         160 << 10},
        {"the TCP client resets, the Unix server reads", Listener::tcp, false, false, 160 << 10},
    };
    for (const auto& c : cases) {
        const std::string part = vt::pattern(c.part, 6);
        Endpoints e = relay.connect(c.kind);
        ASSERT_TRUE(e.client && e.server) << c.name;
        UniqueFd& resetter = c.server_resets ? e.server : e.client;
        UniqueFd& reader = c.server_resets ? e.client : e.server;
        // A Unix socket resets its peer by closing with bytes left unread.
        ASSERT_TRUE(vt::send_all(reader.get(), "left unread"));
        pollfd p{resetter.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1) << c.name;
        ASSERT_TRUE(vt::send_all(resetter.get(), part)) << c.name;
        ASSERT_TRUE(wait_until_taken(resetter.get())) << c.name;
        if (family_of(resetter.get()) != AF_UNIX) {
            const linger abort_on_close{1, 0};
            ::setsockopt(resetter.get(), SOL_SOCKET, SO_LINGER, &abort_on_close,
                         sizeof abort_on_close);
        }
        resetter.reset();
        const Received got = receive_until_the_end(reader.get());
        EXPECT_EQ(got.bytes.size(), part.size()) << c.name;
        EXPECT_TRUE(got.bytes == part) << c.name;
        if (c.reader_sees_reset) {
            EXPECT_EQ(got.end, ECONNRESET) << c.name << ": " << std::strerror(got.end);
        } else {
            EXPECT_NE(got.end, -1) << c.name << ": the stream never ended";
        }
    }
    EXPECT_EQ(log_of(relay.env), "");
}

// Sends data from offset on, on a non-blocking fd, until nothing more is
// taken for half a second: every buffer on the way is full. Returns the
// new offset.
size_t fill_until_stalled(int fd, const std::string& data, size_t offset) {
    for (;;) {
        const size_t n = std::min<size_t>(64 << 10, data.size() - offset);
        if (n == 0) return offset;
        const ssize_t sent = ::send(fd, data.data() + offset, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            offset += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EINTR) return offset;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 500) == 0) return offset;
    }
}

// The reset comes while both directions are stalled: the relay is sending
// to the side that resets and takes the reset there, and the direction that
// receives from that side then finds only the end of its stream. It must
// still pass the end on as a reset, after every byte that came before.
TEST(RelayLikeDirect, AResetTakenWhileSendingStillArrivesAsAReset) {
    BothWays relay;
    ASSERT_TRUE(relay.relay);
    const std::string upload = vt::pattern(32 << 20, 7);
    const std::string answer = vt::pattern(32 << 20, 8);
    struct Case {
        const char* name;
        Listener kind;
        bool server_resets;
    };
    const Case cases[] = {
        {"the Unix server resets, the TCP client reads", Listener::tcp, true},
        {"the Unix client resets, the TCP server reads", Listener::unix_socket, false},
    };
    for (const auto& c : cases) {
        Endpoints e = relay.connect(c.kind);
        ASSERT_TRUE(e.client && e.server) << c.name;
        UniqueFd& resetter = c.server_resets ? e.server : e.client;
        UniqueFd& reader = c.server_resets ? e.client : e.server;
        // Neither reads: the relay's sends toward both get stuck.
        const size_t uploaded = fill_until_stalled(reader.get(), upload, 0);
        ASSERT_LT(uploaded, upload.size()) << c.name;
        const size_t sent = fill_until_stalled(resetter.get(), answer, 0);
        ASSERT_LT(sent, answer.size()) << c.name;
        resetter.reset();  // with bytes left unread: a reset
        const Received got = receive_until_the_end(reader.get());
        EXPECT_EQ(got.bytes.size(), sent) << c.name;
        EXPECT_TRUE(std::string_view(got.bytes) == std::string_view(answer).substr(0, sent))
            << c.name;
        EXPECT_EQ(got.end, ECONNRESET) << c.name << ": " << std::strerror(got.end);
    }
}

long status_kib(pid_t pid, const std::string& field) {
    std::istringstream in(text_of(proc(pid, "status")));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// Whether a connection through the relay echoes a byte, or is closed
// without one.
enum class Echo { echoed, closed, silent };

Echo echo_once(int fd) {
    if (!vt::send_all(fd, "x")) return Echo::closed;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return Echo::silent;
    char byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 1 && byte == 'x' ? Echo::echoed : Echo::closed;
}

// With the relay's address space capped, a connection whose thread or
// buffers cannot be had is closed with one line in the relay log; the relay,
// its other connections and its listener go on, and once memory is free
// again new connections are served. With a little room the buffers or the
// threads' stacks run short; with none, any allocation.
TEST(RelayLikeDirect, UnderAnAddressSpaceCapConnectionsAreRefusedOneByOne) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's runtime maps memory of its own for every thread and
    // treats a failure as fatal: the cap would test the runtime.
    GTEST_SKIP() << "the sanitizer runtime cannot run under an address-space cap";
#endif
    // The emulator maps guest and host memory in one process, and aborts when
    // its own allocations fail.
#ifdef VORN_TEST_EMULATOR
    GTEST_SKIP() << "the emulator cannot run under an address-space cap";
#endif
    if (vt::under_emulation()) GTEST_SKIP() << "the emulator cannot run under an address-space cap";
    vt::TestEnv env;
    const std::string target = env.path("host.sock");
    EchoServer echo(target);
    const uint16_t port = vt::free_port();
    Relay relay = tcp_relay(env, port, target);
    ASSERT_TRUE(relay);
    const auto idle = idle_state(relay, tcp_loops());
    ASSERT_TRUE(idle);
    rlimit uncapped{};
    ASSERT_EQ(::prlimit(relay.pid(), RLIMIT_AS, nullptr, &uncapped), 0);
    const std::regex line_form(
        "cannot (start a thread|allocate a buffer) \\([A-Za-z ]+ \\(os error [0-9]+\\)\\)");
    auto log_lines = [&] {
        std::istringstream in(log_of(env));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    };

    int refused = 0;
    // Room for a few more connections (two small thread stacks and two
    // 64 KiB buffers each) but not for forty; then no room at all.
    for (const long room_kib : {1024L, 0L}) {
        // Connections made before the cap, which must live through it.
        std::vector<UniqueFd> before;
        for (int i = 0; i < 3; ++i) {
            before.push_back(vt::tcp_connect(AF_INET, port));
            ASSERT_EQ(echo_once(before.back().get()), Echo::echoed);
        }
        const long size_kib = status_kib(relay.pid(), "VmSize");
        ASSERT_GT(size_kib, 0);
        const auto bytes = static_cast<rlim_t>(size_kib + room_kib) * 1024;
        const rlimit cap{bytes, uncapped.rlim_max};
        ASSERT_EQ(::prlimit(relay.pid(), RLIMIT_AS, &cap, nullptr), 0) << std::strerror(errno);

        std::vector<UniqueFd> under_cap;
        int closed = 0;
        for (int i = 0; i < 40; ++i) {
            under_cap.push_back(vt::tcp_connect(AF_INET, port));
            ASSERT_TRUE(under_cap.back());
            const Echo e = echo_once(under_cap.back().get());
            ASSERT_NE(e, Echo::silent) << room_kib << " KiB: connection " << i << " hangs";
            closed += e == Echo::closed;
        }
        EXPECT_GT(closed, 0) << room_kib << " KiB";
        ASSERT_TRUE(vt::process_alive(relay.pid())) << room_kib << " KiB";
        for (auto& fd : before) EXPECT_EQ(echo_once(fd.get()), Echo::echoed) << room_kib << " KiB";

        // One line for each connection refused, naming what could not be had.
        refused += closed;
        std::vector<std::string> lines;
        EXPECT_TRUE(vt::wait_until([&] {
            lines = log_lines();
            return static_cast<int>(lines.size()) >= refused;
        }));
        EXPECT_EQ(static_cast<int>(lines.size()), refused) << room_kib << " KiB\n" << log_of(env);
        for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, line_form)) << line;

        // Once the connections have ended, their memory serves new ones,
        // under the same cap.
        under_cap.clear();
        before.clear();
        ASSERT_TRUE(back_to_idle(relay, *idle)) << room_kib << " KiB";
        for (int i = 0; i < 3; ++i) {
            UniqueFd again = vt::tcp_connect(AF_INET, port);
            ASSERT_TRUE(again);
            EXPECT_EQ(echo_once(again.get()), Echo::echoed) << room_kib << " KiB: " << i;
        }
        EXPECT_EQ(static_cast<int>(log_lines().size()), refused) << log_of(env);
        ASSERT_EQ(::prlimit(relay.pid(), RLIMIT_AS, &uncapped, nullptr), 0);
    }
}
}  // namespace

// ---------------------------------------------------------------------------
// The rules of a direction hold whether its flow is light (one piece at a
// time) or heavy (more ready than one receive takes, moved in bulk), from
// either kind of source to either kind of destination.

namespace {

enum class Rule {
    clean_end,
    server_ends_first,
    server_resets,
    client_resets,
    early_answer,
    reader_vanishes
};

const char* name_of(Rule rule) {
    switch (rule) {
        case Rule::clean_end:
            return "clean end";
        case Rule::server_ends_first:
            return "the server ends first";
        case Rule::server_resets:
            return "the server resets";
        case Rule::client_resets:
            return "the client resets";
        case Rule::early_answer:
            return "an answer before the upload is read";
        case Rule::reader_vanishes:
            return "the client vanishes while the server sends";
    }
    return "";
}

// Sends data on fd from a thread of its own while the caller reads.
struct Sender {
    Sender(int fd, const std::string& data, bool end)
        : thread([fd, &data, end, this] {
              ok = vt::send_all(fd, data);
              if (end) ::shutdown(fd, SHUT_WR);
          }) {}
    ~Sender() { thread.join(); }
    std::atomic<bool> ok{false};
    std::thread thread;
};

// Sends data from one end and ends that direction; the other end must get
// every byte and then the end of the stream.
void passes_whole(int from, int to, const std::string& data, const std::string& what) {
    Sender sender(from, data, true);
    const Received got = receive_until_the_end(to);
    EXPECT_EQ(got.bytes.size(), data.size()) << what;
    EXPECT_TRUE(got.bytes == data && got.end == 0) << what;
}

// The resetter ends with a reset: a TCP socket by closing with SO_LINGER 0,
// a Unix socket by closing with bytes left unread, which the reader sent it.
void reset_after(UniqueFd& resetter, int reader, const std::string& data) {
    if (family_of(resetter.get()) == AF_UNIX) {
        ASSERT_TRUE(vt::send_all(reader, "left unread"));
        pollfd p{resetter.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1);
    }
    ASSERT_TRUE(vt::send_all(resetter.get(), data));
    ASSERT_TRUE(wait_until_taken(resetter.get()));
    if (family_of(resetter.get()) != AF_UNIX) {
        const linger abort_on_close{1, 0};
        ::setsockopt(resetter.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    }
    resetter.reset();
}

}  // namespace

TEST(RelayPump, EveryRuleHoldsForLightAndHeavyFlowsBothWays) {
    BothWays relay;
    ASSERT_TRUE(relay.relay);
    const auto idle = idle_state(relay.relay, tcp_loops() + 1);
    ASSERT_TRUE(idle);
    const Rule rules[] = {Rule::clean_end,     Rule::server_ends_first, Rule::server_resets,
                          Rule::client_resets, Rule::early_answer,      Rule::reader_vanishes};
    for (const Listener kind : {Listener::tcp, Listener::unix_socket}) {
        for (const size_t size : {size_t{1000}, size_t{6} << 20}) {
            for (const Rule rule : rules) {
                const std::string what = std::string(name_of(kind)) + ", " + std::to_string(size) +
                                         " bytes, " + name_of(rule);
                const std::string request = vt::pattern(size, 11);
                const std::string answer = vt::pattern(size + 1, 12);
                Endpoints e = relay.connect(kind);
                ASSERT_TRUE(e.client && e.server) << what;
                switch (rule) {
                    case Rule::clean_end:
                        passes_whole(e.client.get(), e.server.get(), request, what);
                        passes_whole(e.server.get(), e.client.get(), answer, what);
                        break;
                    case Rule::server_ends_first:
                        passes_whole(e.server.get(), e.client.get(), answer, what);
                        passes_whole(e.client.get(), e.server.get(), request, what);
                        break;
                    case Rule::server_resets:
                    case Rule::client_resets: {
                        const bool server = rule == Rule::server_resets;
                        UniqueFd& resetter = server ? e.server : e.client;
                        UniqueFd& reader = server ? e.client : e.server;
                        const std::string& data = server ? answer : request;
                        Received got;
                        std::thread read([&] { got = receive_until_the_end(reader.get()); });
                        reset_after(resetter, reader.get(), data);
                        read.join();
                        EXPECT_EQ(got.bytes.size(), data.size()) << what;
                        EXPECT_TRUE(got.bytes == data) << what;
                        if (family_of(reader.get()) == AF_UNIX) {
                            EXPECT_NE(got.end, -1) << what << ": the stream never ended";
                        } else {
                            EXPECT_EQ(got.end, ECONNRESET)
                                << what << ": " << std::strerror(got.end);
                        }
                        break;
                    }
                    case Rule::early_answer: {
                        // The upload goes on until it fails; the server has read
                        // only its first piece when it answers and leaves.
                        const std::string upload = vt::pattern(64 << 20, 13);
                        const int client = e.client.get();
                        std::thread uploader([&] { (void)vt::send_all(client, upload); });
                        std::string head;
                        ASSERT_TRUE(receive_exactly(e.server.get(), 100, &head)) << what;
                        Received got;
                        std::thread reader([&] { got = receive_until_the_end(client); });
                        EXPECT_TRUE(vt::send_all(e.server.get(), answer)) << what;
                        // A TCP socket closed with bytes unread drops what it
                        // has not sent yet, as it would to a direct peer.
                        EXPECT_TRUE(wait_until_taken(e.server.get())) << what;
                        e.server.reset();
                        reader.join();
                        ::shutdown(client, SHUT_RDWR);  // a blocked upload ends too
                        uploader.join();
                        EXPECT_TRUE(got.bytes == answer) << what << ": " << got.bytes.size();
                        EXPECT_NE(got.end, -1) << what << ": the connection never ended";
                        break;
                    }
                    case Rule::reader_vanishes: {
                        // The server's sends fail once the relay can pass nothing
                        // on; they must not block for ever.
                        const std::string endless = vt::pattern(64 << 20, 14);
                        std::atomic<bool> sent_all{true};
                        const int server = e.server.get();
                        std::thread sender([&] { sent_all = vt::send_all(server, endless); });
                        std::string first;
                        ASSERT_TRUE(
                            receive_exactly(e.client.get(), std::min(size, size_t{65536}), &first))
                            << what;
                        e.client.reset();
                        const bool ended = vt::wait_until([&] { return !sent_all; }, 20s);
                        if (!ended) ::shutdown(server, SHUT_RDWR);
                        sender.join();
                        EXPECT_TRUE(ended) << what << ": the server's sends never failed";
                        break;
                    }
                }
            }
        }
    }
    // Every connection is gone from the relay, and nothing it borrowed for a
    // heavy flow stays behind.
    EXPECT_TRUE(back_to_idle(relay.relay, *idle))
        << relay.relay.descriptors() << " descriptors (" << idle->descriptors << " idle), "
        << relay.relay.threads() << " threads (" << idle->threads << " idle)";
    EXPECT_EQ(log_of(relay.env), "");
}

// Thousands of connections held open at once cost the relay two descriptors
// each (its two sockets) and nothing else, and all of it is given back when
// they end.
TEST(RelayLoad, ThousandsOfIdleConnectionsCostTwoDescriptorsEach) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    // This process holds both ends of every connection; the relay, which
    // takes its hard limit, holds two descriptors for each.
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    const long room = static_cast<long>(std::min<rlim_t>(limit.rlim_max, 1 << 20)) - 200;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's runtime maps memory of its own for every thread, and runs
    // out long before the relay would; so, slowly, does the emulator.
    const long wanted = 400;
#else
    const long wanted = vt::under_emulation() ? 400 : 3000;
#endif
    const int count = static_cast<int>(std::min(wanted, room / 2));
    ASSERT_GE(count, 200) << "the descriptor limit is too low for this test";

    vt::TestEnv env;
    const std::string target = env.path("host.sock");
    UniqueFd server = vt::unix_listen(target);
    ASSERT_TRUE(server);
    const uint16_t port = vt::free_port();
    Relay relay = tcp_relay(env, port, target);
    ASSERT_TRUE(relay);
    const auto idle = idle_state(relay, tcp_loops());
    ASSERT_TRUE(idle);

    std::vector<Endpoints> held;
    held.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Endpoints e{vt::tcp_connect(AF_INET, port), {}};
        e.server = vt::accept_within(server.get());
        ASSERT_TRUE(e.client && e.server) << "connection " << i;
        held.push_back(std::move(e));
    }
    // One round trip on each: both directions of every connection are under
    // way, each waiting for its next byte.
    for (auto& e : held) {
        char byte = 0;
        ASSERT_TRUE(vt::send_all(e.client.get(), "q"));
        ASSERT_EQ(::recv(e.server.get(), &byte, 1, MSG_WAITALL), 1);
        ASSERT_TRUE(vt::send_all(e.server.get(), "a"));
        ASSERT_EQ(::recv(e.client.get(), &byte, 1, MSG_WAITALL), 1);
    }
    EXPECT_EQ(relay.descriptors(), idle->descriptors + 2 * count);
    EXPECT_EQ(relay.threads(), idle->threads + 2 * count);
    int sockets = 0;
    for (const auto& entry : std::filesystem::directory_iterator(proc(relay.pid(), "fd"))) {
        sockets += vt::link_target(entry.path()).value_or("").starts_with("socket:");
    }
    EXPECT_GE(sockets, 2 * count);

    held.clear();
    EXPECT_TRUE(back_to_idle(relay, *idle))
        << relay.descriptors() << " descriptors (" << idle->descriptors << " idle), "
        << relay.threads() << " threads (" << idle->threads << " idle)";
    EXPECT_EQ(log_of(env), "");
}
