// The sink and the load generators of the relay benchmarks.
//
//   bench_net server UNIX_PATH          sink on UNIX_PATH and on a free TCP port of
//                                        127.0.0.1; prints "tcp PORT" once both listen
//   bench_net throughput ADDR BYTES     prints the seconds BYTES took to reach the sink
//   bench_net rtt ADDR COUNT            prints median, p99 and mean of COUNT 1-byte
//                                        round trips, in microseconds
//   bench_net connrate ADDR COUNT       prints connections per second (connect, one
//                                        byte each way, close)
//   bench_net hold ADDR COUNT           opens COUNT connections, each with one round
//                                        trip done, prints "ready", and keeps them
//                                        until standard input ends
//   bench_net http ADDR CONNS SECONDS PATH BYTES
//                                        CONNS keep-alive HTTP/1.1 clients, each
//                                        asking for PATH with a request of BYTES
//                                        bytes and waiting for the whole answer
//                                        before it asks again; prints answers per
//                                        second over SECONDS
//   bench_net http ADDR CONNS SECONDS PATH BYTES close
//                                        the same with a new connection for each
//                                        request, closed once its answer is in;
//                                        prints answers per second, the median and
//                                        p99 of connect-to-answer times in us, and
//                                        the share of them over 30 ms in percent
//
// ADDR is tcp:PORT (127.0.0.1) or unix:PATH.
//
// The first byte of a connection tells the sink what to do with it: 'E' echoes
// every byte (that first one included), 'D' drains until the end of the
// stream and then answers the count of bytes after the 'D' as 8 bytes.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <vector>

#include "common.h"

namespace {

using namespace bench;

constexpr size_t kBufferSize = 1 << 20;
char g_buffer[kBufferSize];

struct Connection {
    int fd = -1;
    char mode = 0;
    uint64_t count = 0;
    std::string pending;  // echo bytes the peer was not ready for
};

int listen_on(int family, const sockaddr* addr, socklen_t length) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) die_errno("socket");
    const int on = 1;
    if (family == AF_INET) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, addr, length) != 0) die_errno("bind");
    if (::listen(fd, 4096) != 0) die_errno("listen");
    return fd;
}

class Sink {
  public:
    explicit Sink(const std::string& unix_path) {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) die_errno("epoll_create1");
        const sockaddr_in tcp = loopback_address(0);
        tcp_listener_ = listen_on(AF_INET, reinterpret_cast<const sockaddr*>(&tcp), sizeof tcp);
        ::unlink(unix_path.c_str());
        const sockaddr_un un = unix_address(unix_path);
        unix_listener_ = listen_on(AF_UNIX, reinterpret_cast<const sockaddr*>(&un), sizeof un);
        watch(tcp_listener_, EPOLLIN, nullptr);
        watch(unix_listener_, EPOLLIN, nullptr);
    }

    uint16_t tcp_port() const {
        sockaddr_in addr{};
        socklen_t length = sizeof addr;
        ::getsockname(tcp_listener_, reinterpret_cast<sockaddr*>(&addr), &length);
        return ntohs(addr.sin_port);
    }

    [[noreturn]] void serve() {
        epoll_event events[256];
        for (;;) {
            const int n = ::epoll_wait(epoll_, events, 256, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                die_errno("epoll_wait");
            }
            for (int i = 0; i < n; ++i) {
                auto* c = static_cast<Connection*>(events[i].data.ptr);
                if (!c) {
                    accept_all();
                } else if (events[i].events & EPOLLOUT) {
                    flush(c);
                } else {
                    read_from(c);
                }
            }
        }
    }

  private:
    void watch(int fd, uint32_t events, Connection* c) {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = c;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) die_errno("epoll_ctl");
    }

    void rewatch(Connection* c, uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = c;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c->fd, &ev);
    }

    void accept_all() {
        for (int listener : {tcp_listener_, unix_listener_}) {
            for (;;) {
                const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) break;
                if (listener == tcp_listener_) no_delay(fd);
                auto* c = new Connection;
                c->fd = fd;
                watch(fd, EPOLLIN, c);
            }
        }
    }

    void drop(Connection* c) {
        ::close(c->fd);
        delete c;
    }

    // Sends what fits now; the rest waits for EPOLLOUT. False when the peer is gone.
    bool send_now(Connection* c, const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(c->fd, data, size, MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                c->pending.append(data, size);
                rewatch(c, EPOLLOUT);
                return true;
            }
            return false;
        }
        return true;
    }

    void flush(Connection* c) {
        std::string rest;
        rest.swap(c->pending);
        if (!send_now(c, rest.data(), rest.size())) return drop(c);
        if (c->pending.empty()) rewatch(c, EPOLLIN);
    }

    void read_from(Connection* c) {
        // A bounded number of reads per wake-up keeps one busy stream from
        // starving the others.
        for (int round = 0; round < 64; ++round) {
            const ssize_t n = ::recv(c->fd, g_buffer, kBufferSize, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) return;
                return drop(c);
            }
            if (n == 0) {
                if (c->mode == 'D') {
                    char answer[8];
                    std::memcpy(answer, &c->count, sizeof answer);
                    (void)!::send(c->fd, answer, sizeof answer, MSG_NOSIGNAL);
                }
                return drop(c);
            }
            size_t offset = 0;
            if (c->mode == 0) {
                c->mode = g_buffer[0];
                if (c->mode == 'D') offset = 1;
            }
            if (c->mode == 'D') {
                c->count += static_cast<uint64_t>(n) - offset;
            } else {
                if (!send_now(c, g_buffer, static_cast<size_t>(n))) return drop(c);
                if (!c->pending.empty()) return;
            }
        }
    }

    int epoll_ = -1;
    int tcp_listener_ = -1;
    int unix_listener_ = -1;
};

