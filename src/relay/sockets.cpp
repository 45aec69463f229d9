#include "relay/sockets.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <cerrno>

#include "base/io.h"
#include "base/socket_address.h"

namespace vorn {
namespace {

struct LoopbackAddress {
    sockaddr_storage storage;
    socklen_t length;
};

LoopbackAddress loopback_address(int family, uint16_t port) {
    LoopbackAddress out{};
    if (family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&out.storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        a->sin6_addr = in6addr_loopback;
        out.length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&out.storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        out.length = sizeof(sockaddr_in);
    }
    return out;
}

std::expected<UniqueFd, Error> new_socket(int family) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return std::unexpected(Error::last_system());
    return fd;
}

std::expected<void, Error> set_flag(int fd, int level, int option) {
    const int on = 1;
    if (::setsockopt(fd, level, option, &on, sizeof on) != 0) {
        return std::unexpected(Error::last_system());
    }
    return {};
}

// A blocking connect that a signal interrupts goes on in the background;
// calling connect again would only say EALREADY, so wait for it to finish.
std::expected<void, Error> connect_fully(int fd, const sockaddr* addr, socklen_t length) {
    if (::connect(fd, addr, length) == 0) return {};
    if (errno != EINTR) return std::unexpected(Error::last_system());
    pollfd p{fd, POLLOUT, 0};
    if (retry_on_eintr([&] { return ::poll(&p, 1, -1); }) < 0) {
        return std::unexpected(Error::last_system());
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return std::unexpected(Error::last_system());
    }
    if (error != 0) return std::unexpected(Error::system(error));
    return {};
}

// A fresh Unix stream socket and the address of path, for binding or
// connecting it there.
struct UnixSocket {
    UniqueFd fd;
    UnixSocketAddress address;
};

std::expected<UnixSocket, Error> unix_socket_for(const std::string& path) {
    auto fd = new_socket(AF_UNIX);
    if (!fd) return std::unexpected(fd.error());
    const auto address = unix_socket_address(path);
    if (!address) return std::unexpected(address.error());
    return UnixSocket{std::move(*fd), *address};
}

}  // namespace

std::expected<UniqueFd, Error> listen_tcp_loopback(int family, uint16_t port) {
    auto fd = new_socket(family);
    if (!fd) return fd;
    if (family == AF_INET6) {
        if (auto set = set_flag(fd->get(), IPPROTO_IPV6, IPV6_V6ONLY); !set) {
            return std::unexpected(set.error());
        }
    }
    if (auto set = set_flag(fd->get(), SOL_SOCKET, SO_REUSEADDR); !set) {
        return std::unexpected(set.error());
    }
    const auto address = loopback_address(family, port);
    if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) !=
            0 ||
        ::listen(fd->get(), 128) != 0) {
        return std::unexpected(Error::last_system());
    }
    return fd;
}

std::expected<UniqueFd, Error> listen_unix(const std::string& path) {
    auto socket = unix_socket_for(path);
    if (!socket) return std::unexpected(socket.error());
    const auto& [fd, address] = *socket;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address.addr), address.length) != 0 ||
        ::listen(fd.get(), -1) != 0) {
        return std::unexpected(Error::last_system());
    }
    return std::move(socket->fd);
}

std::expected<UniqueFd, Error> connect_unix(const std::string& path) {
    auto socket = unix_socket_for(path);
    if (!socket) return std::unexpected(socket.error());
    const auto& [fd, address] = *socket;
    if (auto connected = connect_fully(fd.get(), reinterpret_cast<const sockaddr*>(&address.addr),
                                       address.length);
        !connected) {
        return std::unexpected(connected.error());
    }
    return std::move(socket->fd);
}

void set_no_delay(int fd) {
    (void)set_flag(fd, IPPROTO_TCP, TCP_NODELAY);
}

std::expected<UniqueFd, Error> connect_tcp_loopback(int family, uint16_t port) {
    auto fd = new_socket(family);
    if (!fd) return fd;
    set_no_delay(fd->get());
    const auto address = loopback_address(family, port);
    if (auto connected = connect_fully(
            fd->get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length);
        !connected) {
        return std::unexpected(connected.error());
    }
    return fd;
}

}  // namespace vorn
