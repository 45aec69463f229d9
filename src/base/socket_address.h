#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <expected>
#include <string_view>

#include "base/error.h"

namespace vorn {

struct UnixSocketAddress {
    sockaddr_un addr;
    socklen_t length;
};

// The address of a Unix socket at path, built here rather than by the system
// so that nothing is silently cut or reinterpreted: a path with a NUL byte is
// the program's own NUL error, one that does not fit (its terminating NUL
// included) is ENAMETOOLONG as for any other over-long file name, and an
// empty path is ENOENT, where the kernel would otherwise pick an abstract
// address of its own.
std::expected<UnixSocketAddress, Error> unix_socket_address(std::string_view path);

}  // namespace vorn
