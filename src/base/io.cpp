#include "base/io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "base/unique_fd.h"

namespace vorn {

namespace {

template <typename Put>
std::expected<void, Error> put_all(std::string_view data, Put put) {
    while (!data.empty()) {
        const ssize_t n = retry_on_eintr([&] { return put(data.data(), data.size()); });
        if (n < 0) return std::unexpected(Error::last_system());
        if (n == 0) return std::unexpected(Error::own(kWriteZero));
        data.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

// Fills up to limit bytes with read_at(buffer, size, offset), which reads at
// the offset into what is being read.
template <typename ReadAt>
std::expected<std::string, Error> fill(size_t limit, ReadAt read_at) {
    std::string out(limit, '\0');
    size_t got = 0;
    while (got < limit) {
        const ssize_t n =
            retry_on_eintr([&] { return read_at(out.data() + got, limit - got, got); });
        if (n < 0) return std::unexpected(Error::last_system());
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
}

}  // namespace

void hold_closed_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // O_PATH opens nothing that can be read or written. The root folder
        // is there in every image, even one without /dev.
        int placeholder = ::open("/dev/null", O_PATH | O_CLOEXEC);
        if (placeholder < 0) placeholder = ::open("/", O_PATH | O_CLOEXEC);
        // The lowest free descriptor is fd itself, as those below it are open.
        if (placeholder >= 0 && placeholder != fd) ::close(placeholder);
    }
}

std::expected<void, Error> write_all(int fd, std::string_view data) {
    return put_all(data, [fd](const char* p, size_t n) { return ::write(fd, p, n); });
}

std::expected<void, Error> send_all(int sock, std::string_view data) {
    return put_all(data,
                   [sock](const char* p, size_t n) { return ::send(sock, p, n, MSG_NOSIGNAL); });
}

ssize_t read_retry(int fd, void* buf, size_t len) {
    return retry_on_eintr([&] { return ::read(fd, buf, len); });
}

ssize_t recv_retry(int sock, void* buf, size_t len) {
    return retry_on_eintr([&] { return ::recv(sock, buf, len, 0); });
}

std::expected<std::string, Error> read_up_to(int fd, size_t limit) {
    return fill(limit, [fd](char* buf, size_t size, size_t) { return ::read(fd, buf, size); });
}

std::expected<std::string, Error> read_up_to_at(int fd, uint64_t offset, size_t limit) {
    return fill(limit, [fd, offset](char* buf, size_t size, size_t done) {
        return ::pread(fd, buf, size, static_cast<off_t>(offset + done));
    });
}

std::expected<void, Error> list_folder(int folder_fd,
                                       const std::function<void(const char* name)>& visit) {
    // The listing reads through its own descriptor, so the caller's stays
    // usable for the *at calls that visit makes.
    const int listing_fd = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
    if (listing_fd < 0) return std::unexpected(Error::last_system());
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(listing_fd), &::closedir);
    if (!listing) {
        const int err = errno;
        ::close(listing_fd);
        return std::unexpected(Error::system(err));
    }
    ::rewinddir(listing.get());
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (!entry) {
            if (errno != 0) return std::unexpected(Error::last_system());
            return {};
        }
        visit(entry->d_name);
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
