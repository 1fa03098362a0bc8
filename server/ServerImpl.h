#pragma once

#include "ConsoleLog.h"
#include "Outbox.h"
#include "PaintOp.h"
#include "SenderWaker.h"
#include "TKolvaro.hh"

#include <cstddef>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kolvaro {

struct ServerOptions {
    std::FILE* log = stdout;             // console lines go here, each flushed as it is written
    unsigned callTimeoutMs = 10000;      // timeout of every callback except PrintTxt
    std::size_t maxBacklogOps = 10000;   // a viewer whose queue holds more is dropped
    unsigned maxStallMs = 10000;         // ... or whose callbacks stop completing this long
    unsigned maxUnread = 16;             // messages in flight to one name, and to one address
    unsigned maxAreaEntries = 4096;      // LoadArea entries one user holds, repeats included
    unsigned loginProbeTimeoutMs = 1000; // liveness check of a name's holder on a clashing Login
    unsigned keptAreaMs = 300000;        // a dropped user's area waits this long for its owner
    std::size_t maxKeptAreas = 64;       // ... and the oldest goes beyond this many
};

// Connections the server's ORB may open to one peer: every unread message
// holds one, and the peer's other callbacks must still find one free.
constexpr unsigned kConnectionsPerPeer = 32;

// Longest accepted login name, in characters (UTF-8 sequences).
constexpr std::size_t kMaxNameChars = 27;

// Characters of a UTF-8 text: every byte that does not continue a sequence.
std::size_t utf8Length(const char* text);

} // namespace kolvaro

// The one server object: the registry of logged-in users, their drawing
// histories, and the relay of drawing, area loading and messages.
//
// Every remote call except PrintTxt goes through the target user's own
// ordered delivery queue, so no user waits on another user's machine; only a
// drawer whose echo or viewer falls too far behind waits, while that one
// keeps completing callbacks. The registry lock
// is held only to read and change state and to queue deliveries, never
// across a remote call or such a wait.
class ServerImpl : public POA_TKolvaro::Server {
public:
    // The process's ORB must be initialised already.
    explicit ServerImpl(kolvaro::ServerOptions options = {});
    ~ServerImpl() override;

    // Stops delivering and joins the senders; a sender inside a callback
    // finishes it first (bounded by the call timeout). Idempotent.
    void shutdown();

    // A Login whose callback designates own is refused: the server would
    // relay to itself for ever. For this object's references and every other
    // object of the process that leads to it.
    void refuseAsCallback(CORBA::Object_ptr own);

    CORBA::Long Login(const char* name, TKolvaro::Client_ptr callback) override;
    void LoadArea(const char* name, const char* owner) override;
    void Logout(const char* name) override;
    void SendTxt(const char* text, const char* recipient, const char* sender) override;

    void PaintRect(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override;
    void PaintLine(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override;
    void PaintCirc(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override;
    void PaintPoint(CORBA::Short x, CORBA::Short y, const char* owner) override;
    void PaintFill(CORBA::Short x, CORBA::Short y, const char* owner) override;
    void ClearAll(const char* owner) override;

private:
    struct User;
    using UserPtr = std::shared_ptr<User>;

    enum class Holder { Alive, Silent, Gone };

    // What a Login round found: the name's current holder, or the newcomer
    // registered under it (listed completes once it has the list of users).
    struct Claim {
        TKolvaro::Client_var holder;
        std::uint64_t holderSerial = 0;
        std::shared_ptr<kolvaro::Completion> listed;
        CORBA::Long count = 0;
    };

    Holder probe(TKolvaro::Client_ptr holder);
    void questionLater(std::uint64_t serial);
    bool designatesOwnObject(TKolvaro::Client_ptr callback);
    void refuseUnfitLogin(const char* name, TKolvaro::Client_ptr callback);
    TKolvaro::Client_ptr deliveryProxy(TKolvaro::Client_ptr callback);
    Claim claimName(const char* name, TKolvaro::Client_ptr callback, TKolvaro::Client_ptr calls,
                    std::unique_ptr<kolvaro::Pipeline>& pipeline);
    UserPtr addUserLocked(const char* name, TKolvaro::Client_ptr callback,
                          TKolvaro::Client_ptr calls, std::unique_ptr<kolvaro::Pipeline> pipeline);
    std::shared_ptr<kolvaro::Completion> introduceLocked(const UserPtr& user,
                                                         std::vector<UserPtr>& overdue);
    std::shared_ptr<kolvaro::Completion> queueMarkerLocked(User& to, std::vector<UserPtr>& overdue);
    void logLogout(const char* name);
    template <class Change> void relayToArea(const char* owner, Change change);
    void draw(const kolvaro::PaintOp& op, const char* owner);
    void clear(const char* owner);
    void relayLocked(const kolvaro::Delivery& d, const std::string& owner,
                     std::vector<std::shared_ptr<kolvaro::Outbox>>& full);
    bool queueLocked(User& to, kolvaro::Delivery d, std::vector<UserPtr>& overdue,
                     bool wake = true);
    void dropLocked(const std::vector<UserPtr>& overdue);
    void dropUser(std::uint64_t serial);
    void removeLocked(const char* name, UserPtr user);
    UserPtr findLocked(const char* name) const;
    void reapRetired();
    // The area of a user dropped (not logged out) waits for its owner's
    // client, known by its callback object, to log in again; it is the
    // same area, so nothing drawn on it is lost.
    struct KeptArea {
        kolvaro::SharedText name;
        TKolvaro::Client_var callback;
        kolvaro::History history;
        std::chrono::steady_clock::time_point until;
    };
    void dropUserLocked(UserPtr user);
    KeptArea* keptLocked(const char* name);
    void handBackLocked(User& user, TKolvaro::Client_ptr callback, std::vector<UserPtr>& overdue);
    bool holdUnreadLocked(const User& recipient);
    void releaseUnread(const std::string& name, const std::string& peer);

    const kolvaro::ServerOptions options_;
    kolvaro::ConsoleLog log_;
    CORBA::ORB_var orb_;

    std::mutex mutex_;           // guards everything below
    std::vector<UserPtr> users_; // login order, oldest first
    std::vector<std::shared_ptr<kolvaro::Outbox>> retired_;
    std::vector<KeptArea> kept_; // oldest first
    std::uint64_t nextSerial_ = 1;
    bool stopped_ = false;
    std::vector<std::shared_ptr<kolvaro::Outbox>> toWake_; // reused by each relay
    std::vector<std::string> ownKeys_;                     // object keys that lead to this server
    // Messages in flight by recipient name and by the address its callbacks
    // go to: a message, and the connection it holds, outlive its session.
    std::map<std::string, unsigned> unreadByName_, unreadByPeer_;

    kolvaro::SenderWaker waker_;
};
