#include "ListeningSockets.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace kolvaro {

namespace {

// The inodes of this process's sockets, from the links in /proc/self/fd.
std::set<unsigned long> ownSocketInodes() {
    std::set<unsigned long> inodes;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && target.starts_with("socket:["))
            inodes.insert(std::stoul(target.substr(8)));
    }
    return inodes;
}

// The interface that holds `address` (family AF_INET or AF_INET6, in network
// order), or 0 for the unspecified address or one no interface holds.
int interfaceHolding(int family, const unsigned char* address, std::size_t size) {
    if (std::all_of(address, address + size, [](unsigned char b) { return b == 0; }))
        return 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    int found = 0;
    for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != family)
            continue;
        const void* held =
            family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr)
                : static_cast<const void*>(
                      &reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr);
        if (std::memcmp(held, address, size) == 0)
            found = static_cast<int>(if_nametoindex(a->ifa_name));
    }
    freeifaddrs(list);
    return found;
}

// Lines of /proc/self/net/tcp or tcp6: "sl local_address rem_address st ...
// inode", the address as 32-bit words in hexadecimal, each in host order.
void addListening(const char* table, int family, const std::set<unsigned long>& own,
                  std::vector<ListeningPort>& out) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line); // the header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, skip;
        unsigned long inode = 0;
        fields >> slot >> local >> remote >> state;
        for (int i = 0; i < 5; ++i) // tx_queue:rx_queue tr:when retrnsmt uid timeout
            fields >> skip;
        fields >> inode;
        const auto colon = local.find(':');
        if (!fields || state != "0A" || !own.count(inode) || colon == std::string::npos)
            continue;
        unsigned char address[16] = {};
        const std::size_t words = colon / 8;
        for (std::size_t w = 0; w < words && w < 4; ++w) {
            const auto word =
                static_cast<std::uint32_t>(std::stoul(local.substr(w * 8, 8), nullptr, 16));
            std::memcpy(address + w * 4, &word, 4);
        }
        const ListeningPort port{
            interfaceHolding(family, address, words * 4),
            static_cast<int>(std::stoul(local.substr(colon + 1), nullptr, 16))};
        if (std::find(out.begin(), out.end(), port) == out.end())
            out.push_back(port);
    }
}

} // namespace

std::vector<ListeningPort> listeningPorts() {
    const std::set<unsigned long> own = ownSocketInodes();
    std::vector<ListeningPort> ports;
    addListening("/proc/self/net/tcp", AF_INET, own, ports);
    addListening("/proc/self/net/tcp6", AF_INET6, own, ports);
    return ports;
}

} // namespace kolvaro
