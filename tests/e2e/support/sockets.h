#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "support/process.h"

namespace vt {

using vorn::UniqueFd;

// Loopback peers for relay tests. Every call that can wait takes a deadline;
// failures return an invalid descriptor (errno tells why) or nullopt.
UniqueFd tcp_listen(int family, uint16_t port);  // port 0: any free port
UniqueFd tcp_connect(int family, uint16_t port);
UniqueFd unix_listen(const std::string& path);
UniqueFd unix_connect(const std::string& path);
uint16_t local_port(int fd);
// A port that nothing on 127.0.0.1 or [::1] listens on, held for this test
// (bound, not listening) so that no test beside it is given the same port.
uint16_t free_port();

// A TCP socket listening on [::1] only, at a port from free_port: a
// connection to 127.0.0.1 there is refused, and no test running beside this
// one can take that side for a listener of its own, which such a connection
// would reach instead. An empty socket when there is no IPv6 loopback.
struct Ipv6OnlyListener {
    UniqueFd socket;
    uint16_t port = 0;
};
Ipv6OnlyListener ipv6_only_listener();
// Waits up to timeout for a connection on listener.
UniqueFd accept_within(int listener, Millis timeout = 10s);

bool send_all(int fd, std::string_view data);
// Everything until the peer's end of stream; nullopt on an error or time-out.
std::optional<std::string> read_to_end(int fd, Millis timeout = 10s);
// True when the peer ends the stream (or resets it) within timeout.
bool sees_end(int fd, Millis timeout = 10s);

// Deterministic bytes, different for each seed.
std::string pattern(size_t size, uint64_t seed);
uint64_t fnv1a(std::string_view data, uint64_t hash = 14695981039346656037ull);

// The inode of a socket descriptor, as /proc/PID/fd shows it.
ino_t socket_inode(int fd);
// The inode of the socket that listens on 127.0.0.1:port (from /proc/net/tcp).
std::optional<ino_t> tcp_listener_inode(uint16_t port);
// Processes that hold the socket with this inode open.
std::vector<pid_t> pids_holding(ino_t inode);
// Threads a process has beyond its own once it has started any: the thread
// sanitizer's runtime then adds two of its own.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kRuntimeThreads = 2;
#else
inline constexpr int kRuntimeThreads = 0;
#endif

// Entries of a /proc folder such as "/proc/123/fd"; -1 when it cannot be read.
int count_entries(const std::string& folder);

}  // namespace vt
