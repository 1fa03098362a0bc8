#pragma once

// How a board is announced on the network (DNS-SD over multicast DNS): a
// service of this type per TCP endpoint, whose TXT record says how to reach
// the server object there: corbaloc::HOST:PORT/KEY.
namespace kolvaro::announcement {

inline constexpr const char* kServiceType = "_kolvaro._tcp";
// The object key to put after the address.
inline constexpr const char* kKeyField = "key";
// The same for every endpoint of one server process: a client offers them as one board.
inline constexpr const char* kIdField = "id";

} // namespace kolvaro::announcement
