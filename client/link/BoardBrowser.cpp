#include "BoardBrowser.h"

#include "Announcement.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>

#include <net/if.h>

#include <algorithm>
#include <map>

namespace kolvaro {

namespace {

struct Announcement {
    std::string id, key;
    std::vector<std::string> addresses;
};

struct Browse {
    AvahiClient* client = nullptr;
    bool allForNow = false;
    bool failed = false;
    int resolving = 0;
    std::map<std::string, Announcement> byName;
};

// What a connection can use: an IPv6 link-local address only with its interface.
std::string addressOf(const AvahiAddress& a, AvahiIfIndex interface, uint16_t port) {
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    avahi_address_snprint(text, sizeof text, &a);
    std::string host = text;
    if (a.proto == AVAHI_PROTO_INET6) {
        const bool linkLocal =
            a.data.ipv6.address[0] == 0xfe && (a.data.ipv6.address[1] & 0xc0) == 0x80;
        char name[IF_NAMESIZE] = {};
        if (linkLocal && if_indextoname(static_cast<unsigned>(interface), name))
            host += std::string("%") + name;
        host = "[" + host + "]";
    }
    return host + ":" + std::to_string(port);
}

std::string field(AvahiStringList* txt, const char* name) {
    AvahiStringList* item = avahi_string_list_find(txt, name);
    char *key = nullptr, *value = nullptr;
    std::string out;
    if (item && avahi_string_list_get_pair(item, &key, &value, nullptr) == 0 && value)
        out = value;
    avahi_free(key);
    avahi_free(value);
    return out;
}

void resolved(AvahiServiceResolver* r, AvahiIfIndex interface, AvahiProtocol,
              AvahiResolverEvent event, const char* name, const char*, const char*, const char*,
              const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
              AvahiLookupResultFlags, void* data) {
    auto& b = *static_cast<Browse*>(data);
    --b.resolving;
    if (event == AVAHI_RESOLVER_FOUND && address) {
        Announcement& a = b.byName[name];
        a.id = field(txt, announcement::kIdField);
        a.key = field(txt, announcement::kKeyField);
        const std::string at = addressOf(*address, interface, port);
        if (std::find(a.addresses.begin(), a.addresses.end(), at) == a.addresses.end())
            a.addresses.push_back(at);
    }
    avahi_service_resolver_free(r);
}

void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* data) {
    auto& b = *static_cast<Browse*>(data);
    switch (event) {
    case AVAHI_BROWSER_NEW:
        // Each protocol's announcement gives that protocol's address.
        if (avahi_service_resolver_new(b.client, interface, protocol, name, type, domain, protocol,
                                       AvahiLookupFlags(0), resolved, &b))
            ++b.resolving;
        break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
        b.allForNow = true;
        break;
    case AVAHI_BROWSER_FAILURE:
        b.failed = true;
        break;
    default:
        break;
    }
}

// One board per server: the announcements of its other ports join the one
// with the shortest name.
std::vector<AnnouncedBoard> merged(const std::map<std::string, Announcement>& byName) {
    std::vector<AnnouncedBoard> boards;
    std::map<std::string, std::size_t> byId;
    for (const auto& [name, a] : byName) {
        if (a.addresses.empty())
            continue;
        auto known = a.id.empty() ? byId.end() : byId.find(a.id);
        if (known == byId.end()) {
            if (!a.id.empty())
                byId[a.id] = boards.size();
            boards.push_back({name, a.key, a.addresses});
            continue;
        }
        AnnouncedBoard& board = boards[known->second];
        if (name.size() < board.name.size())
            board.name = name;
        board.addresses.insert(board.addresses.end(), a.addresses.begin(), a.addresses.end());
    }
    for (AnnouncedBoard& board : boards) // IPv4 first
        std::stable_partition(board.addresses.begin(), board.addresses.end(),
                              [](const std::string& at) { return !at.starts_with("["); });
    std::sort(boards.begin(), boards.end(),
              [](const auto& x, const auto& y) { return x.name < y.name; });
    return boards;
}

} // namespace

BrowseResult browseBoards(std::chrono::milliseconds listen, std::chrono::milliseconds bound) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now(), deadline = start + bound;
    BrowseResult result;
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (!poll) {
        result.trouble = "out of memory";
        return result;
    }
    Browse b;
    int error = 0;
    b.client = avahi_client_new(avahi_simple_poll_get(poll), AvahiClientFlags(0), nullptr, nullptr,
                                &error);
    if (!b.client) {
        result.trouble = avahi_strerror(error);
    } else if (!avahi_service_browser_new(b.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                          announcement::kServiceType, nullptr, AvahiLookupFlags(0),
                                          browsed, &b)) {
        result.trouble = avahi_strerror(avahi_client_errno(b.client));
    } else {
        for (auto now = start; !b.failed && now < deadline; now = Clock::now()) {
            if (now >= start + listen)
                b.allForNow = true;
            if (b.allForNow && b.resolving == 0)
                break;
            const auto until = b.allForNow ? deadline : std::min(deadline, start + listen);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
            if (avahi_simple_poll_iterate(poll, static_cast<int>(left.count()) + 1) != 0)
                break;
        }
        result.boards = merged(b.byName);
    }
    // Frees the browser and any resolver still waiting.
    if (b.client)
        avahi_client_free(b.client);
    avahi_simple_poll_free(poll);
    return result;
}

} // namespace kolvaro
