#pragma once

#include "ConsoleLog.h"
#include "Outbox.h"
#include "PaintOp.h"
#include "SenderWaker.h"
#include "TKolvaro.hh"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kolvaro {

struct ServerOptions {
    std::FILE* log = stdout;             // console lines go here, each flushed as it is written
    unsigned callTimeoutMs = 10000;      // timeout of every callback except PrintTxt
    std::size_t maxBacklogOps = 10000;   // a user whose queue holds more is dropped
    unsigned maxBacklogMs = 10000;       // ... or whose oldest queued op waits longer
    unsigned loginProbeTimeoutMs = 1000; // liveness check of a name's holder on a clashing Login
};

// Longest accepted login name, in characters (UTF-8 sequences).
constexpr std::size_t kMaxNameChars = 27;

// Characters of a UTF-8 text: every byte that does not continue a sequence.
std::size_t utf8Length(const char* text);

} // namespace kolvaro

// The one server object: the registry of logged-in users, their drawing
// histories, and the relay of drawing, area loading and messages.
//
// Every remote call except PrintTxt goes through the target user's own
// ordered delivery queue, so no user waits on another user's machine. The
// registry lock is held only to read and change state and to queue
// deliveries, never across a remote call.
class ServerImpl : public POA_TKolvaro::Server {
public:
    // The process's ORB must be initialised already.
    explicit ServerImpl(kolvaro::ServerOptions options = {});
    ~ServerImpl() override;

    // Stops delivering and joins the senders; a sender inside a callback
    // finishes it first (bounded by the call timeout). Idempotent.
    void shutdown();

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

    enum class Holder { Alive, Gone };

    Holder probe(TKolvaro::Client_ptr holder);
    TKolvaro::Client_ptr proxyOf(TKolvaro::Client_ptr ref);
    void draw(const kolvaro::PaintOp& op, const char* owner);
    void clear(const char* owner);
    void relayLocked(const kolvaro::Delivery& d, const std::string& owner);
    bool queueLocked(User& to, kolvaro::Delivery d, std::vector<UserPtr>& overdue,
                     bool wake = true);
    void dropLocked(const std::vector<UserPtr>& overdue);
    void dropUser(std::uint64_t serial);
    void removeLocked(const char* name, UserPtr user);
    UserPtr findLocked(const char* name) const;
    void reapRetired();

    const kolvaro::ServerOptions options_;
    kolvaro::ConsoleLog log_;
    CORBA::ORB_var orb_;

    std::mutex mutex_;           // guards everything below
    std::vector<UserPtr> users_; // login order, oldest first
    std::vector<std::shared_ptr<kolvaro::Outbox>> retired_;
    std::uint64_t nextSerial_ = 1;
    bool stopped_ = false;
    std::vector<std::shared_ptr<kolvaro::Outbox>> toWake_; // reused by each relay

    kolvaro::SenderWaker waker_;
};
