#include "relay/forward.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <span>

#include "base/clock.h"
#include "base/error.h"
#include "base/io.h"
#include "base/text.h"
#include "relay/relay_log.h"
#include "relay/sockets.h"
#include "relay/threads.h"

namespace vorn {
namespace {

UniqueFd duplicate(int fd) {
    return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

// A line whose text needs memory. When none is left the event is still told,
// in a line that needs none.
template <typename Text>
void log_line_of(Text text) {
    try {
        relay_log_line(text());
    } catch (const std::bad_alloc&) {
        relay_log_system_error("cannot allocate a log line", ENOMEM);
    }
}

enum Side { kClient = 0, kTarget = 1 };

// What the two directions of one connection must know of each other. A
// socket's pending error goes to whichever call touches the socket first, or
// to none (a Unix send that had sent part of its bytes drops it): when the
// direction sending to a side fails there, the direction receiving from that
// side may see no more than the end of the stream, and learns here whether
// that end was a failure.
class Sides {
  public:
    void sending(Side to) {
        std::lock_guard hold(lock_);
        sending_[to] = true;
    }
    void sent(Side to, bool ok) {
        {
            std::lock_guard hold(lock_);
            sending_[to] = false;
            failed_[to] = failed_[to] || !ok;
        }
        done_.notify_all();
    }
    // Whether a send to side failed. A send to it that is still under way
    // is waited for; asked only once the side's peer is gone, when every
    // send to it ends at once.
    bool failed(Side side) {
        std::unique_lock hold(lock_);
        done_.wait(hold, [&] { return !sending_[side]; });
        return failed_[side];
    }
    void reset_at_close(Side side) {
        std::lock_guard hold(lock_);
        reset_[side] = true;
    }
    bool resets_at_close(Side side) {
        std::lock_guard hold(lock_);
        return reset_[side];
    }

  private:
    std::mutex lock_;
    std::condition_variable done_;
    bool sending_[2] = {false, false};
    bool failed_[2] = {false, false};
    bool reset_[2] = {false, false};
};

// Whether the end of source's stream stands for a failure: its peer left
// without taking what was sent to it. A peer that only ended its own stream
// leaves the socket open the other way; one gone altogether shows as a
// hang-up.
bool ended_by_failure(Sides& sides, Side side, int source) {
    pollfd p{source, 0, 0};
    if (::poll(&p, 1, 0) != 1 || (p.revents & POLLHUP) == 0) return false;
    return sides.failed(side);
}

// Waits until a TCP socket has nothing left unsent: under that mark it is
// writable only then, and a peer that has gone shows as an error at once. A
// peer that reads slowly is waited for, as it would wait for the bytes on
// their way. A Unix socket has put its bytes with its peer already.
void wait_until_sent(int fd) {
    const int nothing_unsent = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &nothing_unsent, sizeof nothing_unsent) !=
        0) {
        return;
    }
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

// The last close of a side. A TCP socket closed with bytes left unread resets
// its connection at once and drops what it has not sent yet; so does one that
// is to be reset. Either way every byte handed to it leaves first, so that its
// peer gets what it would have got from a direct connection.
void close_side(UniqueFd fd, bool reset) {
    int unread = 0;
    if (reset || (::ioctl(fd.get(), FIONREAD, &unread) == 0 && unread > 0)) {
        wait_until_sent(fd.get());
    }
    if (reset) {
        const linger abort_on_close{1, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    }
}

// Carries source to destination until the source ends or either side fails.
// The source's clean end is passed on as the end of the destination's
// stream, and the other direction goes on. A failed source is passed on as a
// reset of the destination at the close, so that its peer cannot take a
// cut-off stream for a whole one; a Unix socket has no reset, and its peer
// sees the end of the stream, or a reset when bytes it sent are left unread.
// A failed send ends this direction only: what the destination's peer sent
// before it went still reaches the source's peer through the other direction.
void pump(Sides& sides, Side from, int source, int destination, std::span<char> buffer) {
    const Side to = from == kClient ? kTarget : kClient;
    for (;;) {
        const ssize_t n = recv_retry(source, buffer.data(), buffer.size());
        if (n > 0) {
            sides.sending(to);
            const bool sent =
                send_all(destination, {buffer.data(), static_cast<size_t>(n)}).has_value();
            sides.sent(to, sent);
            if (sent) continue;
            // The source's peer learns that nothing more is read, as it would
            // from the peer itself: a Unix peer at its next send, a TCP peer
            // by a reset at the close, its bytes being left unread.
            ::shutdown(source, SHUT_RD);
            return;
        }
        if (n == 0 && !ended_by_failure(sides, from, source)) {
            ::shutdown(destination, SHUT_WR);
            return;
        }
        sides.reset_at_close(to);
        // The other direction reads from destination and has nowhere left
        // to send.
        ::shutdown(destination, SHUT_RD);
        return;
    }
}

}  // namespace

void forward(UniqueFd client, UniqueFd target) {
    UniqueFd client_copy = duplicate(client.get());
    UniqueFd target_copy = duplicate(target.get());
    if (!client_copy || !target_copy) {
        relay_log_line("cannot duplicate a connection");
        return;
    }
    // One mapping holds the buffers of both directions. Mapped rather than
    // allocated, so an idle connection's buffers cost address space only:
    // their pages are touched when data first arrives.
    constexpr size_t kBuffers = 2 * kPumpBufferSize;
    void* mapped =
        ::mmap(nullptr, kBuffers, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        relay_log_system_error("cannot allocate a buffer", errno);
        return;
    }
    const std::span<char> buffers(static_cast<char*>(mapped), kBuffers);
    Sides sides;
    auto answer_direction = [&sides, buffer = buffers.subspan(kPumpBufferSize),
                             from = target_copy.get(),
                             to = client_copy.get()] { pump(sides, kTarget, from, to, buffer); };
    auto answer = start_joinable_relay_thread(answer_direction);
    if (!answer) {
        relay_log_system_error("cannot start a thread", answer.error().code);
    } else {
        pump(sides, kClient, client.get(), target.get(), buffers.first(kPumpBufferSize));
        ::pthread_join(*answer, nullptr);
        client_copy.reset();
        target_copy.reset();
        close_side(std::move(client), sides.resets_at_close(kClient));
        close_side(std::move(target), sides.resets_at_close(kTarget));
    }
    ::munmap(mapped, kBuffers);
}

void handle_tcp_connection(UniqueFd connection, const std::string& target_path, uint16_t port) {
    set_no_delay(connection.get());
    auto target = connect_unix(target_path);
    if (!target) {
        log_line_of([&] {
            return "port " + std::to_string(port) + ": cannot reach " + display_form(target_path) +
                   " (" + error_text(target.error()) + ")";
        });
        return;
    }
    forward(std::move(connection), std::move(*target));
}

void handle_unix_connection(UniqueFd connection, const std::string& path, uint16_t target_port) {
    auto target = connect_tcp_loopback(AF_INET, target_port);
    if (!target) {
        auto second = connect_tcp_loopback(AF_INET6, target_port);
        if (!second) {
            log_line_of([&] {
                return display_form(path) +
                       ": nothing listens on 127.0.0.1:" + std::to_string(target_port) + " yet (" +
                       error_text(target.error()) + ")";
            });
            return;
        }
        target = std::move(second);
    }
    forward(std::move(connection), std::move(*target));
}

void note_accept_failure(std::string_view label, int error, bool* reported) {
    if (error != ENOMEM && error != ENFILE && error != EMFILE && error != ENOBUFS) return;
    if (!*reported) {
        log_line_of([&] {
            return std::string(label) + ": cannot accept a connection (" +
                   error_text(Error::system(error)) + ")";
        });
        *reported = true;
    }
    sleep_monotonic(std::chrono::milliseconds(100));
}

void run_accept_loop(AcceptLoop loop) {
    const std::string label = loop.kind == ListenerKind::tcp ? "port " + std::to_string(loop.port)
                                                             : display_form(loop.path);
    bool reported = false;
    for (;;) {
        UniqueFd connection(::accept4(loop.socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) {
            const int error = errno;
            if (error != EINTR) note_accept_failure(label, error, &reported);
            continue;
        }
        reported = false;
        // The handler refers to the loop's own path, which lives as long as
        // the loop: a connection costs no memory before its thread.
        auto handler = start_relay_thread(
            [connection = std::move(connection), &path = loop.path, port = loop.port,
             kind = loop.kind]() mutable {
                if (kind == ListenerKind::tcp) {
                    handle_tcp_connection(std::move(connection), path, port);
                } else {
                    handle_unix_connection(std::move(connection), path, port);
                }
            },
            ThreadKind::detached);
        // A handler that never started leaves its connection with the lambda,
        // which is destroyed here and closes it.
        if (!handler) relay_log_system_error("cannot start a thread", handler.error().code);
    }
}

}  // namespace vorn
