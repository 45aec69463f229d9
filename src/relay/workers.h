#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "base/error.h"
#include "base/unique_fd.h"

namespace vorn {

struct AcceptLoop;

// Bytes each direction of a connection moves per receive while its flow is
// light; a heavier flow borrows a bulk kit (see spares.h).
inline constexpr size_t kPumpBufferSize = 65536;

// The answer direction's thread and the two directions' buffers, kept from one
// connection to the next: starting a thread and mapping its buffers cost more
// than the bytes of a short connection.
class ConnectionWorker {
  public:
    // A worker without its thread yet; the buffers are mapped, so an idle
    // connection's buffers cost address space only until data arrives.
    static std::expected<std::unique_ptr<ConnectionWorker>, Error> create();
    ~ConnectionWorker();
    ConnectionWorker(const ConnectionWorker&) = delete;
    ConnectionWorker& operator=(const ConnectionWorker&) = delete;

    std::span<char> request_buffer() const { return {buffers_, kPumpBufferSize}; }
    std::span<char> answer_buffer() const { return {buffers_ + kPumpBufferSize, kPumpBufferSize}; }

    // Runs work(arg) on the answer thread, which is started the first time.
    // Every successful call must be followed by wait_answer.
    std::expected<void, Error> start_answer(void (*work)(void*), void* arg);
    void wait_answer();

  private:
    explicit ConnectionWorker(char* buffers) : buffers_(buffers) {}
    void answer_loop();

    char* buffers_;
    std::mutex lock_;
    std::condition_variable work_given_;
    std::condition_variable work_done_;
    void (*work_)(void*) = nullptr;
    void* arg_ = nullptr;
    bool quit_ = false;
    std::optional<pthread_t> thread_;
};

// How long a worker whose connection has ended waits for the next one before
// its threads end: long enough to carry a burst of short connections, short
// enough that a relay left alone is soon back at rest.
inline constexpr auto kWorkerIdleLifetime = std::chrono::seconds(2);
// Workers waiting at once; one more ends at once instead.
inline constexpr size_t kMostIdleWorkers = 64;

// Serves a connection accepted by loop on a waiting worker, or on a new one
// when none waits. A connection that no worker can take is closed, with a
// line in the relay log.
void serve_connection(UniqueFd connection, const AcceptLoop& loop);

}  // namespace vorn
