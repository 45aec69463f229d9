#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/unique_fd.h"
#include "relay/listen_options.h"

namespace vorn {

struct TcpListener {
    std::vector<UniqueFd> sockets;  // 127.0.0.1 always, then [::1] when it could be made
    std::string target_path;
    uint16_t port = 0;
};

struct UnixListener {
    UniqueFd socket;
    std::string path;
    uint16_t target_port = 0;
};

struct ListenerSet {
    std::vector<TcpListener> tcp;
    std::vector<UnixListener> unix_listeners;
};

// Binds every listener in the first copy; the first failure closes all that
// was made and returns the message (without "[launch] ").
std::expected<ListenerSet, std::string> set_up_listeners(std::span<const TcpSpec> tcp_specs,
                                                         std::span<const UnixSpec> unix_specs);

// Forks the starter process, which detaches the relay process and exits; the
// relay keeps its log in home (see run_relay_process). The caller's copies of
// the listening sockets are closed either way. The error is a system error,
// or the own error "the relay process did not start".
std::expected<void, Error> start_relay_process(ListenerSet listeners,
                                               const std::optional<std::string>& home);

}  // namespace vorn
