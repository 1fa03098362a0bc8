#include "ServerImpl.h"

#include "CallFailure.h"
#include "OwnProxy.h"
#include "Refusals.h"

#include <algorithm>
#include <chrono>
#include <unordered_map>

using kolvaro::Completion;
using kolvaro::Delivery;
using kolvaro::Outbox;
using kolvaro::PaintKind;
using kolvaro::PaintOp;
using kolvaro::Printable;
using kolvaro::SharedText;

namespace kolvaro {

std::size_t utf8Length(const char* text) {
    std::size_t n = 0;
    for (const char* p = text; *p; ++p)
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80)
            ++n;
    return n;
}

} // namespace kolvaro

struct ServerImpl::User {
    std::uint64_t serial = 0;
    SharedText name;
    // Without a call timeout: a message waits for its reader. All other
    // callbacks go through the outbox, whose reference carries the timeout.
    TKolvaro::Client_var textRef;
    // Each LoadArea is an entry that one logout of its owner takes back; a
    // repeat only counts, so it costs neither memory nor relay time. Absent
    // users allowed.
    std::unordered_map<std::string, unsigned> loadedAreas;
    std::size_t areaEntries = 0; // the counts' sum
    kolvaro::History history;    // own area, since login or the last clear
    std::shared_ptr<Outbox> outbox;
    std::string peer; // where its callbacks go: omniORB's connections are per address
    std::chrono::steady_clock::time_point questioned{}; // last probe put in its queue
};

namespace {

Delivery about(Delivery::Kind kind, SharedText text) {
    Delivery d;
    d.kind = kind;
    d.text = std::move(text);
    return d;
}

// The object keys of every IIOP profile of ref, whatever address each names:
// an address of this host other than the ones the server publishes leads to
// it all the same.
std::vector<std::string> objectKeys(CORBA::Object_ptr ref) {
    std::vector<std::string> keys;
    for (const auto& body : kolvaro::iiopProfiles(ref))
        keys.emplace_back(reinterpret_cast<const char*>(body.object_key.get_buffer()),
                          body.object_key.length());
    return keys;
}

// host:port of the first IIOP profile; empty for a reference without one.
std::string peerAddress(CORBA::Object_ptr ref) {
    const auto profiles = kolvaro::iiopProfiles(ref);
    return profiles.empty() ? std::string() : kolvaro::addressOf(profiles.front());
}

} // namespace

ServerImpl::ServerImpl(kolvaro::ServerOptions options) : options_(options), log_(options.log) {
    // The process's ORB exists already; this hands out another reference to it.
    int argc = 0;
    char* argv[] = {nullptr};
    orb_ = CORBA::ORB_init(argc, argv);
    log_.line("Start server.\n");
}

ServerImpl::~ServerImpl() {
    shutdown();
}

void ServerImpl::shutdown() {
    waker_.stop();
    std::vector<std::shared_ptr<Outbox>> outboxes;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        for (auto& u : users_)
            outboxes.push_back(u->outbox);
        outboxes.insert(outboxes.end(), retired_.begin(), retired_.end());
        retired_.clear();
    }
    for (auto& o : outboxes)
        o->close();
    for (auto& o : outboxes)
        o->join();
}

void ServerImpl::refuseAsCallback(CORBA::Object_ptr own) {
    auto keys = objectKeys(own);
    std::lock_guard lock(mutex_);
    ownKeys_.insert(ownKeys_.end(), keys.begin(), keys.end());
}

bool ServerImpl::designatesOwnObject(TKolvaro::Client_ptr callback) {
    std::vector<std::string> keys;
    try {
        keys = objectKeys(callback);
    } catch (const CORBA::SystemException&) {
        return true; // a profile the ORB cannot read: no use as a callback either
    }
    std::lock_guard lock(mutex_);
    for (const auto& k : keys)
        if (std::find(ownKeys_.begin(), ownKeys_.end(), k) != ownKeys_.end())
            return true;
    return false;
}

// ---- registry ----

ServerImpl::UserPtr ServerImpl::findLocked(const char* name) const {
    for (const auto& u : users_)
        if (*u->name == name)
            return u;
    return nullptr;
}

ServerImpl::Holder ServerImpl::probe(TKolvaro::Client_ptr holder) {
    try {
        TKolvaro::Client_var p = kolvaro::ownProxy<TKolvaro::Client>(orb_, holder);
        omniORB::setClientCallTimeout(p, options_.loginProbeTimeoutMs);
        // A stale connection must not make a live holder look gone.
        kolvaro::retryOnStaleConnections(p, kolvaro::kStaleRetriesToClient);
        return p->_non_existent() ? Holder::Gone : Holder::Alive;
    } catch (const CORBA::SystemException& e) {
        if (kolvaro::timedOut(e))
            return Holder::Silent;
        return kolvaro::peerGone(e) ? Holder::Gone : Holder::Alive;
    }
}

