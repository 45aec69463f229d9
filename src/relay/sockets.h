#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <expected>
#include <string>

#include "base/error.h"
#include "base/unique_fd.h"

namespace vorn {

// A TCP socket listening on the loopback address of family (AF_INET for
// 127.0.0.1, AF_INET6 for [::1], the latter IPv6-only so that it never claims
// the IPv4 port), with address reuse and a backlog of 128.
std::expected<UniqueFd, Error> listen_tcp_loopback(int family, uint16_t port);

// A Unix stream socket bound at path, listening with the largest backlog the
// system allows.
std::expected<UniqueFd, Error> listen_unix(const std::string& path);

std::expected<UniqueFd, Error> connect_unix(const std::string& path);
// Connected with TCP_NODELAY (see set_no_delay).
std::expected<UniqueFd, Error> connect_tcp_loopback(int family, uint16_t port);

// Switches off the wait for more bytes before a small send leaves (Nagle's
// algorithm) on a TCP socket. The relay passes on each piece the moment it
// arrives; held back, the second piece of a message waits for the peer's
// delayed acknowledgement, some 40 ms. On any other socket it does nothing.
void set_no_delay(int fd);

}  // namespace vorn
