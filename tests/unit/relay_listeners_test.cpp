#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "relay/listeners.h"
#include "support/sockets.h"
#include "support/test_env.h"

using namespace std::chrono_literals;

namespace vorn {
namespace {

bool is_cloexec(int fd) {
    return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

bool is_socket(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool machine_has_ipv6() {
    return static_cast<bool>(vt::tcp_listen(AF_INET6, 0));
}

std::string taken_message(uint16_t port) {
    return "cannot listen on 127.0.0.1:" + std::to_string(port) +
           " (Address already in use (os error 98)). Something in the image already uses that "
           "port.";
}

TEST(SetUpListeners, TakenPortStopsWithTheMessageAndClosesWhatWasMade) {
    vt::TempDir dir;
    vt::UniqueFd taken = vt::tcp_listen(AF_INET, 0);
    ASSERT_TRUE(taken);
    const uint16_t busy = vt::local_port(taken.get());
    const uint16_t free = vt::free_port();
    const uint16_t twice = vt::free_port();

    struct Case {
        const char* name;
        std::vector<TcpSpec> tcp;
        std::vector<UnixSpec> unix_specs;
        uint16_t failing_port;
    };
    const Case cases[] = {
        {"port in use", {{busy, dir / "a.sock"}}, {}, busy},
        {"in use after a good one", {{free, dir / "a.sock"}, {busy, dir / "b.sock"}}, {}, busy},
        {"same port twice", {{twice, dir / "a.sock"}, {twice, dir / "b.sock"}}, {}, twice},
        {"before the unix specs", {{busy, dir / "a.sock"}}, {{dir / "never.sock", 1}}, busy},
    };
    for (const auto& c : cases) {
        auto set = set_up_listeners(c.tcp, c.unix_specs);
        ASSERT_FALSE(set.has_value()) << c.name;
        EXPECT_EQ(set.error(), taken_message(c.failing_port)) << c.name;
        // Everything made before the failure is closed again: the ports can be
        // bound afresh and no socket file was made for the unix spec.
        for (const auto& spec : c.tcp) {
            if (spec.port == busy) continue;
            EXPECT_TRUE(vt::tcp_listen(AF_INET, spec.port)) << c.name;
            if (machine_has_ipv6()) {
                EXPECT_TRUE(vt::tcp_listen(AF_INET6, spec.port)) << c.name;
            }
        }
        EXPECT_FALSE(vt::path_exists(dir / "never.sock")) << c.name;
    }
}

TEST(SetUpListeners, UnixFailuresNameTheFolderOrPath) {
    vt::TempDir dir;
    vt::write_file(dir / "file", "precious");
    const std::string long_path = dir.path() + "/" + std::string(120, 'x') + ".sock";
    const uint16_t port = vt::free_port();

    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {dir / "file/sub/c.sock",
         "cannot create " + dir.path() + "/file/sub (Not a directory (os error 20))"},
        {long_path, "cannot listen on " + long_path + " (File name too long (os error 36))"},
        // A regular file where the socket should go is kept, and named as
        // what is in the way.
        {dir / "file", "cannot listen on " + dir.path() + "/file (File exists (os error 17))"},
        {"", "cannot listen on  (No such file or directory (os error 2))"},
        // Control characters are shown escaped, so the message stays one line.
        {dir / "file/a\nb/c.sock",
         "cannot create " + dir.path() + "/file/a\\nb (Not a directory (os error 20))"},
    };
    for (const auto& c : cases) {
        // A TCP listener made first must be closed by the failure.
        const std::vector<TcpSpec> tcp = {{port, dir / "t.sock"}};
        const std::vector<UnixSpec> unix_specs = {{dir / "first.sock", 1}, {c.path, 2}};
        auto set = set_up_listeners(tcp, unix_specs);
        ASSERT_FALSE(set.has_value()) << c.path;
        EXPECT_EQ(set.error(), c.message);
        EXPECT_TRUE(vt::tcp_listen(AF_INET, port)) << c.path;
        EXPECT_FALSE(vt::unix_connect(dir / "first.sock")) << c.path;
    }
    EXPECT_EQ(vt::read_file(dir / "file"), "precious");
}

TEST(SetUpListeners, MakesEveryListenerInOrderCloseOnExec) {
    vt::TempDir dir;
    const uint16_t p1 = vt::free_port();
    const uint16_t p2 = vt::free_port();
    ASSERT_NE(p1, p2);
    // A socket left behind by an earlier relay is replaced.
    const std::string stale = dir / "stale.sock";
    ASSERT_TRUE(vt::unix_listen(stale));
    ASSERT_TRUE(is_socket(stale));

    const std::vector<TcpSpec> tcp = {{p1, "/target/one"}, {p2, "two"}};
    const std::vector<UnixSpec> unix_specs = {{dir / "a/b/c.sock", 80}, {stale, 443}};
    const mode_t mask = ::umask(022);
    ::umask(mask);
    auto set = set_up_listeners(tcp, unix_specs);
    ASSERT_TRUE(set.has_value()) << set.error();

    ASSERT_EQ(set->tcp.size(), 2u);
    EXPECT_EQ(set->tcp[0].target_path, "/target/one");
    EXPECT_EQ(set->tcp[0].port, p1);
    EXPECT_EQ(set->tcp[1].target_path, "two");
    EXPECT_EQ(set->tcp[1].port, p2);
    for (const auto& listener : set->tcp) {
        ASSERT_EQ(listener.sockets.size(), machine_has_ipv6() ? 2u : 1u);
        EXPECT_TRUE(vt::tcp_connect(AF_INET, listener.port));
        if (machine_has_ipv6()) {
            EXPECT_TRUE(vt::tcp_connect(AF_INET6, listener.port));
        }
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        ::getsockname(listener.sockets[0].get(), reinterpret_cast<sockaddr*>(&addr), &len);
        EXPECT_EQ(addr.ss_family, AF_INET);
        for (const auto& socket : listener.sockets) {
            EXPECT_TRUE(is_cloexec(socket.get()));
            EXPECT_EQ(vt::local_port(socket.get()), listener.port);
        }
    }

    ASSERT_EQ(set->unix_listeners.size(), 2u);
    EXPECT_EQ(set->unix_listeners[0].path, dir / "a/b/c.sock");
    EXPECT_EQ(set->unix_listeners[0].target_port, 80);
    EXPECT_EQ(set->unix_listeners[1].path, stale);
    EXPECT_EQ(set->unix_listeners[1].target_port, 443);
    for (const char* folder : {"a", "a/b"}) {
        struct stat st;
        ASSERT_EQ(::stat((dir / folder).c_str(), &st), 0) << folder;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask) << folder;
    }
    for (const auto& listener : set->unix_listeners) {
        EXPECT_TRUE(is_cloexec(listener.socket.get()));
        vt::UniqueFd client = vt::unix_connect(listener.path);
        ASSERT_TRUE(client) << listener.path;
        EXPECT_TRUE(vt::accept_within(listener.socket.get(), 5s)) << listener.path;
    }

    // Dropping the set closes every socket.
    set = ListenerSet{};
    EXPECT_TRUE(vt::tcp_listen(AF_INET, p1));
    EXPECT_FALSE(vt::unix_connect(dir / "a/b/c.sock"));
}

TEST(SetUpListeners, RelativePathIsTakenInTheCurrentFolder) {
    vt::TempDir dir;
    vorn::UniqueFd back(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(back);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    const std::vector<UnixSpec> specs = {{"c.sock", 1}, {"sub/d.sock", 2}};
    auto set = set_up_listeners({}, specs);
    ASSERT_EQ(::fchdir(back.get()), 0);
    ASSERT_TRUE(set.has_value()) << set.error();
    EXPECT_TRUE(is_socket(dir / "c.sock"));
    EXPECT_TRUE(is_socket(dir / "sub/d.sock"));
}

}  // namespace
}  // namespace vorn
