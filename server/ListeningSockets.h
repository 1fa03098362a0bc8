#pragma once

#include <vector>

namespace kolvaro {

// A TCP port this process listens on, and the interface it listens on (0
// when it listens on every interface).
struct ListeningPort {
    int interfaceIndex = 0;
    int port = 0;
    bool operator==(const ListeningPort&) const = default;
};

// The TCP sockets this process listens on now, as the kernel has them:
// whatever endpoints the ORB was given or publishes, these are the ones a
// client can connect to. One entry per interface and port.
std::vector<ListeningPort> listeningPorts();

} // namespace kolvaro
