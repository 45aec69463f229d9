#include "relay/threads.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>

namespace vorn {

size_t relay_thread_stack_size() {
    static const size_t size = [] {
        size_t wanted = 64 * 1024;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // Instrumented frames are several times larger.
        wanted *= 4;
#endif
        // Some systems (arm64 with 64 KiB pages) need more than 64 KiB.
        const long minimum = ::sysconf(_SC_THREAD_STACK_MIN);
        if (minimum > 0) wanted = std::max(wanted, static_cast<size_t>(minimum));
        const long page = ::sysconf(_SC_PAGESIZE);
        if (page > 0) {
            const auto p = static_cast<size_t>(page);
            wanted = (wanted + p - 1) / p * p;
        }
        return wanted;
    }();
    return size;
}

namespace detail {

std::expected<pthread_t, Error> start_thread(void* (*entry)(void*), void* arg, ThreadKind kind) {
    pthread_attr_t attr;
    if (const int e = ::pthread_attr_init(&attr); e != 0) {
        return std::unexpected(Error::system(e));
    }
    int e = ::pthread_attr_setstacksize(&attr, relay_thread_stack_size());
    if (e == 0 && kind == ThreadKind::detached) {
        e = ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    }
    pthread_t thread{};
    if (e == 0) e = ::pthread_create(&thread, &attr, entry, arg);
    ::pthread_attr_destroy(&attr);
    if (e != 0) return std::unexpected(Error::system(e));
    return thread;
}

}  // namespace detail
}  // namespace vorn
