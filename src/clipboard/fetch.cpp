#include "clipboard/fetch.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <expected>
#include <optional>

#include "base/error.h"
#include "base/io.h"
#include "base/number.h"
#include "base/socket_address.h"
#include "base/text.h"
#include "base/unique_fd.h"

namespace vorn {
namespace {

constexpr const char* kDefaultSocketPath = "/var/host-services/vorn-clip.sock";

// Both the answer line's read buffer and the body's copy buffer; whatever
// the image size, these two are all the memory a fetch holds.
constexpr size_t kBufferSize = 8192;
constexpr size_t kMaxAnswerLine = 1024;

constexpr const char* kNotAvailable =
    "the Mac clipboard is not available in this session, because the session started without a "
    "terminal.";
constexpr const char* kRefused = "the Mac clipboard does not answer. The session may be ending.";
constexpr const char* kUnreadable = "the Mac clipboard sent an answer that cannot be read";
constexpr const char* kCutShort = "the image arrived cut short";

std::string with_error(std::string_view lead, const Error& error) {
    std::string out(lead);
    out.append(" (");
    out.append(error_text(error));
    out.push_back(')');
    return out;
}

std::expected<UniqueFd, Error> connect_to(const std::string& path) {
    // An empty path names no socket at all: it is refused as the system
    // refuses an empty address, not reported as a clipboard that the session
    // lacks.
    if (path.empty()) return std::unexpected(Error::system(EINVAL));
    const auto address = unix_socket_address(path);
    if (!address) return std::unexpected(address.error());
    UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) return std::unexpected(Error::last_system());
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address->addr), address->length) !=
        0) {
        return std::unexpected(Error::last_system());
    }
    return sock;
}

std::string connect_failure(const Error& error) {
    if (error.code == ENOENT) return kNotAvailable;
    if (error.code == ECONNREFUSED) return kRefused;
    return with_error("cannot reach the Mac clipboard", error);
}

// Writes one piece of the body; on failure, the outcome the fetch ends with.
std::optional<FetchOutcome> pass_on(int out_fd, std::string_view piece) {
    const auto written = write_all(out_fd, piece);
    if (written) return std::nullopt;
    if (written.error().code == EPIPE) return FetchBrokenPipe{};
    return FetchFailed{with_error("the image did not arrive", written.error())};
}

}  // namespace

std::string request_bytes(const ClipboardRequest& request) {
    if (request.kind == ClipboardRequest::Kind::list_types) return "TYPES\n";
    return "IMAGE " + request.type + "\n";
}

Answer parse_answer(std::string_view line) {
    const std::string_view text = trim_trailing_white_space(line);
    if (text.starts_with("ERR ")) return AnswerErr{std::string(text.substr(4))};
    if (text.starts_with("OK ")) {
        // A size: an optional "+", then one or more digits, within 64 bits.
        if (const auto size = parse_unsigned(text.substr(3), UINT64_MAX)) return AnswerOk{*size};
    }
    return AnswerUnreadable{};
}

std::string clipboard_socket_path(const std::optional<std::string>& clip_sock) {
    return clip_sock.value_or(kDefaultSocketPath);
}

FetchOutcome fetch_clipboard(const std::string& socket_path, const ClipboardRequest& request,
                             int out_fd) {
    const auto sock = connect_to(socket_path);
    if (!sock) return FetchFailed{connect_failure(sock.error())};
    return exchange_with_service(sock->get(), request, out_fd);
}

FetchOutcome exchange_with_service(int sock, const ClipboardRequest& request, int out_fd) {
    if (const auto sent = send_all(sock, request_bytes(request)); !sent) {
        return FetchFailed{with_error("cannot ask the Mac clipboard", sent.error())};
    }

    // The answer line: up to its line feed, the end of the stream, or 1024
    // bytes. Whatever else the same reads brought is the start of the body.
    char read_buf[kBufferSize];
    size_t have = 0;
    size_t searched = 0;
    size_t line_len = 0;
    bool ended = false;
    for (;;) {
        const size_t limit = std::min(have, kMaxAnswerLine);
        const void* feed = std::memchr(read_buf + searched, '\n', limit - searched);
        if (feed) {
            line_len = static_cast<size_t>(static_cast<const char*>(feed) - read_buf) + 1;
            break;
        }
        searched = limit;
        if (have >= kMaxAnswerLine || ended) {
            line_len = limit;
            break;
        }
        const ssize_t n = recv_retry(sock, read_buf + have, sizeof read_buf - have);
        if (n < 0)
            return FetchFailed{
                with_error("no answer from the Mac clipboard", Error::last_system())};
        if (n == 0) ended = true;
        have += static_cast<size_t>(n);
    }
    const std::string_view line(read_buf, line_len);
    if (!is_valid_utf8(line)) {
        return FetchFailed{
            with_error("no answer from the Mac clipboard", Error::own(kInvalidUtf8))};
    }

    const Answer answer = parse_answer(line);
    if (const auto* refused = std::get_if<AnswerErr>(&answer)) return FetchFailed{refused->text};
    const auto* ok = std::get_if<AnswerOk>(&answer);
    if (!ok) return FetchFailed{kUnreadable};

    uint64_t left = ok->size;
    std::string_view early(read_buf + line_len, have - line_len);
    if (early.size() > left) early = early.substr(0, static_cast<size_t>(left));
    if (!early.empty()) {
        if (auto failed = pass_on(out_fd, early)) return *failed;
        left -= early.size();
    }

    char copy_buf[kBufferSize];
    while (left > 0) {
        if (ended) return FetchFailed{kCutShort};
        // Never ask for more than the body still owes: what lies beyond it is ignored.
        const ssize_t n = recv_retry(
            sock, copy_buf, static_cast<size_t>(std::min<uint64_t>(left, sizeof copy_buf)));
        if (n < 0) return FetchFailed{with_error("the image did not arrive", Error::last_system())};
        if (n == 0) {
            ended = true;
            continue;
        }
        if (auto failed = pass_on(out_fd, std::string_view(copy_buf, static_cast<size_t>(n)))) {
            return *failed;
        }
        left -= static_cast<uint64_t>(n);
    }
    // Every byte went out through write(2) with no buffer of our own, so the
    // body is already with the reader and there is nothing left to flush.
    return FetchDone{};
}

}  // namespace vorn
