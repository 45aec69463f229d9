#include "relay/forward.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
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
#include "relay/spares.h"

namespace vorn {
namespace {

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
    retry_on_eintr([&] { return ::poll(&p, 1, -1); });
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

// How a stretch of a direction's work ended.
enum class Step { more, source_failed, send_failed };

// Sends bytes to side to, so that the direction receiving from that side
// learns of a failure (see Sides).
bool send_counted(Sides& sides, Side to, int destination, std::span<const char> bytes) {
    sides.sending(to);
    const bool sent = send_all(destination, {bytes.data(), bytes.size()}).has_value();
    sides.sent(to, sent);
    return sent;
}

bool is_tcp(int fd) {
    int domain = 0;
    socklen_t size = sizeof domain;
    return ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 &&
           (domain == AF_INET || domain == AF_INET6);
}

size_t ready_bytes(int fd) {
    int ready = 0;
    return ::ioctl(fd, FIONREAD, &ready) == 0 && ready > 0 ? static_cast<size_t>(ready) : 0;
}

// Splices what the source has ready through pipe into the destination, until
// the source has nothing ready. A pipe left holding bytes a failed send did
// not take is not given back.
Step splice_ready(Sides& sides, Side to, int source, int destination, SplicePipe& pipe,
                  bool* pipe_clean) {
    for (;;) {
        const size_t ready = ready_bytes(source);
        if (ready == 0) return Step::more;
        const ssize_t in = ::splice(source, nullptr, pipe.write_end.get(), nullptr,
                                    std::min(ready, pipe.capacity), SPLICE_F_NONBLOCK);
        if (in < 0 && errno == EINTR) continue;
        // Splicing refused (EINVAL and the like for a socket that cannot) or
        // nothing to take after all: the receive that follows tells.
        if (in < 0 && (errno == EAGAIN || errno == EINVAL || errno == ENOSYS)) return Step::more;
        if (in < 0) return Step::source_failed;
        if (in == 0) return Step::more;
        sides.sending(to);
        auto left = static_cast<size_t>(in);
        while (left > 0) {
            const ssize_t out = retry_on_eintr([&] {
                return ::splice(pipe.read_end.get(), nullptr, destination, nullptr, left, 0);
            });
            if (out <= 0) break;
            left -= static_cast<size_t>(out);
        }
        sides.sent(to, left == 0);
        if (left > 0) {
            *pipe_clean = false;
            return Step::send_failed;
        }
    }
}

// Receives what the source has ready into buffer and sends it on, until the
// source has nothing ready.
Step copy_ready(Sides& sides, Side to, int source, int destination, std::span<char> buffer) {
    for (;;) {
        const ssize_t n = retry_on_eintr(
            [&] { return ::recv(source, buffer.data(), buffer.size(), MSG_DONTWAIT); });
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Step::more;
        if (n < 0) return Step::source_failed;
        // The end of the stream stays for the receive that follows.
        if (n == 0) return Step::more;
        if (!send_counted(sides, to, destination, {buffer.data(), static_cast<size_t>(n)})) {
            return Step::send_failed;
        }
    }
}

// Moves a heavy flow with a borrowed bulk kit until the source has nothing
// ready, then gives the kit back. Without a kit to borrow the flow goes on
// through the direction's own buffer.
Step move_bulk(Sides& sides, Side to, int source, int destination) {
    if (is_tcp(source)) {
        if (auto pipe = borrow_pipe()) {
            bool clean = true;
            const Step step = splice_ready(sides, to, source, destination, *pipe, &clean);
            if (clean) give_back_pipe(std::move(*pipe));
            return step;
        }
    }
    char* buffer = borrow_bulk_buffer();
    if (!buffer) return Step::more;
    const Step step = copy_ready(sides, to, source, destination, {buffer, kBulkBufferSize});
    give_back_bulk_buffer(buffer);
    return step;
}

// Receives what source has, waiting for it first when it has nothing. The
// wait is a poll for input alone: a thread asleep in recv is woken as well
// each time the socket frees room for sending, which the other direction
// does many thousand times a second while it moves a heavy flow the other
// way.
ssize_t receive(int source, std::span<char> buffer) {
    for (;;) {
        const ssize_t n = retry_on_eintr(
            [&] { return ::recv(source, buffer.data(), buffer.size(), MSG_DONTWAIT); });
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return n;
        pollfd p{source, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR)
            return recv_retry(source, buffer.data(), buffer.size());
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
// A receive that fills the buffer tells of a heavy flow, carried on in bulk.
void pump(Sides& sides, Side from, int source, int destination, std::span<char> buffer) {
    const Side to = from == kClient ? kTarget : kClient;
    for (;;) {
        const ssize_t n = receive(source, buffer);
        Step step = Step::more;
        if (n > 0) {
            step = send_counted(sides, to, destination, {buffer.data(), static_cast<size_t>(n)})
                       ? Step::more
                       : Step::send_failed;
            if (step == Step::more && static_cast<size_t>(n) == buffer.size()) {
                step = move_bulk(sides, to, source, destination);
            }
            if (step == Step::more) continue;
        } else if (n == 0 && !ended_by_failure(sides, from, source)) {
            ::shutdown(destination, SHUT_WR);
            return;
        } else {
            step = Step::source_failed;
        }
        if (step == Step::send_failed) {
            // The source's peer learns that nothing more is read, as it would
            // from the peer itself: a Unix peer at its next send, a TCP peer
            // by a reset at the close, its bytes being left unread.
            ::shutdown(source, SHUT_RD);
            return;
        }
        sides.reset_at_close(to);
        // The other direction reads from destination and has nowhere left
        // to send.
        ::shutdown(destination, SHUT_RD);
        return;
    }
}

struct AnswerDirection {
    Sides* sides;
    int source;
    int destination;
    std::span<char> buffer;
};

void run_answer_direction(void* arg) {
    const auto* answer = static_cast<const AnswerDirection*>(arg);
    pump(*answer->sides, kTarget, answer->source, answer->destination, answer->buffer);
}

}  // namespace

// Both directions use the same two descriptors: each ends only its own side
// of a socket, with shutdown, and the sockets close once both are done.
void forward(UniqueFd client, UniqueFd target, ConnectionWorker& worker) {
    Sides sides;
    AnswerDirection answer{&sides, target.get(), client.get(), worker.answer_buffer()};
    if (auto started = worker.start_answer(run_answer_direction, &answer); !started) {
        relay_log_system_error("cannot start a thread", started.error().code);
        return;
    }
    pump(sides, kClient, client.get(), target.get(), worker.request_buffer());
    worker.wait_answer();
    close_side(std::move(client), sides.resets_at_close(kClient));
    close_side(std::move(target), sides.resets_at_close(kTarget));
}

void handle_tcp_connection(UniqueFd connection, const std::string& target_path, uint16_t port,
                           ConnectionWorker& worker) {
    set_no_delay(connection.get());
    auto target = connect_unix(target_path);
    if (!target) {
        log_line_of([&] {
            return "port " + std::to_string(port) + ": cannot reach " + display_form(target_path) +
                   " (" + error_text(target.error()) + ")";
        });
        return;
    }
    forward(std::move(connection), std::move(*target), worker);
}

void handle_unix_connection(UniqueFd connection, const std::string& path, uint16_t target_port,
                            ConnectionWorker& worker) {
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
    forward(std::move(connection), std::move(*target), worker);
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
        UniqueFd connection(retry_on_eintr(
            [&] { return ::accept4(loop.socket.get(), nullptr, nullptr, SOCK_CLOEXEC); }));
        if (!connection) {
            note_accept_failure(label, errno, &reported);
            continue;
        }
        reported = false;
        serve_connection(std::move(connection), loop);
    }
}

}  // namespace vorn
