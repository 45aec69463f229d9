#include "relay/workers.h"

#include <sys/mman.h>

#include <array>
#include <new>
#include <utility>

#include "relay/forward.h"
#include "relay/relay_log.h"
#include "relay/spares.h"
#include "relay/threads.h"

namespace vorn {

std::expected<std::unique_ptr<ConnectionWorker>, Error> ConnectionWorker::create() {
    constexpr size_t kBuffers = 2 * kPumpBufferSize;
    void* mapped = ::mmap(nullptr, kBuffers, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) return std::unexpected(Error::last_system());
    std::unique_ptr<ConnectionWorker> worker(new (std::nothrow)
                                                 ConnectionWorker(static_cast<char*>(mapped)));
    if (!worker) {
        ::munmap(mapped, kBuffers);
        return std::unexpected(Error::system(ENOMEM));
    }
    return worker;
}

ConnectionWorker::~ConnectionWorker() {
    if (thread_) {
        {
            std::lock_guard hold(lock_);
            quit_ = true;
        }
        work_given_.notify_one();
        ::pthread_join(*thread_, nullptr);
    }
    ::munmap(buffers_, 2 * kPumpBufferSize);
}

std::expected<void, Error> ConnectionWorker::start_answer(void (*work)(void*), void* arg) {
    {
        std::lock_guard hold(lock_);
        work_ = work;
        arg_ = arg;
    }
    if (thread_) {
        work_given_.notify_one();
        return {};
    }
    auto started = detail::start_thread(
        [](void* self) -> void* {
            static_cast<ConnectionWorker*>(self)->answer_loop();
            return nullptr;
        },
        this, ThreadKind::joinable);
    if (!started) {
        std::lock_guard hold(lock_);
        work_ = nullptr;
        return std::unexpected(started.error());
    }
    thread_ = *started;
    return {};
}

void ConnectionWorker::wait_answer() {
    std::unique_lock hold(lock_);
    work_done_.wait(hold, [&] { return work_ == nullptr; });
}

void ConnectionWorker::answer_loop() {
    std::unique_lock hold(lock_);
    for (;;) {
        work_given_.wait(hold, [&] { return work_ != nullptr || quit_; });
        if (work_ == nullptr) return;
        hold.unlock();
        work_(arg_);
        hold.lock();
        work_ = nullptr;
        work_done_.notify_one();
    }
}

namespace {

// A connection's handler thread with its worker: it serves one connection,
// then waits among the idle for the next.
struct Handler {
    std::unique_ptr<ConnectionWorker> worker;
    std::condition_variable wake;
    UniqueFd connection;  // set, under the pool's lock, to hand a connection over
    const AcceptLoop* loop = nullptr;
};

class HandlerPool {
  public:
    // An idle handler, given the connection; false when none waits.
    bool hand_to_idle(UniqueFd& connection, const AcceptLoop& loop) {
        // Woken under the lock: once it is released the handler may serve
        // the connection, wait out its idle time and be gone.
        std::lock_guard hold(lock_);
        if (idle_count_ == 0) return false;
        Handler* handler = idle_[--idle_count_];
        handler->connection = std::move(connection);
        handler->loop = &loop;
        handler->wake.notify_one();
        return true;
    }

    void started() {
        std::lock_guard hold(lock_);
        ++live_;
    }

    // Waits among the idle for the next connection; false when none came in
    // time, or when enough handlers wait already.
    bool wait_for_next(Handler& handler) {
        std::unique_lock hold(lock_);
        if (idle_count_ == idle_.size()) return false;
        idle_[idle_count_++] = &handler;
        if (handler.wake.wait_for(hold, kWorkerIdleLifetime,
                                  [&] { return bool(handler.connection); })) {
            return true;
        }
        for (size_t i = 0; i < idle_count_; ++i) {
            if (idle_[i] == &handler) {
                idle_[i] = idle_[--idle_count_];
                break;
            }
        }
        return false;
    }

    // The last handler to end takes the spare bulk kits with it: a relay
    // with no connection holds nothing for one.
    void ended() {
        bool last = false;
        {
            std::lock_guard hold(lock_);
            last = --live_ == 0;
        }
        if (last) drop_spare_kits();
    }

  private:
    std::mutex lock_;
    std::array<Handler*, kMostIdleWorkers> idle_{};
    size_t idle_count_ = 0;
    size_t live_ = 0;
};

HandlerPool& handler_pool() {
    static HandlerPool pool;
    return pool;
}

void serve(UniqueFd connection, const AcceptLoop& loop, ConnectionWorker& worker) {
    if (loop.kind == ListenerKind::tcp) {
        handle_tcp_connection(std::move(connection), loop.path, loop.port, worker);
    } else {
        handle_unix_connection(std::move(connection), loop.path, loop.port, worker);
    }
}

void run_handler(Handler& handler) {
    HandlerPool& pool = handler_pool();
    do {
        serve(std::move(handler.connection), *handler.loop, *handler.worker);
    } while (pool.wait_for_next(handler));
}

}  // namespace

void serve_connection(UniqueFd connection, const AcceptLoop& loop) {
    HandlerPool& pool = handler_pool();
    if (pool.hand_to_idle(connection, loop)) return;

    auto worker = ConnectionWorker::create();
    if (!worker) {
        relay_log_system_error("cannot allocate a buffer", worker.error().code);
        return;
    }
    std::unique_ptr<Handler> handler(new (std::nothrow) Handler);
    if (!handler) {
        relay_log_system_error("cannot start a thread", ENOMEM);
        return;
    }
    handler->worker = std::move(*worker);
    handler->connection = std::move(connection);
    handler->loop = &loop;
    pool.started();
    auto thread = start_relay_thread(
        [handler = std::move(handler), &pool]() mutable {
            run_handler(*handler);
            handler.reset();
            pool.ended();
        },
        ThreadKind::detached);
    // A handler that never started leaves its connection with the lambda,
    // which is destroyed here and closes it.
    if (!thread) {
        pool.ended();
        relay_log_system_error("cannot start a thread", thread.error().code);
    }
}

}  // namespace vorn
