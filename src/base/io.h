#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace vorn {

// Calls call() again for as long as it fails with EINTR, and returns what it
// returned last. For the system calls that fail with -1 and errno; a signal
// handler of our own (or a stop and continue) must never turn into an error.
template <typename Call>
auto retry_on_eintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) return result;
    }
}

// write(2) until every byte is written; EINTR is retried, a write of zero
// bytes is the "failed to write whole buffer" error.
std::expected<void, Error> write_all(int fd, std::string_view data);

// The same over a socket with MSG_NOSIGNAL: a peer that has gone away is an
// error (EPIPE), never a SIGPIPE.
std::expected<void, Error> send_all(int sock, std::string_view data);

// read(2) and recv(2) retried on EINTR.
ssize_t read_retry(int fd, void* buf, size_t len);
ssize_t recv_retry(int sock, void* buf, size_t len);

// Up to limit bytes from the descriptor, fewer only where its data ends
// first.
std::expected<std::string, Error> read_up_to(int fd, size_t limit);

// The same from offset on, with pread(2): the descriptor's own offset stays.
std::expected<std::string, Error> read_up_to_at(int fd, uint64_t offset, size_t limit);

// The whole content of a file, read as bytes.
std::expected<std::string, Error> read_file(const std::string& path, int extra_flags = 0);

// Calls visit with each entry name of an open folder, in listing order ("."
// and ".." included). Fails when the folder cannot be listed or read.
std::expected<void, Error> list_folder(int folder_fd,
                                       const std::function<void(const char* name)>& visit);

// Puts a placeholder on each of the standard descriptors 0, 1 and 2 that is
// closed, so that no descriptor the program opens later can land there and
// be taken for that stream. The placeholder behaves as the closed stream
// did: reading or writing it fails with EBADF, and it is closed on exec.
void hold_closed_standard_streams();

// std::string holds bytes; a path that holds a NUL byte cannot reach the
// system, so every path-taking call checks this first.
inline bool has_nul(std::string_view s) {
    return s.find('\0') != std::string_view::npos;
}

}  // namespace vorn
