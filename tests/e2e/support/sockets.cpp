#include "support/sockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "support/test_env.h"

namespace vt {
namespace {

socklen_t loopback(int family, uint16_t port, sockaddr_storage* out) {
    std::memset(out, 0, sizeof *out);
    if (family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(out);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        a->sin6_addr = in6addr_loopback;
        return sizeof *a;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(out);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof *a;
}

socklen_t unix_addr(const std::string& path, sockaddr_un* out) {
    std::memset(out, 0, sizeof *out);
    out->sun_family = AF_UNIX;
    std::memcpy(out->sun_path, path.data(), std::min(path.size(), sizeof out->sun_path - 1));
    return sizeof *out;
}

int poll_for(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

}  // namespace

// A TCP socket bound to the loopback address of family, not listening.
static UniqueFd tcp_bound(int family, uint16_t port) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    const int on = 1;
    if (family == AF_INET6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage addr;
    const socklen_t len = loopback(family, port, &addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return UniqueFd();
    return fd;
}

UniqueFd tcp_listen(int family, uint16_t port) {
    UniqueFd fd = tcp_bound(family, port);
    if (!fd || ::listen(fd.get(), 4096) != 0) return UniqueFd();
    return fd;
}

UniqueFd tcp_connect(int family, uint16_t port) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    sockaddr_storage addr;
    const socklen_t len = loopback(family, port, &addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return UniqueFd();
    return fd;
}

UniqueFd unix_listen(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    sockaddr_un addr;
    const socklen_t len = unix_addr(path, &addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd.get(), 4096) != 0) {
        return UniqueFd();
    }
    return fd;
}

UniqueFd unix_connect(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    sockaddr_un addr;
    const socklen_t len = unix_addr(path, &addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return UniqueFd();
    return fd;
}

uint16_t local_port(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    if (addr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

uint16_t free_port() {
    // Every port handed out stays bound, not listening, on both loopback
    // addresses until the test process ends. The kernel then gives it to no
    // other test running beside this one, for a listener or an outgoing
    // connection, while the program under test and the tests' own servers,
    // which bind with SO_REUSEADDR, can still listen there; and a connection
    // to it is refused while nothing does.
    static std::mutex lock;
    static std::vector<UniqueFd> held;
    for (int attempt = 0; attempt < 100; ++attempt) {
        UniqueFd v4 = tcp_bound(AF_INET, 0);
        if (!v4) continue;
        const uint16_t port = local_port(v4.get());
        UniqueFd v6 = tcp_bound(AF_INET6, port);
        // Taken on [::1]; without IPv6 at all the port is free there.
        if (!v6 && errno == EADDRINUSE) continue;
        std::lock_guard hold(lock);
        held.push_back(std::move(v4));
        if (v6) held.push_back(std::move(v6));
        return port;
    }
    return 0;
}

UniqueFd accept_within(int listener, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (poll_for(listener, POLLIN, deadline) <= 0) return UniqueFd();
    return UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::optional<std::string> read_to_end(int fd, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string out;
    char buf[65536];
    for (;;) {
        if (poll_for(fd, POLLIN, deadline) <= 0) return std::nullopt;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool sees_end(int fd, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    for (;;) {
        if (poll_for(fd, POLLIN, deadline) <= 0) return false;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
    }
}

std::string pattern(size_t size, uint64_t seed) {
    std::string out(size, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<char>(x >> 56);
    }
    return out;
}

uint64_t fnv1a(std::string_view data, uint64_t hash) {
    for (unsigned char c : data) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

ino_t socket_inode(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return 0;
    return st.st_ino;
}

std::optional<ino_t> tcp_listener_inode(uint16_t port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (local == want && state == "0A") return static_cast<ino_t>(inode);
    }
    return std::nullopt;
}

std::vector<pid_t> pids_holding(ino_t inode) {
    std::vector<pid_t> out;
    const std::string needle = "socket:[" + std::to_string(inode) + "]";
    DIR* proc = ::opendir("/proc");
    if (!proc) return out;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0') continue;
        const std::string fd_folder = "/proc/" + std::string(entry->d_name) + "/fd";
        DIR* fds = ::opendir(fd_folder.c_str());
        if (!fds) continue;
        bool holds = false;
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            if (link_target(fd_folder + "/" + fd->d_name) == needle) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (holds) out.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return out;
}

int count_entries(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return -1;
    int n = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++n;
    }
    ::closedir(dir);
    return n;
}

Ipv6OnlyListener ipv6_only_listener() {
    Ipv6OnlyListener out;
    out.port = free_port();
    out.socket = tcp_listen(AF_INET6, out.port);
    return out;
}

}  // namespace vt
