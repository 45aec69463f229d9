#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vorn {

// What one fetch asks the host's clipboard service for.
struct ClipboardRequest {
    enum class Kind { list_types, image };
    Kind kind = Kind::list_types;
    std::string type;  // the media type of an image, as the shim received it

    static ClipboardRequest list_types() { return {Kind::list_types, {}}; }
    static ClipboardRequest image(std::string type) { return {Kind::image, std::move(type)}; }
    bool operator==(const ClipboardRequest&) const = default;
};

// The request as it goes on the wire: "TYPES\n" or "IMAGE {type}\n".
std::string request_bytes(const ClipboardRequest& request);

// How a fetch ended. A failure carries the text shown to the user; a broken
// pipe (standard output lost its reader) carries none.
struct FetchDone {};
struct FetchFailed {
    std::string message;
};
struct FetchBrokenPipe {};
using FetchOutcome = std::variant<FetchDone, FetchFailed, FetchBrokenPipe>;

// The service's answer line, read.
struct AnswerOk {
    uint64_t size = 0;
};
struct AnswerErr {
    std::string text;
};
struct AnswerUnreadable {};
using Answer = std::variant<AnswerOk, AnswerErr, AnswerUnreadable>;

// Parses one answer line (valid UTF-8, its line feed included if it had one):
// trailing Unicode White_Space is no part of the answer.
Answer parse_answer(std::string_view line);

// The value of VORN_CLIP_SOCK whenever it is set, even empty; otherwise the
// host's socket.
std::string clipboard_socket_path(const std::optional<std::string>& clip_sock);

// One fetch: connects to socket_path, sends the request, reads the answer and
// streams the body to out_fd. Writes nothing else anywhere. out_fd must not
// raise SIGPIPE (the caller ignores it) so that a vanished reader is seen as
// EPIPE.
FetchOutcome fetch_clipboard(const std::string& socket_path, const ClipboardRequest& request,
                             int out_fd);

// The part of a fetch after the connection: request, answer and body on the
// connected socket sock.
FetchOutcome exchange_with_service(int sock, const ClipboardRequest& request, int out_fd);

}  // namespace vorn
