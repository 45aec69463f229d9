#include "relay/listeners.h"

namespace vorn {

std::expected<ListenerSet, std::string> set_up_listeners(std::span<const TcpSpec>,
                                                         std::span<const UnixSpec>) {
    return std::unexpected(std::string("not built yet"));
}
std::expected<void, Error> start_relay_process(ListenerSet) {
    return std::unexpected(Error::own("not built yet"));
}

}  // namespace vorn