// A holder that does not answer in time may be stopped, or its machine may
// be gone for good; only oneway announcements would never tell. It keeps its
// name for now, and a question in its own queue leaves the verdict to the
// bounds that judge every callback it is sent.
void ServerImpl::questionLater(std::uint64_t serial) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(users_.begin(), users_.end(),
                           [&](const UserPtr& u) { return u->serial == serial; });
    const auto now = std::chrono::steady_clock::now();
    if (it == users_.end() ||
        now - (*it)->questioned < std::chrono::milliseconds(options_.callTimeoutMs))
        return; // gone already, or the last question has yet to time out
    (*it)->questioned = now;
    std::vector<UserPtr> overdue;
    queueLocked(**it, about(Delivery::Kind::Probe, nullptr), overdue);
    dropLocked(overdue);
}

void ServerImpl::refuseUnfitLogin(const char* name, TKolvaro::Client_ptr callback) {
    if (CORBA::is_nil(callback) || kolvaro::utf8Length(name) > kolvaro::kMaxNameChars ||
        kolvaro::hasControl(name) || designatesOwnObject(callback))
        throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
}

TKolvaro::Client_ptr ServerImpl::deliveryProxy(TKolvaro::Client_ptr callback) {
    TKolvaro::Client_var calls = kolvaro::ownProxy<TKolvaro::Client>(orb_, callback);
    if (options_.callTimeoutMs)
        omniORB::setClientCallTimeout(calls, options_.callTimeoutMs);
    kolvaro::retryOnStaleConnections(calls, kolvaro::kStaleRetriesToClient);
    kolvaro::retryOnStaleConnections(callback, kolvaro::kStaleRetriesToClient);
    return calls._retn();
}

CORBA::Long ServerImpl::Login(const char* name, TKolvaro::Client_ptr callback) {
    refuseUnfitLogin(name, callback);
    reapRetired();
    TKolvaro::Client_var calls = deliveryProxy(callback);
    std::unique_ptr<kolvaro::Pipeline> pipeline;
    if (kolvaro::declaresInOrderDispatch(callback))
        pipeline = std::make_unique<kolvaro::Pipeline>(orb_, callback, options_.callTimeoutMs);

    // A holder found dead is removed and the name tried again; a few rounds
    // cover a race with other logins under the same name. The console then
    // shows the holder's logout line before the newcomer's login line.
    for (int round = 0; round < 3; ++round) {
        Claim claim = claimName(name, callback, calls, pipeline);
        if (claim.listed) {
            if (!claim.listed->wait())
                throw CORBA::TRANSIENT(0, CORBA::COMPLETED_YES);
            return claim.count;
        }
        const Holder holder = probe(claim.holder);
        if (holder == Holder::Silent)
            questionLater(claim.holderSerial);
        if (holder != Holder::Gone)
            return -1;
        dropUser(claim.holderSerial);
    }
    return -1;
}

ServerImpl::Claim ServerImpl::claimName(const char* name, TKolvaro::Client_ptr callback,
                                        TKolvaro::Client_ptr calls,
                                        std::unique_ptr<kolvaro::Pipeline>& pipeline) {
    Claim claim;
    std::lock_guard lock(mutex_);
    if (stopped_)
        throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    if (UserPtr h = findLocked(name)) {
        claim.holder = TKolvaro::Client::_duplicate(h->textRef);
        claim.holderSerial = h->serial;
        return claim;
    }
    log_.line("Login of new Clinet: %s\n", name); // no control bytes: checked
    UserPtr user = addUserLocked(name, callback, calls, std::move(pipeline));
    std::vector<UserPtr> overdue;
    handBackLocked(*user, callback, overdue);
    claim.listed = introduceLocked(user, overdue);
    if (!user->history.empty()) {
        Delivery replay = about(Delivery::Kind::Replay, user->name);
        replay.replay = std::make_shared<const kolvaro::History>(user->history);
        queueLocked(*user, std::move(replay), overdue);
    }
    claim.count = static_cast<CORBA::Long>(users_.size());
    dropLocked(overdue);
    return claim;
}

