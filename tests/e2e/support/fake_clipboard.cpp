#include "support/fake_clipboard.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/wait.h"

namespace vt {
namespace {

constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

uint64_t fnv(uint64_t hash, std::string_view bytes) {
    for (unsigned char c : bytes) hash = (hash ^ c) * kFnvPrime;
    return hash;
}

// Byte i of the generated body: splitmix64 of i / 8, so that no stretch
// repeats and a misplaced buffer shows in the checksum.
void generate(uint64_t offset, char* out, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        const uint64_t i = offset + k;
        uint64_t z = (i / 8 + 1) * 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        out[k] = static_cast<char>(z >> (8 * (i % 8)));
    }
}

}  // namespace

uint64_t checksum(std::string_view bytes) {
    return fnv(kFnvOffset, bytes);
}

uint64_t generated_checksum(uint64_t size) {
    uint64_t hash = kFnvOffset;
    char buf[65536];
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buf, size - done));
        generate(done, buf, n);
        hash = fnv(hash, std::string_view(buf, n));
        done += n;
    }
    return hash;
}

FakeClipboard::FakeClipboard(std::string path, ClipScript script)
    : path_(std::move(path)), script_(std::move(script)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(addr.sun_path, path_.data(), path_.size());
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
        ::listen(listen_fd_, 16) || ::pipe2(stop_pipe_, O_CLOEXEC)) {
        throw std::runtime_error("fake clipboard: " + std::string(std::strerror(errno)));
    }
    thread_ = std::thread([this] { serve(); });
}

FakeClipboard::~FakeClipboard() {
    (void)!::write(stop_pipe_[1], "x", 1);
    thread_.join();
    for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]}) ::close(fd);
    ::unlink(path_.c_str());
}

int FakeClipboard::connections() const {
    int count = 0;
    // Holding the lock keeps the service from accepting between the look at
    // the queue and the count, so every connection is seen exactly once.
    wait_until([&] {
        std::lock_guard g(mu_);
        pollfd p{listen_fd_, POLLIN, 0};
        const bool pending = ::poll(&p, 1, 0) > 0;
        count = accepted_ + (pending ? 1 : 0);
        return !pending;
    });
    return count;
}

std::vector<std::string> FakeClipboard::requests() const {
    std::vector<std::string> out;
    wait_until([&] {
        const int made = connections();
        std::lock_guard g(mu_);
        out = requests_;
        return static_cast<int>(requests_.size()) == made;
    });
    return out;
}

// Waits for fd to be ready; false when the service is told to stop.
bool FakeClipboard::wait_ready(int fd, short events) const {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (p[1].revents) return false;
        if (p[0].revents) return true;
    }
}

void FakeClipboard::serve() {
    for (;;) {
        if (!wait_ready(listen_fd_, POLLIN)) return;
        int fd;
        {
            std::lock_guard g(mu_);
            fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++accepted_;
        }
        serve_one(fd);
    }
}

void FakeClipboard::serve_one(int fd) {
    std::string got;
    char buf[4096];
    auto read_some = [&] {
        if (!wait_ready(fd, POLLIN)) return false;
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return false;
        got.append(buf, static_cast<size_t>(n));
        return true;
    };
    while (got.find('\n') == std::string::npos && read_some()) {
    }
    bool sending = true;
    for (size_t i = 0; sending && i < script_.pieces.size(); ++i) {
        if (i > 0) sending = wait_read_by_client(fd);
        sending = sending && send_piece(fd, script_.pieces[i]);
    }
    if (sending && script_.generated > 0) send_generated(fd);
    ::shutdown(fd, SHUT_WR);
    // Whatever the client sends until it closes belongs to its request too:
    // a client that wrote more than one line must not pass unseen.
    while (read_some()) {
    }
    ::close(fd);
    std::lock_guard g(mu_);
    requests_.push_back(std::move(got));
}

bool FakeClipboard::send_piece(int fd, std::string_view piece) const {
    while (!piece.empty()) {
        if (!wait_ready(fd, POLLOUT)) return false;
        const ssize_t n = ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;  // the client has gone
        piece.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool FakeClipboard::send_generated(int fd) const {
    char buf[65536];
    for (uint64_t done = 0; done < script_.generated;) {
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(sizeof buf, script_.generated - done));
        generate(done, buf, n);
        if (!send_piece(fd, std::string_view(buf, n))) return false;
        done += n;
    }
    return true;
}

// The bytes in our send queue are freed only once the client has read them.
bool FakeClipboard::wait_read_by_client(int fd) const {
    return wait_until([&] {
        int queued = 0;
        return ::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0;
    });
}

}  // namespace vt
