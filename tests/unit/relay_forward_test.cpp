#include "relay/forward.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "relay/relay_log.h"
#include "relay/threads.h"
#include "support/sockets.h"
#include "support/test_env.h"
#include "support/wait.h"

using namespace std::chrono_literals;

namespace vorn {
namespace {

struct Pair {
    UniqueFd test_end;
    UniqueFd relay_end;
};

Pair socket_pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// A relay-side job on a relay thread (with the relay's small stack), so that
// the stack size is exercised by every test here.
class OnRelayThread {
  public:
    template <typename Body>
    explicit OnRelayThread(Body body) {
        auto started = start_relay_thread(
            [body = std::move(body), done = done_]() mutable {
                body();
                done->store(true);
            },
            ThreadKind::joinable);
        EXPECT_TRUE(started.has_value());
        if (started) thread_ = *started;
    }
    ~OnRelayThread() {
        if (thread_) ::pthread_join(*thread_, nullptr);
    }
    bool finishes() const {
        return vt::wait_until([&] { return done_->load(); }, std::chrono::seconds(10));
    }

  private:
    std::shared_ptr<std::atomic<bool>> done_ = std::make_shared<std::atomic<bool>>(false);
    std::optional<pthread_t> thread_;
};

// A worker of the relay's own kind for one connection: its answer thread
// ends when the worker goes, at the end of the relay-side job.
std::unique_ptr<ConnectionWorker> new_worker() {
    auto worker = ConnectionWorker::create();
    EXPECT_TRUE(worker.has_value());
    return worker ? std::move(*worker) : nullptr;
}

// A connection as the accept loop of kind hands it over.
void handle(ListenerKind kind, UniqueFd connection, const std::string& path, uint16_t port,
            ConnectionWorker& worker) {
    if (kind == ListenerKind::tcp) {
        handle_tcp_connection(std::move(connection), path, port, worker);
    } else {
        handle_unix_connection(std::move(connection), path, port, worker);
    }
}

class RelayLogFile {
  public:
    RelayLogFile() {
        set_up_relay_log(
            UniqueFd(::open(path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)));
    }
    ~RelayLogFile() { set_up_relay_log(UniqueFd()); }
    std::string path() const { return dir_ / "relay.log"; }
    std::string text() const { return vt::read_file(path()); }