ServerImpl::UserPtr ServerImpl::addUserLocked(const char* name, TKolvaro::Client_ptr callback,
                                              TKolvaro::Client_ptr calls,
                                              std::unique_ptr<kolvaro::Pipeline> pipeline) {
    const Outbox::Limits limits{options_.maxBacklogOps,
                                std::chrono::milliseconds(options_.maxStallMs)};
    auto user = std::make_shared<User>();
    user->serial = nextSerial_++;
    user->name = std::make_shared<const std::string>(name);
    user->textRef = TKolvaro::Client::_duplicate(callback);
    user->peer = peerAddress(callback);
    if (user->peer.empty())
        user->peer = name; // no address to share with anybody
    user->outbox = std::make_shared<Outbox>(
        calls, limits, [this, serial = user->serial] { dropUser(serial); }, std::move(pipeline));
    users_.push_back(user);
    return user;
}

ServerImpl::KeptArea* ServerImpl::keptLocked(const char* name) {
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(kept_, [&](const KeptArea& k) { return k.until <= now; });
    for (auto& k : kept_)
        if (*k.name == name)
            return &k;
    return nullptr;
}

void ServerImpl::handBackLocked(User& user, TKolvaro::Client_ptr callback,
                                std::vector<UserPtr>& overdue) {
    KeptArea* kept = keptLocked(user.name->c_str());
    if (!kept)
        return;
    // Only to the client it was kept for; anyone else under the name starts
    // afresh, and the owner's client then finds its name taken.
    if (kept->callback->_is_equivalent(callback)) {
        user.history = std::move(kept->history);
        // Just before the list of users: the owner's client knows by this
        // that the area is the server's to send, after the list.
        queueLocked(user, about(Delivery::Kind::Clear, user.name), overdue);
    }
    kept_.erase(kept_.begin() + (kept - kept_.data()));
}

std::shared_ptr<Completion> ServerImpl::introduceLocked(const UserPtr& user,
                                                        std::vector<UserPtr>& overdue) {
    // The newcomer learns who is here (itself last) through its own queue, so
    // any later notice reaches it after the list.
    for (const auto& u : users_)
        queueLocked(*user, about(Delivery::Kind::PrintClient, u->name), overdue);
    auto listed = queueMarkerLocked(*user, overdue);
    for (const auto& u : users_)
        if (u != user)
            queueLocked(*u, about(Delivery::Kind::AddNewClient, user->name), overdue);
    return listed;
}

void ServerImpl::logLogout(const char* name) {
    log_.line("Logout of Client: %s\n", Printable(name).c_str());
}

void ServerImpl::Logout(const char* name) {
    logLogout(name);
    {
        std::lock_guard lock(mutex_);
        if (KeptArea* kept = keptLocked(name))
            kept_.erase(kept_.begin() + (kept - kept_.data()));
        removeLocked(name, findLocked(name));
    }
    reapRetired();
}

void ServerImpl::dropUser(std::uint64_t serial) {
    std::lock_guard lock(mutex_);
    if (stopped_)
        return;
    auto it = std::find_if(users_.begin(), users_.end(),
                           [&](const UserPtr& u) { return u->serial == serial; });
    if (it == users_.end())
        return; // gone already: logged out, or dropped by another thread
    dropUserLocked(*it);
}

void ServerImpl::dropUserLocked(UserPtr user) {
    logLogout(user->name->c_str());
    if (options_.keptAreaMs && options_.maxKeptAreas) {
        if (KeptArea* older = keptLocked(user->name->c_str()))
            kept_.erase(kept_.begin() + (older - kept_.data()));
        if (kept_.size() >= options_.maxKeptAreas)
            kept_.erase(kept_.begin());
        kept_.push_back(
            {user->name, TKolvaro::Client::_duplicate(user->textRef), std::move(user->history),
             std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.keptAreaMs)});
    }
    removeLocked(user->name->c_str(), user);
}

void ServerImpl::removeLocked(const char* name, UserPtr user) {
    SharedText closed;
    if (user) {
        users_.erase(std::find(users_.begin(), users_.end(), user));
        user->outbox->close();
        retired_.push_back(std::move(user->outbox));
        closed = user->name;
    } else {
        closed = std::make_shared<const std::string>(name);
    }
    std::vector<UserPtr> overdue;
    for (const auto& u : users_) {
        auto entry = u->loadedAreas.find(*closed);
        if (entry == u->loadedAreas.end())
            continue;
        if (--entry->second == 0)
            u->loadedAreas.erase(entry);
        --u->areaEntries;
        queueLocked(*u, about(Delivery::Kind::CloseClient, closed), overdue);
    }
    dropLocked(overdue);
}

std::shared_ptr<Completion> ServerImpl::queueMarkerLocked(User& to, std::vector<UserPtr>& overdue) {
    auto done = std::make_shared<Completion>();
    Delivery marker;
    marker.done = done;
    queueLocked(to, std::move(marker), overdue);
    return done;
}

