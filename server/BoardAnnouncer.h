#pragma once

#include "ListeningSockets.h"

#include <memory>
#include <string>
#include <vector>

namespace kolvaro {

// Announces the board on the network through the Avahi daemon, for as long
// as it lives: one DNS-SD service per listening port, named `name` (the
// first) or `name` with the port added, with `txt` ("field=value") as its
// TXT record. A name someone else holds on the network is replaced by the
// usual alternative ("NAME #2") for every port. Without a daemon it says so
// once on standard error and announces when one appears; nothing here ever
// stops the serving. Destroying it withdraws the announcement.
class BoardAnnouncer {
public:
    BoardAnnouncer(std::string name, std::vector<ListeningPort> ports,
                   std::vector<std::string> txt);
    ~BoardAnnouncer();
    BoardAnnouncer(const BoardAnnouncer&) = delete;
    BoardAnnouncer& operator=(const BoardAnnouncer&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kolvaro
