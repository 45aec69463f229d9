#include "relay/forward.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <cerrno>

#include "base/clock.h"
#include "base/error.h"
#include "base/io.h"
#include "base/text.h"
#include "relay/relay_log.h"
#include "relay/sockets.h"
#include "relay/threads.h"

namespace vorn {
namespace {

void log_thread_failure(const Error& error) {
    relay_log_line("cannot start a thread (" + error_text(error) + ")");
}

void shut_down_both(int source, int destination) {
    ::shutdown(source, SHUT_RDWR);
    ::shutdown(destination, SHUT_RDWR);
}

UniqueFd duplicate(int fd) {
    return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

}  // namespace

void pump(UniqueFd source, UniqueFd destination) {
    // Mapped rather than allocated, so an idle connection's buffer costs
    // address space only: its pages are touched when data first arrives.
    void* mapped = ::mmap(nullptr, kPumpBufferSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        // Without a buffer this direction cannot move a byte; end the whole
        // connection rather than leave it silently stuck.
        shut_down_both(source.get(), destination.get());
        return;
    }
    char* buffer = static_cast<char*>(mapped);
    for (;;) {
        const ssize_t n = recv_retry(source.get(), buffer, kPumpBufferSize);
        if (n == 0) {
            ::shutdown(destination.get(), SHUT_WR);
            break;
        }
        if (n < 0 || !send_all(destination.get(), {buffer, static_cast<size_t>(n)})) {
            shut_down_both(source.get(), destination.get());
            break;
        }
    }
    ::munmap(mapped, kPumpBufferSize);
    destination.reset();
    source.reset();
}

void forward(UniqueFd client, UniqueFd target) {
    UniqueFd client_copy = duplicate(client.get());
    UniqueFd target_copy = duplicate(target.get());
    if (!client_copy || !target_copy) {
        relay_log_line("cannot duplicate a connection");
        return;
    }
    auto answer = start_relay_thread(
        [from = std::move(target_copy), to = std::move(client_copy)]() mutable {
            pump(std::move(from), std::move(to));
        },
        ThreadKind::joinable);
    if (!answer) {
        log_thread_failure(answer.error());
        return;
    }
    pump(std::move(client), std::move(target));
    ::pthread_join(*answer, nullptr);
}

void handle_tcp_connection(UniqueFd connection, const std::string& target_path, uint16_t port) {
    auto target = connect_unix(target_path);
    if (!target) {
        relay_log_line("port " + std::to_string(port) + ": cannot reach " +
                       display_form(target_path) + " (" + error_text(target.error()) + ")");
        return;
    }
    forward(std::move(connection), std::move(*target));
}

void handle_unix_connection(UniqueFd connection, const std::string& path, uint16_t target_port) {
    auto target = connect_tcp_loopback(AF_INET, target_port);
    if (!target) {
        auto second = connect_tcp_loopback(AF_INET6, target_port);
        if (!second) {
            relay_log_line(display_form(path) +
                           ": nothing listens on 127.0.0.1:" + std::to_string(target_port) +
                           " yet (" + error_text(target.error()) + ")");
            return;
        }
        target = std::move(second);
    }
    forward(std::move(connection), std::move(*target));
}

void note_accept_failure(std::string_view label, int error, bool* reported) {
    if (error != ENOMEM && error != ENFILE && error != EMFILE && error != ENOBUFS) return;
    if (!*reported) {
        relay_log_line(std::string(label) + ": cannot accept a connection (" +
                       error_text(Error::system(error)) + ")");
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
        auto handler = start_relay_thread(
            [connection = std::move(connection), path = loop.path, port = loop.port,
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
        if (!handler) log_thread_failure(handler.error());
    }
}

}  // namespace vorn
