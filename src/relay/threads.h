#pragma once

#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <expected>
#include <memory>
#include <new>
#include <utility>

#include "base/error.h"

namespace vorn {

// Every relay thread runs on this much stack. Two threads serve each
// connection and their buffers live outside the stack, so the stacks are what
// decides how many connections fit; the deepest relay path (a log line built
// while connecting) needs a few KiB.
size_t relay_thread_stack_size();

enum class ThreadKind { detached, joinable };

namespace detail {
std::expected<pthread_t, Error> start_thread(void* (*entry)(void*), void* arg, ThreadKind kind);
}

// Runs body on a new thread with the relay's small stack. A thread that cannot
// be started, for want of memory too, is an error for the caller to report,
// never a crash; body is then destroyed on the calling thread.
template <typename Body>
std::expected<pthread_t, Error> start_relay_thread(Body body, ThreadKind kind) {
    std::unique_ptr<Body> owned(new (std::nothrow) Body(std::move(body)));
    if (!owned) return std::unexpected(Error::system(ENOMEM));
    auto entry = [](void* arg) -> void* {
        std::unique_ptr<Body> run(static_cast<Body*>(arg));
        (*run)();
        return nullptr;
    };
    auto started = detail::start_thread(entry, owned.get(), kind);
    if (started) (void)owned.release();
    return started;
}

// Runs body on a new joinable thread without moving it anywhere: it needs no
// memory beyond the thread's, and the caller must join the thread before
// body goes out of scope.
template <typename Body>
std::expected<pthread_t, Error> start_joinable_relay_thread(Body& body) {
    auto entry = [](void* arg) -> void* {
        (*static_cast<Body*>(arg))();
        return nullptr;
    };
    return detail::start_thread(entry, &body, ThreadKind::joinable);
}

}  // namespace vorn
