#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "relay/listeners.h"
#include "support/process.h"
#include "support/sockets.h"
#include "support/test_env.h"
#include "support/wait.h"

using namespace std::chrono_literals;

namespace vorn {
namespace {

std::string proc_field(pid_t pid, const std::string& file, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            std::string value = line.substr(key.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    }
    return "";
}

// The /proc entry of a descriptor of pid, a link to what it is open on.
std::string fd_entry(pid_t pid, int fd) {
    return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
}

bool read_exact(int fd, void* out, size_t size) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
    return ::read(fd, out, size) == static_cast<ssize_t>(size);
}

bool exchange(int client, int server, const std::string& request, const std::string& answer) {
    if (!vt::send_all(client, request)) return false;
    ::shutdown(client, SHUT_WR);
    if (vt::read_to_end(server) != request) return false;
    if (!vt::send_all(server, answer)) return false;
    ::shutdown(server, SHUT_WR);
    return vt::read_to_end(client) == answer;
}

// The first copy's part, played by a child of the test: make the listeners,
// start the relay, report, end. It blocks a few signals and closes standard
// input first, so that a listening socket lands on descriptor 0, and leaves
// one inherited pipe end open, which the relay must not keep.
[[noreturn]] void play_first_copy(const vt::TempDir& dir, uint16_t tcp_port, uint16_t server_port,
                                  int report) {
    ::close(0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    const std::vector<TcpSpec> tcp = {{tcp_port, dir / "target.sock"}};
    const std::vector<UnixSpec> unix_specs = {{dir / "in/app.sock", server_port}};
    auto set = set_up_listeners(tcp, unix_specs);
    if (!set) ::_exit(2);
    const ino_t inode = vt::socket_inode(set->tcp[0].sockets[0].get());
    const int on_zero = set->tcp[0].sockets[0].get() == 0;
    (void)!::write(report, &inode, sizeof inode);
    (void)!::write(report, &on_zero, sizeof on_zero);
    const int started = start_relay_process(std::move(*set), dir / "home") ? 0 : 1;
    (void)!::write(report, &started, sizeof started);
    ::_exit(0);
}

TEST(RelayProcess, StartsDetachedAndServesItsListeners) {
    // The relay is orphaned when its starter exits; it comes to this process,
    // which reaps it once it has been killed.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    vt::TempDir dir;
    vt::make_dirs(dir / "home");
    vt::write_file(dir / "home/.vorn-entry.log", "from the previous relay\n");
    vt::UniqueFd unix_server = vt::unix_listen(dir / "target.sock");
    vt::UniqueFd tcp_server = vt::tcp_listen(AF_INET, 0);
    ASSERT_TRUE(unix_server && tcp_server);
    const uint16_t tcp_port = vt::free_port();
    int report[2], inherited[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe(inherited), 0);  // not close-on-exec, as a launcher may hand one on
    vt::UniqueFd report_in(report[0]), report_out(report[1]);
    vt::UniqueFd inherited_in(inherited[0]), inherited_out(inherited[1]);
    ::fcntl(inherited_in.get(), F_SETFD, FD_CLOEXEC);

    const pid_t first_copy = ::fork();
    ASSERT_GE(first_copy, 0);
    if (first_copy == 0) {
        inherited_in.reset();
        play_first_copy(dir, tcp_port, vt::local_port(tcp_server.get()), report_out.get());
    }
    vt::track_pid(first_copy);
    report_out.reset();
    inherited_out.reset();
    ino_t inode = 0;
    int on_zero = 0, started = -1;
    ASSERT_TRUE(read_exact(report_in.get(), &inode, sizeof inode));
    ASSERT_TRUE(read_exact(report_in.get(), &on_zero, sizeof on_zero));
    ASSERT_TRUE(read_exact(report_in.get(), &started, sizeof started));
    EXPECT_EQ(started, 0);
    EXPECT_TRUE(on_zero) << "the test no longer puts a listener on descriptor 0";
    int status = 0;
    ASSERT_EQ(::waitpid(first_copy, &status, 0), first_copy);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::vector<pid_t> holders;
    ASSERT_TRUE(vt::wait_until([&] {
        holders = vt::pids_holding(inode);
        return holders.size() == 1;
    }));
    const pid_t relay = holders[0];
    vt::track_pid(relay);
    // It holds the sockets from the fork on; it lets go of the inherited pipe
    // once it has taken its standard streams. (A count of threads tells
    // nothing here: under the thread sanitizer a forked child has the
    // sanitizer's own thread from its first moment.)
    ASSERT_TRUE(vt::sees_end(inherited_in.get()));
    const std::string tasks = "/proc/" + std::to_string(relay) + "/task";

    // Detached: a session of its own (whose leader, the starter, is gone, so
    // that it can never gain a terminal), no terminal, deaf to Ctrl-C and
    // hang-ups.
    EXPECT_NE(::getsid(relay), ::getsid(0));
    EXPECT_NE(::getsid(relay), relay);
    EXPECT_FALSE(vt::process_alive(::getsid(relay)));
    EXPECT_EQ(vt::proc_stat_field(relay, 7), "0");  // no controlling terminal
    const unsigned long ignored =
        std::strtoul(proc_field(relay, "status", "SigIgn").c_str(), nullptr, 16);
    for (int sig : {SIGINT, SIGHUP, SIGPIPE}) {
        EXPECT_TRUE(ignored & (1ul << (sig - 1))) << sig;
    }

    // Standard streams: /dev/null in, the fresh log out; the inherited pipe is let go.
    EXPECT_EQ(vt::link_target(fd_entry(relay, 0)), "/dev/null");
    EXPECT_EQ(vt::link_target(fd_entry(relay, 1)), dir / "home/.vorn-entry.log");
    EXPECT_EQ(vt::link_target(fd_entry(relay, 2)), dir / "home/.vorn-entry.log");
    EXPECT_EQ(vt::read_file(dir / "home/.vorn-entry.log"), "");

    // It serves both ways, also after Ctrl-C and a hang-up.
    ::kill(relay, SIGINT);
    ::kill(relay, SIGHUP);
    for (int family : {AF_INET, AF_INET6}) {
        vt::UniqueFd client = vt::tcp_connect(family, tcp_port);
        if (!client && family == AF_INET6) continue;  // no IPv6 here
        ASSERT_TRUE(client) << family;
        vt::UniqueFd served = vt::accept_within(unix_server.get());
        ASSERT_TRUE(served);
        EXPECT_TRUE(exchange(client.get(), served.get(), "to the unix side", "back"));
    }
    {
        vt::UniqueFd client = vt::unix_connect(dir / "in/app.sock");
        ASSERT_TRUE(client);
        vt::UniqueFd served = vt::accept_within(tcp_server.get());
        ASSERT_TRUE(served);
        EXPECT_TRUE(exchange(client.get(), served.get(), "to the tcp side", "back again"));
    }
    EXPECT_TRUE(vt::process_alive(relay));

    // One thread per listening socket besides the main thread, once the
    // connections are done.
    const int listening = 1 + (vt::tcp_listen(AF_INET6, 0) ? 1 : 0) + 1;
    EXPECT_TRUE(vt::wait_until([&] {
        return vt::count_entries(tasks) == 1 + listening + vt::kRuntimeThreads;
    })) << vt::count_entries(tasks);
    // Nothing the first copy had blocked stays blocked (read once the main
    // thread is done starting threads, which blocks signals for a moment).
    EXPECT_EQ(proc_field(relay, "status", "SigBlk"), "0000000000000000");

    // Failures go to the log.
    unix_server.reset();
    ::unlink((dir / "target.sock").c_str());
    vt::UniqueFd client = vt::tcp_connect(AF_INET, tcp_port);
    ASSERT_TRUE(client);
    EXPECT_TRUE(vt::sees_end(client.get()));
    const std::string line = "port " + std::to_string(tcp_port) + ": cannot reach " + dir.path() +
                             "/target.sock (No such file or directory (os error 2))\n";
    EXPECT_TRUE(vt::wait_until([&] { return vt::read_file(dir / "home/.vorn-entry.log") == line; }))
        << vt::read_file(dir / "home/.vorn-entry.log");

    ::kill(relay, SIGKILL);
    EXPECT_TRUE(vt::wait_until([&] { return !vt::process_alive(relay); }));
    // The listeners go with the last of its threads.
    EXPECT_TRUE(vt::wait_until([&] { return !vt::tcp_connect(AF_INET, tcp_port); }));
}

}  // namespace
}  // namespace vorn
