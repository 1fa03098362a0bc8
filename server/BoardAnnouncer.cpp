#include "BoardAnnouncer.h"

#include "Announcement.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <cstdio>
#include <string>
#include <utility>

namespace kolvaro {

namespace {
// How often a missing system bus is asked for again (the Avahi library waits
// for a missing daemon by itself, but not for a missing bus).
constexpr int kBusRetrySeconds = 5;
} // namespace

// Everything below runs on the poll's thread, except the constructor and the
// destructor, which run before it starts and after it stops.
struct BoardAnnouncer::Impl {
    std::string name;
    std::vector<ListeningPort> ports;
    AvahiStringList* txt = nullptr;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    bool told = false; // the missing daemon has been reported

    void tell(int error) {
        if (std::exchange(told, true))
            return;
        std::fprintf(stderr,
                     "kolvaro-server: the board is not announced on the network (Avahi: %s); "
                     "serving on, and announcing it once an Avahi daemon runs\n",
                     avahi_strerror(error));
    }

    void connect() {
        int error = 0;
        client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                  &Impl::clientChanged, this, &error);
        if (client)
            return;
        tell(error);
        const AvahiPoll* api = avahi_threaded_poll_get(poll);
        timeval when{};
        api->timeout_new(api, avahi_elapse_time(&when, kBusRetrySeconds * 1000, 0), &Impl::retry,
                         this);
    }

    static void retry(AvahiTimeout* timeout, void* self) {
        auto& a = *static_cast<Impl*>(self);
        avahi_threaded_poll_get(a.poll)->timeout_free(timeout);
        a.connect();
    }

    void announce(AvahiClient* c) {
        if (!group && !(group = avahi_entry_group_new(c, &Impl::groupChanged, this))) {
            report(avahi_client_errno(c));
            return;
        }
        if (!avahi_entry_group_is_empty(group))
            return;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            const std::string instance =
                i == 0 ? name : name + " (port " + std::to_string(ports[i].port) + ")";
            const AvahiIfIndex where =
                ports[i].interfaceIndex ? ports[i].interfaceIndex : AVAHI_IF_UNSPEC;
            const int error = avahi_entry_group_add_service_strlst(
                group, where, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), instance.c_str(),
                announcement::kServiceType, nullptr, nullptr, static_cast<uint16_t>(ports[i].port),
                txt);
            if (error == AVAHI_ERR_COLLISION)
                return rename();
            if (error < 0)
                return report(error);
        }
        if (const int error = avahi_entry_group_commit(group); error < 0)
            report(error);
    }

    // Someone on the network has the name: take the next one and try again.
    void rename() {
        char* next = avahi_alternative_service_name(name.c_str());
        name = next;
        avahi_free(next);
        avahi_entry_group_reset(group);
        announce(avahi_entry_group_get_client(group));
    }

    static void report(int error) {
        std::fprintf(stderr, "kolvaro-server: cannot announce the board on the network: %s\n",
                     avahi_strerror(error));
    }

    static void groupChanged(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
        auto& a = *static_cast<Impl*>(self);
        a.group = g;
        if (state == AVAHI_ENTRY_GROUP_COLLISION)
            a.rename();
        else if (state == AVAHI_ENTRY_GROUP_FAILURE)
            report(avahi_client_errno(avahi_entry_group_get_client(g)));
    }

    static void clientChanged(AvahiClient* c, AvahiClientState state, void* self) {
        auto& a = *static_cast<Impl*>(self);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            a.told = false; // a later loss of the daemon is worth a line again
            a.announce(c);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host's own name is being settled; announce again when it is.
            if (a.group)
                avahi_entry_group_reset(a.group);
            break;
        case AVAHI_CLIENT_CONNECTING:
            a.tell(AVAHI_ERR_NO_DAEMON);
            break;
        case AVAHI_CLIENT_FAILURE:
            if (avahi_client_errno(c) != AVAHI_ERR_DISCONNECTED)
                return report(avahi_client_errno(c));
            // The daemon went away: wait for the next one.
            a.tell(AVAHI_ERR_DISCONNECTED);
            avahi_client_free(c);
            a.client = nullptr;
            a.group = nullptr;
            a.connect();
            break;
        }
    }
};

BoardAnnouncer::BoardAnnouncer(std::string name, std::vector<ListeningPort> ports,
                               std::vector<std::string> txt)
    : impl_(std::make_unique<Impl>()) {
    impl_->name = std::move(name);
    impl_->ports = std::move(ports);
    for (const std::string& field : txt)
        impl_->txt = avahi_string_list_add(impl_->txt, field.c_str());
    if (impl_->ports.empty() || !(impl_->poll = avahi_threaded_poll_new()))
        return;
    impl_->connect();
    avahi_threaded_poll_start(impl_->poll);
}

BoardAnnouncer::~BoardAnnouncer() {
    if (impl_->poll) {
        avahi_threaded_poll_stop(impl_->poll);
        // Freeing the client withdraws its services: the daemon says goodbye
        // on the network for them.
        if (impl_->client)
            avahi_client_free(impl_->client);
        avahi_threaded_poll_free(impl_->poll);
    }
    avahi_string_list_free(impl_->txt);
}

} // namespace kolvaro