int server(const std::string& unix_path) {
    raise_descriptor_limit();
    Sink sink(unix_path);
    const std::string line = "tcp " + std::to_string(sink.tcp_port()) + "\n";
    if (::write(1, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        die_errno("write");
    }
    sink.serve();
}

int throughput(const Address& to, uint64_t bytes) {
    for (size_t i = 0; i < kBufferSize; ++i) g_buffer[i] = static_cast<char>(i * 131 + 7);
    const double start = now_seconds();
    const int fd = connect_or_die(to);
    send_all(fd, "D", 1);
    for (uint64_t left = bytes; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kBufferSize));
        send_all(fd, g_buffer, n);
        left -= n;
    }
    ::shutdown(fd, SHUT_WR);
    uint64_t arrived = 0;
    char answer[8];
    if (!recv_exact(fd, answer, sizeof answer)) die("the sink never answered the byte count");
    std::memcpy(&arrived, answer, sizeof answer);
    const double seconds = now_seconds() - start;
    ::close(fd);
    if (arrived != bytes) {
        die("sent " + std::to_string(bytes) + " bytes, the sink got " + std::to_string(arrived));
    }
    std::printf("%.9f\n", seconds);
    return 0;
}

int rtt(const Address& to, uint64_t count) {
    if (count == 0) die("rtt needs at least one round trip");
    const int fd = connect_or_die(to);
    if (to.tcp) no_delay(fd);
    char byte = 'E';
    send_all(fd, &byte, 1);
    if (!recv_exact(fd, &byte, 1) || byte != 'E') die("no echo");
    std::vector<int64_t> samples(count);
    for (uint64_t i = 0; i < count; ++i) {
        const char out = static_cast<char>('a' + i % 26);
        const int64_t t0 = now_ns();
        send_all(fd, &out, 1);
        if (!recv_exact(fd, &byte, 1)) die("the echo ended early");
        samples[i] = now_ns() - t0;
        if (byte != out) die("the echo brought a different byte");
    }
    ::close(fd);
    double sum = 0;
    for (int64_t s : samples) sum += static_cast<double>(s);
    std::sort(samples.begin(), samples.end());
    const size_t p99 = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(count))) - 1;
    std::printf("%.3f %.3f %.3f\n", static_cast<double>(samples[count / 2]) / 1e3,
                static_cast<double>(samples[p99]) / 1e3, sum / static_cast<double>(count) / 1e3);
    return 0;
}

int connrate(const Address& to, uint64_t count) {
    const double start = now_seconds();
    for (uint64_t i = 0; i < count; ++i) {
        const int fd = connect_or_die(to);
        char byte = 'E';
        send_all(fd, &byte, 1);
        if (!recv_exact(fd, &byte, 1) || byte != 'E')
            die("connection " + std::to_string(i) + " got no answer");
        ::close(fd);
    }
    const double seconds = now_seconds() - start;
    std::printf("%.3f\n", static_cast<double>(count) / seconds);
    return 0;
}

int hold(const Address& to, uint64_t count) {
    raise_descriptor_limit();
    std::vector<int> fds;
    fds.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        const int fd = connect_or_die(to);
        char byte = 'E';
        send_all(fd, &byte, 1);
        if (!recv_exact(fd, &byte, 1)) die("connection " + std::to_string(i) + " got no answer");
        fds.push_back(fd);
    }
    if (::write(1, "ready\n", 6) != 6) die_errno("write");
    char ignored[256];
    while (::read(0, ignored, sizeof ignored) > 0) {
    }
    for (int fd : fds) ::close(fd);
    return 0;
}

// One keep-alive client of the http load: its request goes out, then the
// head of the answer is read up to its blank line, then Content-Length bytes
// of body.
struct HttpClient {
    int fd = -1;
    int64_t started_ns = 0;
    std::string head;        // of the answer, until its blank line
    uint64_t body_left = 0;  // once the head is complete
    bool in_body = false;
};

