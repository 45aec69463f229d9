#include "relay/listeners.h"

#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/io.h"
#include "base/path.h"
#include "base/text.h"
#include "relay/relay_process.h"
#include "relay/sockets.h"

namespace vorn {
namespace {

// Only a socket left behind by an earlier relay is cleared away: a mistyped
// path must never cost the user a file. Anything else at the path stays and is
// refused as existing, which names the cause; the bind would only say that
// the address is in use.
std::expected<void, Error> clear_socket_path(const std::string& path) {
    struct stat st;
    if (has_nul(path) || ::lstat(path.c_str(), &st) != 0) return {};
    if (!S_ISSOCK(st.st_mode)) return std::unexpected(Error::system(EEXIST));
    ::unlink(path.c_str());
    return {};
}

}  // namespace

std::expected<ListenerSet, std::string> set_up_listeners(std::span<const TcpSpec> tcp_specs,
                                                         std::span<const UnixSpec> unix_specs) {
    // On any return before the end, the set is dropped and closes every socket
    // made so far.
    ListenerSet set;
    for (const TcpSpec& spec : tcp_specs) {
        TcpListener listener{{}, spec.socket_path, spec.port};
        auto v4 = listen_tcp_loopback(AF_INET, spec.port);
        if (!v4) {
            return std::unexpected("cannot listen on 127.0.0.1:" + std::to_string(spec.port) +
                                   " (" + error_text(v4.error()) +
                                   "). Something in the image already uses that port.");
        }
        listener.sockets.push_back(std::move(*v4));
        // A container without IPv6 is served on 127.0.0.1 alone.
        if (auto v6 = listen_tcp_loopback(AF_INET6, spec.port)) {
            listener.sockets.push_back(std::move(*v6));
        }
        set.tcp.push_back(std::move(listener));
    }
    for (const UnixSpec& spec : unix_specs) {
        if (auto parent = parent_path(spec.socket_path); parent && !parent->empty()) {
            if (auto made = make_dirs(*parent, 0777); !made) {
                return std::unexpected("cannot create " + display_form(*parent) + " (" +
                                       error_text(made.error()) + ")");
            }
        }
        auto cleared = clear_socket_path(spec.socket_path);
        auto socket = cleared ? listen_unix(spec.socket_path)
                              : std::expected<UniqueFd, Error>(std::unexpected(cleared.error()));
        if (!socket) {
            return std::unexpected("cannot listen on " + display_form(spec.socket_path) + " (" +
                                   error_text(socket.error()) + ")");
        }
        set.unix_listeners.push_back({std::move(*socket), spec.socket_path, spec.port});
    }
    return set;
}

std::expected<void, Error> start_relay_process(ListenerSet listeners,
                                               const std::optional<std::string>& home) {
    // The relay process takes its own copies through the fork; the caller's
    // are closed before this returns, whatever the outcome.
    ListenerSet own = std::move(listeners);
    const pid_t starter = ::fork();
    if (starter < 0) return std::unexpected(Error::last_system());
    if (starter == 0) {
        // A session of its own leaves the relay without a controlling
        // terminal; the second fork makes sure it never gains one again.
        (void)::setsid();
        const pid_t relay = ::fork();
        if (relay < 0) ::_exit(1);
        if (relay > 0) ::_exit(0);
        run_relay_process(std::move(own), home);
    }
    own = {};
    int status = 0;
    if (retry_on_eintr([&] { return ::waitpid(starter, &status, 0); }) < 0) {
        return std::unexpected(Error::last_system());
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::unexpected(Error::own("the relay process did not start"));
    }
    return {};
}

}  // namespace vorn