  private:
    vt::TempDir dir_;
};

TEST(Forward, HalfCloseLetsTheAnswerThroughAndEveryDescriptorCloses) {
    Pair client = socket_pair();
    Pair target = socket_pair();
    const int open_before = vt::count_entries("/proc/self/fd");
    {
        OnRelayThread relay(
            [c = std::move(client.relay_end), t = std::move(target.relay_end),
             w = new_worker()]() mutable { forward(std::move(c), std::move(t), *w); });
        ASSERT_TRUE(vt::send_all(client.test_end.get(), "GET / HTTP/1.0\r\n\r\n"));
        ::shutdown(client.test_end.get(), SHUT_WR);
        EXPECT_EQ(vt::read_to_end(target.test_end.get()), "GET / HTTP/1.0\r\n\r\n");
        // The request direction has ended; the answer still flows.
        ASSERT_TRUE(vt::send_all(target.test_end.get(), "HTTP/1.0 200 OK\r\n\r\nhello"));
        target.test_end.reset();
        EXPECT_EQ(vt::read_to_end(client.test_end.get()), "HTTP/1.0 200 OK\r\n\r\nhello");
        EXPECT_TRUE(relay.finishes());
    }
    // The relay's two ends and their two duplicates are gone; the test still
    // holds its client end, and has closed its target end.
    EXPECT_EQ(vt::count_entries("/proc/self/fd"), open_before - 3);
}

TEST(Forward, CarriesMegabytesBothWaysAtOnce) {
    Pair client = socket_pair();
    Pair target = socket_pair();
    OnRelayThread relay([c = std::move(client.relay_end), t = std::move(target.relay_end),
                         w = new_worker()]() mutable { forward(std::move(c), std::move(t), *w); });
    const std::string request = vt::pattern(3 << 20, 1);
    const std::string answer = vt::pattern(5 << 20, 2);
    auto writer = [](int fd, const std::string& data) {
        return std::thread([fd, &data] {
            EXPECT_TRUE(vt::send_all(fd, data));
            ::shutdown(fd, SHUT_WR);
        });
    };
    std::thread w1 = writer(client.test_end.get(), request);
    std::thread w2 = writer(target.test_end.get(), answer);
    std::optional<std::string> at_target;
    std::thread r1([&] { at_target = vt::read_to_end(target.test_end.get(), 30s); });
    const auto at_client = vt::read_to_end(client.test_end.get(), 30s);
    r1.join();
    w1.join();
    w2.join();
    ASSERT_TRUE(at_target && at_client);
    EXPECT_EQ(at_target->size(), request.size());
    EXPECT_EQ(vt::fnv1a(*at_target), vt::fnv1a(request));
    EXPECT_EQ(at_client->size(), answer.size());
    EXPECT_EQ(vt::fnv1a(*at_client), vt::fnv1a(answer));
    EXPECT_TRUE(relay.finishes());
}

TEST(Forward, AResetTargetEndsBothDirections) {
    vt::UniqueFd listener = vt::tcp_listen(AF_INET, 0);
    ASSERT_TRUE(listener);
    vt::UniqueFd target_test = vt::tcp_connect(AF_INET, vt::local_port(listener.get()));
    vt::UniqueFd target_relay = vt::accept_within(listener.get());
    ASSERT_TRUE(target_test && target_relay);
    Pair client = socket_pair();
    OnRelayThread relay([c = std::move(client.relay_end), t = std::move(target_relay),
                         w = new_worker()]() mutable { forward(std::move(c), std::move(t), *w); });
    ASSERT_TRUE(vt::send_all(client.test_end.get(), "ping"));
    char buf[4];
    ASSERT_EQ(::recv(target_test.get(), buf, sizeof buf, MSG_WAITALL), 4);
    const linger abort_on_close{1, 0};
    ::setsockopt(target_test.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    target_test.reset();  // sends a reset
    // The client is cut off although it never ended its own direction.
    EXPECT_TRUE(vt::sees_end(client.test_end.get()));
    EXPECT_TRUE(relay.finishes());
}

TEST(Forward, AClientThatVanishesEndsTheAnswerWithoutASignal) {
    Pair client = socket_pair();
    Pair target = socket_pair();
    OnRelayThread relay([c = std::move(client.relay_end), t = std::move(target.relay_end),
                         w = new_worker()]() mutable { forward(std::move(c), std::move(t), *w); });
    client.test_end.reset();
    EXPECT_TRUE(vt::sees_end(target.test_end.get()));
    // Sending to the vanished client fails inside the relay; it must neither
    // raise SIGPIPE (which would end this process) nor hang.
    const std::string answer = vt::pattern(1 << 20, 3);
    const int target_fd = target.test_end.get();
    std::thread writer([&] { (void)vt::send_all(target_fd, answer); });
    EXPECT_TRUE(relay.finishes());
    // Should the relay hang, the writer must not hang the test as well.
    ::shutdown(target_fd, SHUT_RDWR);
    writer.join();
}

TEST(ConnectionHandlers, UnreachableTargetsAreLoggedAndTheClientClosed) {
    vt::TempDir dir;
    const uint16_t closed_port = vt::free_port();
    const std::string long_path = dir.path() + "/" + std::string(110, 'y');
    struct Case {
        ListenerKind kind;
        std::string path;
        uint16_t port;
        std::string line;
    };
    const Case cases[] = {
        {ListenerKind::tcp, dir / "missing.sock", 8080,
         "port 8080: cannot reach " + dir.path() +
             "/missing.sock (No such file or directory (os error 2))"},
        {ListenerKind::tcp, long_path, 1,
         "port 1: cannot reach " + long_path + " (File name too long (os error 36))"},
        {ListenerKind::tcp, dir / "tab\there", 2,
         "port 2: cannot reach " + dir.path() +
             "/tab\\there (No such file or directory (os "
             "error 2))"},
        {ListenerKind::unix_socket, "/run/app.sock", closed_port,
         "/run/app.sock: nothing listens on 127.0.0.1:" + std::to_string(closed_port) +
             " yet (Connection refused (os error 111))"},
    };
    for (const auto& c : cases) {
        RelayLogFile log;
        Pair client = socket_pair();
        {
            OnRelayThread relay(
                [&c, connection = std::move(client.relay_end), w = new_worker()]() mutable {
                    handle(c.kind, std::move(connection), c.path, c.port, *w);
                });
            EXPECT_TRUE(relay.finishes()) << c.line;
        }
        EXPECT_TRUE(vt::sees_end(client.test_end.get(), 1s)) << c.line;
        EXPECT_EQ(log.text(), c.line + "\n");
    }
}

TEST(ConnectionHandlers, ReachTheirTargets) {
    vt::TempDir dir;
    RelayLogFile log;
    const std::string target_path = dir / "target.sock";
    vt::UniqueFd unix_server = vt::unix_listen(target_path);
    vt::UniqueFd v4_server = vt::tcp_listen(AF_INET, 0);
    // A server that listens on [::1] only is found by the second attempt.
    const vt::Ipv6OnlyListener v6 = vt::ipv6_only_listener();
    const vt::UniqueFd& v6_server = v6.socket;
    ASSERT_TRUE(unix_server && v4_server);

    struct Case {
        const char* name;
        ListenerKind kind;
        int server;
        std::string path;
        uint16_t port;
    };
    std::vector<Case> cases = {
        {"tcp listener to unix target", ListenerKind::tcp, unix_server.get(), target_path, 9},
        {"unix listener to 127.0.0.1", ListenerKind::unix_socket, v4_server.get(), "/a.sock",
         vt::local_port(v4_server.get())},
    };
    if (v6_server) {
        cases.push_back({"unix listener to [::1]", ListenerKind::unix_socket, v6_server.get(),
                         "/b.sock", vt::local_port(v6_server.get())});
    }
    for (const auto& c : cases) {
        Pair client = socket_pair();
        OnRelayThread relay(
            [&c, connection = std::move(client.relay_end), w = new_worker()]() mutable {
                handle(c.kind, std::move(connection), c.path, c.port, *w);
            });
        vt::UniqueFd served = vt::accept_within(c.server);
        ASSERT_TRUE(served) << c.name;
        ASSERT_TRUE(vt::send_all(client.test_end.get(), c.name));
        ::shutdown(client.test_end.get(), SHUT_WR);
        EXPECT_EQ(vt::read_to_end(served.get()), c.name);
        ASSERT_TRUE(vt::send_all(served.get(), "answer"));
        served.reset();
        EXPECT_EQ(vt::read_to_end(client.test_end.get()), "answer") << c.name;
        EXPECT_TRUE(relay.finishes()) << c.name;
    }
    EXPECT_EQ(log.text(), "");
}

TEST(AcceptFailures, OneLinePerRunOfResourceShortages) {
    struct Case {
        int error;
        bool reported_before;
        bool line;
        bool reported_after;
    };
    const Case cases[] = {
        {EMFILE, false, true, true},       {EMFILE, true, false, true},
        {ENFILE, false, true, true},       {ENOMEM, false, true, true},
        {ENOBUFS, false, true, true},      {ECONNABORTED, false, false, false},
        {ECONNABORTED, true, false, true}, {EPROTO, false, false, false},
    };
    for (const auto& c : cases) {
        RelayLogFile log;
        bool reported = c.reported_before;
        note_accept_failure("/tmp/x.sock", c.error, &reported);
        EXPECT_EQ(reported, c.reported_after) << c.error;
        const std::string expected = c.line ? "/tmp/x.sock: cannot accept a connection (" +
                                                  error_text(Error::system(c.error)) + ")\n"
                                            : "";
        EXPECT_EQ(log.text(), expected) << c.error;
    }
}

}  // namespace
}  // namespace vorn