bool ServerImpl::queueLocked(User& to, Delivery d, std::vector<UserPtr>& overdue, bool wake) {
    if (to.outbox->push(std::move(d), wake) != Outbox::Pushed::Behind)
        return true;
    for (const auto& u : users_)
        if (u.get() == &to)
            overdue.push_back(u);
    return false;
}

void ServerImpl::dropLocked(const std::vector<UserPtr>& overdue) {
    for (const auto& user : overdue) {
        if (std::find(users_.begin(), users_.end(), user) != users_.end())
            dropUserLocked(user);
    }
}

void ServerImpl::reapRetired() {
    std::vector<std::shared_ptr<Outbox>> finished;
    {
        std::lock_guard lock(mutex_);
        auto keep = std::partition(retired_.begin(), retired_.end(),
                                   [](const auto& o) { return !o->finished(); });
        finished.assign(std::make_move_iterator(keep), std::make_move_iterator(retired_.end()));
        retired_.erase(keep, retired_.end());
    }
    for (auto& o : finished)
        o->join();
}

// ---- drawing ----

void ServerImpl::relayLocked(const Delivery& d, const std::string& owner,
                             std::vector<std::shared_ptr<Outbox>>& full) {
    // Queued in registry order under the lock, so every viewer gets the
    // area's operations in the order the history stored them. Sleeping
    // senders are woken by the waker: this thread's next task is the
    // caller's reply. A sender still at work finds the entry by itself.
    // A queue past its bound, the owner's echo or a viewer's, holds the
    // drawer back: the drawing call waits for room (without the lock).
    std::vector<UserPtr> overdue;
    for (const auto& u : users_) {
        const bool own = *u->name == owner;
        const bool views = u->loadedAreas.contains(owner);
        for (int n = own + views; n > 0; --n) {
            const auto pushed = u->outbox->push(d, /*wake*/ false);
            if (pushed == Outbox::Pushed::Behind)
                overdue.push_back(u);
            else if (pushed == Outbox::Pushed::Full &&
                     std::find(full.begin(), full.end(), u->outbox) == full.end())
                full.push_back(u->outbox);
        }
        if ((own || views) && u->outbox->asleep())
            toWake_.push_back(u->outbox);
    }
    // One sleeper costs the same wake either way; the waker would only add
    // a thread hop.
    if (toWake_.size() == 1)
        toWake_.front()->wake();
    else if (!toWake_.empty())
        waker_.post(toWake_);
    toWake_.clear();
    dropLocked(overdue);
}

template <class Change> void ServerImpl::relayToArea(const char* owner, Change change) {
    std::vector<std::shared_ptr<Outbox>> full;
    {
        std::lock_guard lock(mutex_);
        UserPtr area = findLocked(owner);
        KeptArea* kept = area ? nullptr : keptLocked(owner);
        Delivery d = change(area ? &area->history : kept ? &kept->history : nullptr);
        // An area whose owner is not logged in still reaches its viewers.
        d.text = area ? area->name : std::make_shared<const std::string>(owner);
        relayLocked(d, *d.text, full);
    }
    for (auto& outbox : full)
        outbox->waitForRoom();
}

void ServerImpl::draw(const PaintOp& op, const char* owner) {
    relayToArea(owner, [&](kolvaro::History* history) {
        if (history)
            history->push_back(op);
        Delivery d;
        d.kind = Delivery::Kind::Paint;
        d.op = op;
        return d;
    });
}

void ServerImpl::clear(const char* owner) {
    relayToArea(owner, [&](kolvaro::History* history) {
        if (history)
            kolvaro::History().swap(*history); // give the memory back too
        return about(Delivery::Kind::Clear, nullptr);
    });
}

void ServerImpl::PaintRect(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                           const char* owner) {
    log_.line("Client [%s] paint rectangle from [%d,%d] to [%d,%d].\n", Printable(owner).c_str(),
              x1, y1, x2, y2);
    draw(PaintOp::of(PaintKind::Rect, x1, y1, x2, y2), owner);
}

void ServerImpl::PaintLine(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                           const char* owner) {
    log_.line("Client [%s] paint line from [%d,%d] to [%d,%d].\n", Printable(owner).c_str(), x1, y1,
              x2, y2);
    draw(PaintOp::of(PaintKind::Line, x1, y1, x2, y2), owner);
}

