// Everything the clipboard service sends back to one request, through a real
// socket: the answer line, found within its 1024 bytes, and the body, which
// must reach the output byte for byte and no further than its size.

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <variant>

#include "base/io.h"
#include "clipboard/fetch.h"
#include "fuzz_support.h"

namespace {

constexpr size_t kMaxAnswerLine = 1024;

// Everything the descriptor gives until its end: the rest of a socket, or a
// memory file from its start.
std::string read_back(int fd, bool from_start) {
    if (from_start && ::lseek(fd, 0, SEEK_SET) != 0) std::abort();
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = vorn::read_retry(fd, buf, sizeof buf);
        if (n < 0) std::abort();
        if (n == 0) return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // All of it must fit the socket's buffer, since nobody reads while it is written.
    if (size > 65536) return 0;
    const vfuzz::HeapBytes input(data, size);
    const std::string_view sent = input.view();

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    const int ours = pair[0];
    const int service = pair[1];
    if (!vorn::write_all(service, sent) || ::shutdown(service, SHUT_WR) != 0) std::abort();
    const int out = ::memfd_create("body", MFD_CLOEXEC);
    if (out < 0) std::abort();

    const auto request = vorn::ClipboardRequest::image("image/png");
    const vorn::FetchOutcome outcome = vorn::exchange_with_service(ours, request, out);
    ::close(ours);
    VFUZZ_CHECK(read_back(service, false) == "IMAGE image/png\n");
    ::close(service);
    const std::string written = read_back(out, true);
    ::close(out);

    const size_t feed = sent.substr(0, kMaxAnswerLine).find('\n');
    const size_t line_length =
        feed == std::string_view::npos ? std::min(sent.size(), kMaxAnswerLine) : feed + 1;
    const std::string_view line = sent.substr(0, line_length);
    const std::string_view body = sent.substr(line_length);

    if (!vfuzz::is_utf8(line)) {
        const auto* failed = std::get_if<vorn::FetchFailed>(&outcome);
        VFUZZ_CHECK(failed && failed->message.starts_with("no answer from the Mac clipboard ("));
        VFUZZ_CHECK(written.empty());
        return 0;
    }
    const vorn::Answer answer = vorn::parse_answer(line);
    if (const auto* ok = std::get_if<vorn::AnswerOk>(&answer)) {
        if (body.size() >= ok->size) {
            VFUZZ_CHECK(std::holds_alternative<vorn::FetchDone>(outcome));
            VFUZZ_CHECK(written == body.substr(0, ok->size));
        } else {
            const auto* failed = std::get_if<vorn::FetchFailed>(&outcome);
            VFUZZ_CHECK(failed && failed->message == "the image arrived cut short");
            VFUZZ_CHECK(written == body);
        }
        return 0;
    }
    VFUZZ_CHECK(written.empty());
    const auto* failed = std::get_if<vorn::FetchFailed>(&outcome);
    VFUZZ_CHECK(failed != nullptr);
    if (const auto* err = std::get_if<vorn::AnswerErr>(&answer)) {
        VFUZZ_CHECK(failed->message == err->text);
    } else {
        VFUZZ_CHECK(failed->message == "the Mac clipboard sent an answer that cannot be read");
    }
    return 0;
}
