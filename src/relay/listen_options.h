#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// --tcp PORT=SOCK: TCP port PORT on loopback leads to the Unix socket SOCK.
struct TcpSpec {
    uint16_t port = 0;
    std::string socket_path;
    bool operator==(const TcpSpec&) const = default;
};

// --unix SOCK=PORT: a Unix socket SOCK leads to TCP port PORT on loopback.
struct UnixSpec {
    std::string socket_path;
    uint16_t port = 0;
    bool operator==(const UnixSpec&) const = default;
};

}  // namespace vorn
