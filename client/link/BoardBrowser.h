#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kolvaro {

// A board announced on the network: its name, the object key its TXT record
// gives, and the addresses ("HOST:PORT" as a corbaloc address has them) at
// which it was announced, IPv4 first.
struct AnnouncedBoard {
    std::string name;
    std::string key;
    std::vector<std::string> addresses;
};

struct BrowseResult {
    std::vector<AnnouncedBoard> boards; // by name
    std::string trouble;                // why nothing could be asked, e.g. no daemon
};

// Asks the Avahi daemon which boards are announced on the network and
// resolves them: returns once the daemon has told what it knows and every
// announcement is resolved, and within `bound` whatever the neighbours
// announce. Announcements of one board (one per interface and protocol, one
// per port of a server) come back as one. Blocks the calling thread.
BrowseResult browseBoards(std::chrono::milliseconds bound);

} // namespace kolvaro
