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
// resolves them. Listens for announcements until the daemon says it has told
// what it knows, or for `listen` at most (its "all for now" comes after about
// a second, while boards on a network answer within a few hundred
// milliseconds), then waits for the resolves under way; returns within
// `bound` whatever the neighbours announce. Announcements of one board (one
// per interface and protocol, one per port of a server) come back as one.
// Blocks the calling thread.
BrowseResult browseBoards(std::chrono::milliseconds listen, std::chrono::milliseconds bound);

} // namespace kolvaro
