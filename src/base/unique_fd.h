#pragma once

#include <unistd.h>

#include <utility>

namespace vorn {

// Owns one file descriptor and closes it exactly once.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    int release() { return std::exchange(fd_, -1); }

    void reset(int fd = -1) {
        int old = std::exchange(fd_, fd);
        // close() is not retried on EINTR: on Linux the descriptor is gone either way.
        if (old >= 0) ::close(old);
    }

  private:
    int fd_ = -1;
};

}  // namespace vorn
