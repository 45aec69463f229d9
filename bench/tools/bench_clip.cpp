// A clipboard service for the shim benchmark: on the Unix socket PATH, it
// answers every request line with "OK SIZE" and SIZE bytes of body, one
// connection after the other, until it is killed.
//
//   bench_clip PATH SIZE      prints "ready" once it listens
#include <sys/stat.h>

#include <algorithm>

#include "common.h"

namespace {

using namespace bench;

constexpr size_t kBufferSize = 1 << 20;
char g_body[kBufferSize];

// The request is one line; what it asks for does not change the answer.
bool read_request(int fd) {
    char byte;
    for (size_t taken = 0; taken < 1024; ++taken) {
        const ssize_t n = ::recv(fd, &byte, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (byte == '\n') return true;
    }
    return false;
}

bool send_body(int fd, uint64_t size) {
    const std::string head = "OK " + std::to_string(size) + "\n";
    if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size())) {
        return false;
    }
    for (uint64_t left = size; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kBufferSize));
        const ssize_t n = ::send(fd, g_body, want, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        left -= static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) die("usage: bench_clip PATH SIZE");
    const std::string path = argv[1];
    const uint64_t size = parse_count(argv[2]);
    for (size_t i = 0; i < kBufferSize; ++i) g_body[i] = static_cast<char>(i * 37 + 11);

    ::unlink(path.c_str());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = unix_address(path);
    if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) ||
        ::listen(listener, 16)) {
        die_errno("listen on " + path);
    }
    if (::write(1, "ready\n", 6) != 6) die_errno("write");
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            die_errno("accept");
        }
        if (read_request(fd)) (void)send_body(fd, size);
        ::close(fd);
    }
}
