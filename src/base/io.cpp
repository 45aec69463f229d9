#include "base/io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/unique_fd.h"

namespace vorn {

std::expected<void, Error> write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(Error::last_system());
        }
        if (n == 0) return std::unexpected(Error::own(kWriteZero));
        data.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

ssize_t read_retry(int fd, void* buf, size_t len) {
    for (;;) {
        const ssize_t n = ::read(fd, buf, len);
        if (n >= 0 || errno != EINTR) return n;
    }
}

std::expected<std::string, Error> read_file(const std::string& path, int extra_flags) {
    if (has_nul(path)) return std::unexpected(Error::own(kNulInPath));
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | extra_flags));
    if (!fd) return std::unexpected(Error::last_system());
    std::string content;
    char buf[8192];
    for (;;) {
        const ssize_t n = read_retry(fd.get(), buf, sizeof buf);
        if (n < 0) return std::unexpected(Error::last_system());
        if (n == 0) return content;
        content.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace vorn
