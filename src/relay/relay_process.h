#pragma once

#include <optional>
#include <string>

#include "relay/listeners.h"

namespace vorn {

// Serves the listeners: one accept loop thread per listening socket, waited
// for in order. Returns only if every loop failed to start.
void run_relay(ListenerSet listeners);

// The relay process from its first instruction to its end: detaches its
// signals and standard streams from the terminal, opens the relay log in the
// home folder (none where home is unset or empty) and runs the relay. Called
// in a freshly forked child of a single-threaded process; never returns.
[[noreturn]] void run_relay_process(ListenerSet listeners, const std::optional<std::string>& home);

}  // namespace vorn
