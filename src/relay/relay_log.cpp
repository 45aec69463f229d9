#include "relay/relay_log.h"

#include <string.h>
#include <sys/uio.h>

#include <algorithm>
#include <charconv>

#include "base/io.h"

namespace vorn {
namespace {

RelayLog& process_log() {
    // Never destroyed: relay threads may still log while the process ends.
    static RelayLog* log = new RelayLog;
    return *log;
}

// The line and its end go out in one call, without a copy: a line that tells
// of a memory shortage must not need memory itself.
void write_line_and_end(int fd, std::string_view line) {
    char end = '\n';
    iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&end, 1}};
    iovec* next = parts;
    int count = 2;
    while (count > 0) {
        const ssize_t n = retry_on_eintr([&] { return ::writev(fd, next, count); });
        if (n <= 0) return;
        auto done = static_cast<size_t>(n);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}

}  // namespace

void RelayLog::write_line(std::string_view line) {
    const uint64_t size = line.size() + 1;
    const uint64_t before = offered_.fetch_add(size, std::memory_order_relaxed);
    if (before + size > kRelayLogCap) return;
    std::lock_guard hold(lock_);
    if (fd_) write_line_and_end(fd_.get(), line);
}

void RelayLog::reset(UniqueFd fd) {
    std::lock_guard hold(lock_);
    fd_ = std::move(fd);
    offered_.store(0, std::memory_order_relaxed);
}

void set_up_relay_log(UniqueFd fd) {
    process_log().reset(std::move(fd));
}

void relay_log_line(std::string_view line) {
    process_log().write_line(line);
}

void relay_log_system_error(std::string_view what, int code) {
    char text[256];
    size_t used = 0;
    auto put = [&](std::string_view piece) {
        const size_t n = std::min(piece.size(), sizeof text - used);
        std::copy_n(piece.data(), n, text + used);
        used += n;
    };
    char digits[16];
    const auto converted = std::to_chars(digits, digits + sizeof digits, code);
    const std::string_view number(digits, static_cast<size_t>(converted.ptr - digits));
    put(what);
    put(" (");
    if (const char* description = ::strerrordesc_np(code)) {
        put(description);
    } else {
        put("Unknown error ");
        put(number);
    }
    put(" (os error ");
    put(number);
    put("))");
    relay_log_line(std::string_view(text, used));
}

}  // namespace vorn
