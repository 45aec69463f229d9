// Small helpers shared by the benchmark tools. The tools are load generators
// and sinks: they must cost less than what they measure, so they use large
// buffers and plain blocking calls or one epoll loop.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace bench {

[[noreturn]] inline void die(const std::string& what) {
    const std::string line = "bench: " + what + "\n";
    (void)!::write(2, line.data(), line.size());
    std::_Exit(1);
}

[[noreturn]] inline void die_errno(const std::string& what) {
    die(what + ": " + std::strerror(errno));
}

inline double now_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline int64_t now_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

inline uint64_t parse_count(std::string_view text) {
    if (text.empty()) die("not a number: (empty)");
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') die("not a number: " + std::string(text));
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

// Thousands of connections need thousands of descriptors.
inline void raise_descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

inline sockaddr_un unix_address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) die("socket path too long: " + path);
    std::memcpy(addr.sun_path, path.data(), path.size());
    return addr;
}

inline sockaddr_in loopback_address(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// An address on the command line: tcp:PORT (on 127.0.0.1) or unix:PATH.
struct Address {
    bool tcp = false;
    uint16_t port = 0;
    std::string path;
};

inline Address parse_address(std::string_view text) {
    Address out;
    if (text.starts_with("tcp:")) {
        out.tcp = true;
        const uint64_t port = parse_count(text.substr(4));
        if (port == 0 || port > 65535) die("bad port: " + std::string(text));
        out.port = static_cast<uint16_t>(port);
    } else if (text.starts_with("unix:")) {
        out.path = std::string(text.substr(5));
    } else {
        die("bad address (tcp:PORT or unix:PATH): " + std::string(text));
    }
    return out;
}

// A blocking connection; -1 with errno set when it fails.
inline int try_connect(const Address& to) {
    const int fd = ::socket(to.tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    if (to.tcp) {
        const sockaddr_in addr = loopback_address(to.port);
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } else {
        const sockaddr_un addr = unix_address(to.path);
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    if (rc != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

inline int connect_or_die(const Address& to) {
    const int fd = try_connect(to);
    if (fd < 0)
        die_errno(to.tcp ? "connect to port " + std::to_string(to.port) : "connect to " + to.path);
    return fd;
}

inline void no_delay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

inline void send_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die_errno("send");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Reads exactly size bytes; false at an early end of the stream.
inline bool recv_exact(int fd, char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) die_errno("recv");
        if (n == 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace bench
