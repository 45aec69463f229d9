#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "relay/workers.h"

namespace vorn {

// Runs both directions of a connection, the answer direction on worker's
// thread, each with its own buffer, and returns when both are done; the connection behaves as a
// direct one would. The end of one side's stream ends the other side's stream while the other
// direction goes on. A failed send ends its own direction only, so an answer sent before the
// failure still arrives. A side that fails (a reset), or whose peer leaves without taking what was
// sent to it, is passed on as a reset of the other side, after every byte that came before it. The
// process must ignore SIGPIPE: a splice into a socket whose peer has gone raises it, whatever the
// flags.
void forward(UniqueFd client, UniqueFd target, ConnectionWorker& worker);

// A connection that arrived on 127.0.0.1:port or [::1]:port, carried to the
// Unix socket at target_path.
void handle_tcp_connection(UniqueFd connection, const std::string& target_path, uint16_t port,
                           ConnectionWorker& worker);

// A connection that arrived on the Unix socket at path, carried to TCP port
// target_port on loopback: 127.0.0.1 first, then [::1].
void handle_unix_connection(UniqueFd connection, const std::string& path, uint16_t target_port,
                            ConnectionWorker& worker);

enum class ListenerKind { tcp, unix_socket };

struct AcceptLoop {
    UniqueFd socket;
    ListenerKind kind = ListenerKind::tcp;
    std::string path;   // the target for a TCP listener, its own path for a Unix one
    uint16_t port = 0;  // its own port for a TCP listener, the target for a Unix one
};

// Accepts connections on loop.socket for ever, each served by a connection
// handler of its own (see serve_connection).
[[noreturn]] void run_accept_loop(AcceptLoop loop);

// What an accept failure costs: a shortage of memory or descriptors is written
// once per run of failures (while *reported is set) and then waited out for
// 100 ms; any other error passes without a word.
void note_accept_failure(std::string_view label, int error, bool* reported);

}  // namespace vorn
