#include "base/socket_address.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "base/io.h"

namespace vorn {

std::expected<UnixSocketAddress, Error> unix_socket_address(std::string_view path) {
    if (has_nul(path)) return std::unexpected(Error::own(kNulInPath));
    if (path.empty()) return std::unexpected(Error::system(ENOENT));
    UnixSocketAddress out{};
    if (path.size() >= sizeof out.addr.sun_path) {
        return std::unexpected(Error::system(ENAMETOOLONG));
    }
    out.addr.sun_family = AF_UNIX;
    std::memcpy(out.addr.sun_path, path.data(), path.size());
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return out;
}

}  // namespace vorn
