#include "relay/spares.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <utility>

namespace vorn {
namespace {

// Larger pipes move more per splice; a user past the system's quota for pipe
// memory gets the default size, or less, and splices in smaller pieces.
constexpr int kPipeSize = 1 << 20;
constexpr size_t kMostSpares = 8;

template <typename Kit>
class Spares {
  public:
    std::optional<Kit> take() {
        std::lock_guard hold(lock_);
        if (count_ == 0) return std::nullopt;
        return std::move(kits_[--count_]);
    }
    // The kit back, or nothing when enough wait already: then it is the
    // caller's to free.
    std::optional<Kit> put(Kit kit) {
        std::lock_guard hold(lock_);
        if (count_ == kits_.size()) return kit;
        kits_[count_++] = std::move(kit);
        return std::nullopt;
    }
    template <typename Free>
    void clear(Free free) {
        std::array<Kit, kMostSpares> dropped;
        size_t n = 0;
        {
            std::lock_guard hold(lock_);
            n = count_;
            for (size_t i = 0; i < n; ++i) dropped[i] = std::move(kits_[i]);
            count_ = 0;
        }
        for (size_t i = 0; i < n; ++i) free(std::move(dropped[i]));
    }

  private:
    std::mutex lock_;
    std::array<Kit, kMostSpares> kits_{};
    size_t count_ = 0;
};

Spares<SplicePipe>& spare_pipes() {
    static Spares<SplicePipe> spares;
    return spares;
}

Spares<char*>& spare_buffers() {
    static Spares<char*> spares;
    return spares;
}

void free_buffer(char* buffer) {
    ::munmap(buffer, kBulkBufferSize);
}

}  // namespace

std::optional<SplicePipe> borrow_pipe() {
    if (auto spare = spare_pipes().take()) return spare;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    SplicePipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1]), 0};
    (void)::fcntl(pipe.write_end.get(), F_SETPIPE_SZ, kPipeSize);
    const int size = ::fcntl(pipe.write_end.get(), F_GETPIPE_SZ);
    if (size <= 0) return std::nullopt;
    pipe.capacity = static_cast<size_t>(size);
    return pipe;
}

void give_back_pipe(SplicePipe pipe) {
    (void)spare_pipes().put(std::move(pipe));
}

char* borrow_bulk_buffer() {
    if (auto spare = spare_buffers().take()) return *spare;
    void* mapped = ::mmap(nullptr, kBulkBufferSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return mapped == MAP_FAILED ? nullptr : static_cast<char*>(mapped);
}

void give_back_bulk_buffer(char* buffer) {
    if (auto left = spare_buffers().put(buffer)) free_buffer(*left);
}

void drop_spare_kits() {
    spare_pipes().clear([](SplicePipe) {});
    spare_buffers().clear(free_buffer);
}

}  // namespace vorn