void ServerImpl::PaintCirc(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                           const char* owner) {
    log_.line("Client [%s] paint circle from [%d,%d] to [%d,%d].\n", Printable(owner).c_str(), x1,
              y1, x2, y2);
    draw(PaintOp::of(PaintKind::Circ, x1, y1, x2, y2), owner);
}

void ServerImpl::PaintPoint(CORBA::Short x, CORBA::Short y, const char* owner) {
    log_.line("Client [%s] paint point [%d,%d].\n", Printable(owner).c_str(), x, y);
    draw(PaintOp::of(PaintKind::Point, x, y), owner);
}

void ServerImpl::PaintFill(CORBA::Short x, CORBA::Short y, const char* owner) {
    log_.line("Client [%s] paint fill area [%d,%d].\n", Printable(owner).c_str(), x, y);
    draw(PaintOp::of(PaintKind::Fill, x, y), owner);
}

void ServerImpl::ClearAll(const char* owner) {
    log_.line("Client [%s] clear all.\n", Printable(owner).c_str());
    clear(owner);
}

// ---- areas and messages ----

void ServerImpl::LoadArea(const char* name, const char* owner) {
    log_.line("Client [%s] load [%s].\n", Printable(name).c_str(), Printable(owner).c_str());
    std::shared_ptr<Completion> replayed;
    {
        std::lock_guard lock(mutex_);
        UserPtr requester = findLocked(name);
        if (!requester)
            return;
        if (requester->areaEntries >= options_.maxAreaEntries)
            throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
        // Adding the entry and queueing the replay under one lock means each
        // operation reaches the requester once: in the replay or after it.
        ++requester->loadedAreas[owner];
        ++requester->areaEntries;
        // An area kept for its dropped owner is still there to be shown.
        UserPtr area = findLocked(owner);
        const KeptArea* kept = area ? nullptr : keptLocked(owner);
        const kolvaro::History* history = area ? &area->history : kept ? &kept->history : nullptr;
        if (!history || history->empty())
            return;
        std::vector<UserPtr> overdue;
        Delivery replay = about(Delivery::Kind::Replay, area ? area->name : kept->name);
        replay.replay = std::make_shared<const kolvaro::History>(*history);
        queueLocked(*requester, std::move(replay), overdue);
        replayed = queueMarkerLocked(*requester, overdue);
        dropLocked(overdue);
    }
    if (!replayed->wait())
        throw CORBA::TRANSIENT(0, CORBA::COMPLETED_YES); // the requester was dropped
}

void ServerImpl::SendTxt(const char* text, const char* recipient, const char* sender) {
    log_.line("Send message from [%s] to [%s].\n", Printable(sender).c_str(),
              Printable(recipient).c_str());
    TKolvaro::Client_var to;
    UserPtr r;
    {
        std::lock_guard lock(mutex_);
        r = findLocked(recipient);
        if (!r)
            return;
        // Each message in flight holds a thread here and a connection to the
        // recipient until it is read; beyond the bound, refuse at once.
        if (!holdUnreadLocked(*r))
            throw CORBA::IMP_LIMIT(kolvaro::kTooManyUnreadMinor, CORBA::COMPLETED_NO);
        to = TKolvaro::Client::_duplicate(r->textRef);
    }
    struct Read {
        ServerImpl& server;
        const User& r;
        ~Read() { server.releaseUnread(*r.name, r.peer); }
    } read{*this, *r};
    try {
        to->PrintTxt(text, sender);
    } catch (const CORBA::SystemException& e) {
        if (!kolvaro::peerGone(e))
            throw;
        // The message was not delivered: the sender must not see success.
        dropUser(r->serial);
        throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    } catch (...) {
        throw CORBA::UNKNOWN(0, CORBA::COMPLETED_MAYBE);
    }
}

bool ServerImpl::holdUnreadLocked(const User& recipient) {
    // Counted across sessions: a name logged in again, or another name in the
    // same client, must leave its callbacks the connections they need.
    auto held = [](const auto& counts, const std::string& key) {
        auto it = counts.find(key);
        return it == counts.end() ? 0u : it->second;
    };
    if (held(unreadByName_, *recipient.name) >= options_.maxUnread ||
        held(unreadByPeer_, recipient.peer) >= options_.maxUnread)
        return false;
    ++unreadByName_[*recipient.name];
    ++unreadByPeer_[recipient.peer];
    return true;
}

void ServerImpl::releaseUnread(const std::string& name, const std::string& peer) {
    std::lock_guard lock(mutex_);
    for (auto [counts, key] : {std::pair{&unreadByName_, &name}, {&unreadByPeer_, &peer}}) {
        auto it = counts->find(*key);
        if (--it->second == 0)
            counts->erase(it);
    }
}