uint64_t content_length(const std::string& head) {
    std::string lower(head);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) die("an answer without Content-Length: " + head.substr(0, 200));
    size_t i = at + 17;
    while (i < lower.size() && lower[i] == ' ') ++i;
    uint64_t value = 0;
    for (; i < lower.size() && lower[i] >= '0' && lower[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(lower[i] - '0');
    }
    if (head.compare(0, 12, "HTTP/1.1 200") != 0) die("not a 200 answer: " + head.substr(0, 200));
    return value;
}

int http(const Address& to, uint64_t conns, double seconds, const std::string& path, uint64_t bytes,
         bool close_each) {
    raise_descriptor_limit();
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: bench\r\n";
    if (close_each) request += "Connection: close\r\n";
    request += "X-Pad: ";
    const std::string end = "\r\n\r\n";
    if (bytes < request.size() + end.size()) die("the request needs more bytes");
    request.append(bytes - request.size() - end.size(), 'p');
    request += end;

    // A request fits the socket's buffer whole: no client sends its next one
    // before the answer to the last has come.
    auto ask = [&](const HttpClient& c) {
        for (size_t sent = 0; sent < request.size();) {
            const ssize_t w =
                ::send(c.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) die_errno("send");
            sent += static_cast<size_t>(w);
        }
    };
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) die_errno("epoll_create1");
    auto open = [&](HttpClient& c) {
        c.started_ns = now_ns();
        c.fd = connect_or_die(to);
        if (to.tcp) no_delay(c.fd);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = &c;
        if (::epoll_ctl(epoll, EPOLL_CTL_ADD, c.fd, &ev) != 0) die_errno("epoll_ctl");
    };
    std::vector<HttpClient> clients(conns);
    std::vector<int64_t> latencies;
    uint64_t answers = 0;
    const double start = now_seconds();
    const double stop = start + seconds;
    for (auto& c : clients) {
        open(c);
        ask(c);
    }
    epoll_event events[256];
    double now = start;
    while (now < stop) {
        const int n = ::epoll_wait(epoll, events, 256, 100);
        if (n < 0 && errno != EINTR) die_errno("epoll_wait");
        for (int i = 0; i < n; ++i) {
            auto& c = *static_cast<HttpClient*>(events[i].data.ptr);
            const ssize_t r = ::recv(c.fd, g_buffer, kBufferSize, MSG_DONTWAIT);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (r < 0) die_errno("recv");
            if (r == 0) die("the server ended a keep-alive connection");
            auto got = static_cast<uint64_t>(r);
            if (!c.in_body) {
                c.head.append(g_buffer, static_cast<size_t>(r));
                const size_t blank = c.head.find("\r\n\r\n");
                if (blank == std::string::npos) continue;
                c.body_left = content_length(c.head);
                got = c.head.size() - (blank + 4);
                c.in_body = true;
            }
            if (got > c.body_left) die("more bytes than the answer holds");
            c.body_left -= got;
            if (c.body_left > 0) continue;
            ++answers;
            c.head.clear();
            c.in_body = false;
            if (close_each) {
                latencies.push_back(now_ns() - c.started_ns);
                ::close(c.fd);
                open(c);
            }
            ask(c);
        }
        now = now_seconds();
    }
    for (auto& c : clients) ::close(c.fd);
    if (!close_each) {
        std::printf("%.1f\n", static_cast<double>(answers) / (now - start));
        return 0;
    }
    if (latencies.empty()) die("no answer came");
    std::sort(latencies.begin(), latencies.end());
    const size_t n = latencies.size();
    const size_t p99 = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1;
    const auto slow = static_cast<size_t>(
        latencies.end() - std::upper_bound(latencies.begin(), latencies.end(), 30'000'000));
    std::printf("%.1f %.1f %.1f %.3f\n", static_cast<double>(answers) / (now - start),
                static_cast<double>(latencies[n / 2]) / 1e3,
                static_cast<double>(latencies[p99]) / 1e3,
                100.0 * static_cast<double>(slow) / static_cast<double>(n));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "server") return server(args[1]);
    if (args.size() == 3) {
        const Address to = parse_address(args[1]);
        const uint64_t n = parse_count(args[2]);
        if (args[0] == "throughput") return throughput(to, n);
        if (args[0] == "rtt") return rtt(to, n);
        if (args[0] == "connrate") return connrate(to, n);
        if (args[0] == "hold") return hold(to, n);
    }
    if ((args.size() == 6 || (args.size() == 7 && args[6] == "close")) && args[0] == "http") {
        return http(parse_address(args[1]), parse_count(args[2]), std::stod(args[3]), args[4],
                    parse_count(args[5]), args.size() == 7);
    }
    die("usage: bench_net server UNIX_PATH | {throughput|rtt|connrate|hold} ADDR N | "
        "http ADDR CONNS SECONDS PATH BYTES [close]");
}
