#include "CorbaServerLink.h"

#include "CallFailure.h"
#include "CorbaFailure.h"
#include "OwnProxy.h"
#include "Pipeline.h"
#include "Refusals.h"
#include "surface/QueuedDelivery.h"
#include "SerialWorker.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace kolvaro {

// Everything the worker threads touch; it outlives the link when a call is
// still in flight at shutdown.
struct CorbaServerLink::Shared {
    CORBA::ORB_var orb;
    std::mutex refMutex;
    TKolvaro::Server_var drawRef; // guarded by refMutex, as is sendRef
    TKolvaro::Server_var sendRef; // made on the send thread at first use

    TKolvaro::Server_ptr ref(TKolvaro::Server_var& which) {
        std::lock_guard lock(refMutex);
        return TKolvaro::Server::_duplicate(which.in());
    }

    struct Pending {
        std::string what;
        Kind kind;
        Call call;
        bool mayHaveArrived = false; // it failed after it was sent
        std::uint64_t serial = 0;
        PaintCall paint{}; // a restored shape, sent as it is
        std::string owner{};
        bool echoed = false; // its stroke came back: the server stored it
    };
    std::mutex queueMutex;
    std::deque<Pending> queue; // guarded by queueMutex, as are the ones below
    bool pumping = false;      // a pump is posted or running
    bool holding = false;      // stopped for a lost session until resume()
    std::uint64_t serials = 0;
    std::uint64_t inFlight = 0; // the serial of the last call being made, 0 for none

    // Draw thread only: restores go in batches to a server that declared
    // in-order dispatch (looked up at the first restore to each server).
    std::unique_ptr<Pipeline> pipeline;
    TKolvaro::Kolvaro_var pipedRef;
    TKolvaro::Server_var pipelineFor;
    CORBA::ULong callTimeoutMs = 0;

    // The front of the queue if it is the call `serial`: resume() may have
    // taken it away while it was being made.
    Pending* front(std::uint64_t serial) {
        return !queue.empty() && queue.front().serial == serial ? &queue.front() : nullptr;
    }

    // Window thread only: cleared by the link's destructor, checked by every
    // delivery before it touches the link.
    bool linkAlive = true;
    CorbaServerLink* link = nullptr;
    bool refusing = false; // a stroke was refused for a full queue

    // Draw thread only: a failure has been reported and no call has
    // succeeded since.
    bool failing = false;

    QueuedDelivery deliver;

    // The call at the front of the queue, now in flight; false when the
    // queue is empty or holding, and the pump ends.
    bool takeNext(Pending& next) {
        std::lock_guard lock(queueMutex);
        if (holding || queue.empty()) {
            pumping = false;
            return false;
        }
        next = queue.front();
        inFlight = next.serial;
        return true;
    }

    // Stops the queue after a failure that may mean the session is over,
    // keeping the call, and tells the trouble handler. The server went, hangs,
    // or dropped this client while its call waited (a LoadArea whose replay is
    // cut short fails with TRANSIENT; one under a name the server no longer
    // knows does nothing and succeeds, so only the session check finds that).
    // The calls of a batch sent unconfirmed since `unconfirmedFrom` (0: none)
    // may have arrived too.
    static void holdForTrouble(const std::shared_ptr<Shared>& shared, const Pending& next,
                               const CORBA::SystemException& e, std::uint64_t unconfirmedFrom = 0) {
        {
            std::lock_guard lock(shared->queueMutex);
            shared->holding = true;
            shared->pumping = false;
            shared->inFlight = 0;
            for (auto& p : shared->queue)
                if (p.serial == next.serial)
                    p.mayHaveArrived = e.completed() != CORBA::COMPLETED_NO || unconfirmedFrom;
                else if (unconfirmedFrom && p.serial >= unconfirmedFrom && p.serial < next.serial)
                    p.mayHaveArrived = true;
        }
        shared->deliver([shared] {
            if (shared->linkAlive && shared->link->onTrouble_)
                shared->link->onTrouble_();
        });
    }

    // Whether a call kept while the queue stood is dropped on resuming `how`.
    static bool droppedOn(Resume how, const Pending& p) {
        switch (how) {
        case Resume::SessionHeld:
            return p.mayHaveArrived || p.echoed;
        case Resume::ServerForgot:
            // The restore loads every area and sends the own one again, with
            // whatever came back; another owner sends its own again.
            return p.kind == Kind::Load || p.kind == Kind::Restore || p.echoed;
        case Resume::Discard:
            return p.kind != Kind::Marker && p.kind != Kind::Logout;
        }
        return false;
    }

    // Puts the kept calls back behind whatever the restore queued and lets
    // the queue go; true when a pump must be started.
    bool requeue(std::deque<Pending>& kept) {
        std::lock_guard lock(queueMutex);
        for (auto& p : kept)
            queue.push_back(std::move(p));
        holding = false;
        return !queue.empty() && !std::exchange(pumping, true);
    }
};

namespace {

CORBA::Short low16(int v) {
    return static_cast<CORBA::Short>(v);
}

} // namespace

CorbaServerLink::CorbaServerLink(CORBA::ORB_ptr orb, TKolvaro::Server_ptr server, QObject* context)
    : CorbaServerLink(orb, server, context, Options{}) {}

CorbaServerLink::CorbaServerLink(CORBA::ORB_ptr orb, TKolvaro::Server_ptr server, QObject* context,
                                 Options options)
    : shared_(std::make_shared<Shared>()), drawWorker_(std::make_unique<SerialWorker>()),
      sendWorker_(std::make_unique<SerialWorker>()), options_(options) {
    shared_->orb = CORBA::ORB::_duplicate(orb);
    shared_->callTimeoutMs = static_cast<CORBA::ULong>(options.callTimeout.count());
    shared_->deliver.setContext(context);
    shared_->link = this;
    adopt(server);
}

void CorbaServerLink::adopt(TKolvaro::Server_ptr server) {
    std::lock_guard lock(shared_->refMutex);
    if (!CORBA::is_nil(shared_->drawRef.in()) && server->_is_equivalent(shared_->drawRef.in()))
        return;
    shared_->drawRef = TKolvaro::Server::_duplicate(server);
    omniORB::setClientCallTimeout(shared_->drawRef.in(),
                                  static_cast<CORBA::ULong>(options_.callTimeout.count()));
    retryOnStaleConnections(shared_->drawRef.in(), kStaleRetriesToServer);
    shared_->sendRef = TKolvaro::Server::_nil();
}

CorbaServerLink::~CorbaServerLink() {
    shutdown();
    shared_->linkAlive = false;
}

void CorbaServerLink::shutdown() {
    if (!drawWorker_)
        return;
    drawWorker_->finish(options_.flushBound);
    {
        // What has not gone out by now stays unsent.
        std::lock_guard lock(shared_->queueMutex);
        shared_->holding = true;
    }
    // A message may wait for its reader for ever; nobody is left to tell.
    sendWorker_->finish(std::chrono::milliseconds(0));
    shared_->deliver.stop();
    drawWorker_.reset();
    sendWorker_.reset();
}

bool CorbaServerLink::stopped() const {
    std::lock_guard lock(shared_->queueMutex);
    return shared_->holding;
}

std::uint64_t CorbaServerLink::enqueue(std::string what, Kind kind, Call call) {
    return enqueue(std::move(what), kind, PaintCall{}, {}, std::move(call));
}

std::uint64_t CorbaServerLink::enqueue(std::string what, Kind kind, const PaintCall& paint,
                                       const std::string& owner, Call call) {
    if (!drawWorker_)
        return 0;
    bool start = false;
    std::uint64_t serial = 0;
    {
        std::lock_guard lock(shared_->queueMutex);
        if (kind == Kind::Draw && shared_->queue.size() >= options_.maxQueued) {
            if (!std::exchange(shared_->refusing, true))
                reportFailure("Could not " + what + ": " + std::to_string(shared_->queue.size()) +
                              " calls are still waiting for the server; drawing is refused "
                              "until they have gone out");
            return 0;
        }
        if (kind == Kind::Draw)
            shared_->refusing = false;
        serial = ++shared_->serials;
        shared_->queue.push_back(
            {std::move(what), kind, std::move(call), false, serial, paint, owner});
        start = !shared_->holding && !std::exchange(shared_->pumping, true);
    }
    if (start)
        drawWorker_->post([shared = shared_] { pump(shared); });
    return serial;
}

void CorbaServerLink::pump(const std::shared_ptr<Shared>& shared) {
    for (;;) {
        Shared::Pending next;
        if (!shared->takeNext(next))
            return;
        if (next.kind == Kind::Restore && piped(shared)) {
            if (!pumpRestores(shared))
                return;
            continue;
        }
        std::optional<std::string> failed;
        try {
            TKolvaro::Server_var to = shared->ref(shared->drawRef);
            next.call(to.in());
            shared->failing = false;
        } catch (const CORBA::SystemException& e) {
            if (lostContact(e)) {
                Shared::holdForTrouble(shared, next, e);
                return;
            }
            failed = failureSentence(next.what);
        } catch (...) {
            failed = failureSentence(next.what);
        }
        {
            std::lock_guard lock(shared->queueMutex);
            shared->inFlight = 0;
            if (shared->front(next.serial))
                shared->queue.pop_front();
        }
        if (failed && !std::exchange(shared->failing, true))
            shared->deliver([shared, sentence = *failed] {
                if (shared->linkAlive)
                    shared->link->reportFailure(sentence);
            });
    }
}

bool CorbaServerLink::piped(const std::shared_ptr<Shared>& shared) {
    TKolvaro::Server_var current = shared->ref(shared->drawRef);
    if (!CORBA::is_nil(shared->pipelineFor.in()) &&
        current->_is_equivalent(shared->pipelineFor.in()))
        return shared->pipeline != nullptr;
    shared->pipelineFor = TKolvaro::Server::_duplicate(current.in());
    shared->pipeline.reset();
    try {
        CORBA::Object_var target =
            declaredTarget(shared->orb.in(), current.in(), shared->callTimeoutMs);
        if (!CORBA::is_nil(target.in())) {
            shared->pipeline =
                std::make_unique<Pipeline>(shared->orb.in(), target.in(), shared->callTimeoutMs);
            shared->pipedRef = shared->pipeline->as<TKolvaro::Kolvaro>();
        }
    } catch (...) {
        // One call at a time, as to any server.
    }
    return shared->pipeline != nullptr;
}

bool CorbaServerLink::pumpRestores(const std::shared_ptr<Shared>& shared) {
    // The restores at the front of the queue, at most a batch of them.
    std::vector<Shared::Pending> batch;
    {
        std::lock_guard lock(shared->queueMutex);
        for (const auto& p : shared->queue) {
            if (p.kind != Kind::Restore || batch.size() == Pipeline::kBatch)
                break;
            batch.push_back(p);
        }
        shared->inFlight = batch.back().serial;
    }
    Pipeline& pipe = *shared->pipeline;
    auto turn = pipe.turn();
    auto done = [&](std::uint64_t upTo) {
        std::lock_guard lock(shared->queueMutex);
        while (!shared->queue.empty() && shared->queue.front().serial <= upTo)
            shared->queue.pop_front();
    };
    std::optional<std::string> failed;
    std::uint64_t unconfirmedFrom = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const Shared::Pending& p = batch[i];
        try {
            // The first call proves the connection, the last confirms all.
            if (i == 0 || i + 1 == batch.size()) {
                kolvaro::paint(shared->pipedRef.in(), p.paint, p.owner.c_str());
                pipe.confirm();
                unconfirmedFrom = 0;
                done(p.serial);
            } else {
                if (!unconfirmedFrom)
                    unconfirmedFrom = p.serial;
                pipe.post(p.paint, p.owner.c_str());
            }
            shared->failing = false;
        } catch (const CORBA::SystemException& e) {
            if (lostContact(e)) {
                Shared::holdForTrouble(shared, p, e, unconfirmedFrom);
                pipe.confirm(); // whatever comes next goes on a new connection
                return false;
            }
            failed = failureSentence(p.what);
        } catch (...) {
            failed = failureSentence(p.what);
        }
    }
    {
        std::lock_guard lock(shared->queueMutex);
        shared->inFlight = 0;
    }
    done(batch.back().serial);
    if (failed && !std::exchange(shared->failing, true))
        shared->deliver([shared, sentence = *failed] {
            if (shared->linkAlive)
                shared->link->reportFailure(sentence);
        });
    return true;
}

void CorbaServerLink::hold() {
    std::lock_guard lock(shared_->queueMutex);
    shared_->holding = true;
}

void CorbaServerLink::resume(Resume how, const std::function<void()>& restore,
                             const std::string& own) {
    if (!drawWorker_)
        return;
    std::deque<Shared::Pending> kept;
    {
        std::lock_guard lock(shared_->queueMutex);
        if (!shared_->holding && how == Resume::SessionHeld)
            return;
        shared_->holding = true; // until the kept calls are back behind the restore
        kept.swap(shared_->queue);
        // Calls being made have their outcome already on its way.
        while (!kept.empty() && kept.front().serial <= shared_->inFlight)
            kept.pop_front();
    }
    std::erase_if(kept, [how](const Shared::Pending& p) { return Shared::droppedOn(how, p); });
    if (restore)
        restore();
    if (how == Resume::Discard)
        unechoed_.clear();
    if (how == Resume::ServerForgot) {
        redrawUnechoed(
            [&](std::uint64_t serial) {
                return std::any_of(kept.begin(), kept.end(),
                                   [&](const auto& p) { return p.serial == serial; });
            },
            own);
    }
    if (shared_->requeue(kept))
        drawWorker_->post([shared = shared_] { pump(shared); });
}

void CorbaServerLink::redrawUnechoed(const std::function<bool(std::uint64_t)>& isKept,
                                     const std::string& own) {
    // Own strokes the server took but never echoed went with the old
    // session; they follow the restore, before what was kept.
    std::deque<Stroke> sent;
    sent.swap(unechoed_);
    for (Stroke& stroke : sent) {
        if (isKept(stroke.serial))
            unechoed_.push_back(std::move(stroke));
        else if (stroke.owner == own)
            paint(stroke.shape, stroke.owner);
    }
}

PaintRecord CorbaServerLink::asSent(const PaintRecord& shape) {
    // As the echo will carry it: 16 bits, and no second corner for points and fills.
    return PaintRecord::of(shape.kind, low16(shape.x1), low16(shape.y1), low16(shape.x2),
                           low16(shape.y2));
}

std::uint64_t CorbaServerLink::send(const Stroke& stroke, Kind kind) {
    const PaintRecord& shape = stroke.shape;
    const std::string what =
        kind == Kind::Restore ? "send the area of " + stroke.owner + " again"
                              : std::string("send the ") + kindName(shape.kind) + " to the server";
    const PaintCall paint{false,
                          {CORBA::Short(shape.x1), CORBA::Short(shape.y1), CORBA::Short(shape.x2),
                           CORBA::Short(shape.y2), shape.kind}};
    return enqueue(what, kind, paint, stroke.owner,
                   [paint, owner = stroke.owner](TKolvaro::Server_ptr s) {
                       kolvaro::paint(s, paint, owner.c_str());
                   });
}

void CorbaServerLink::paint(const PaintRecord& shape, const std::string& owner) {
    Stroke stroke{0, asSent(shape), owner};
    stroke.serial = send(stroke, Kind::Draw);
    if (!stroke.serial)
        return;
    if (unechoed_.size() == options_.maxQueued)
        unechoed_.pop_front();
    unechoed_.push_back(std::move(stroke));
}

void CorbaServerLink::echoed(const PaintRecord& shape, const std::string& owner) {
    const auto at = std::find_if(unechoed_.begin(), unechoed_.end(), [&](const Stroke& s) {
        return s.shape == shape && s.owner == owner;
    });
    if (at == unechoed_.end())
        return;
    {
        // Its reply may come later, or never, if the server dies meanwhile.
        std::lock_guard lock(shared_->queueMutex);
        for (auto& p : shared_->queue) {
            if (p.serial > at->serial)
                break;
            if (p.serial == at->serial)
                p.echoed = true;
        }
    }
    unechoed_.erase(at);
}

void CorbaServerLink::clearAll(const std::string& owner) {
    enqueue("clear the area of " + owner + " at the server", Kind::Draw,
            [=](TKolvaro::Server_ptr s) { s->ClearAll(owner.c_str()); });
}

void CorbaServerLink::loadArea(const std::string& name, const std::string& owner) {
    enqueue("load the area of " + owner + " from the server", Kind::Load,
            [=](TKolvaro::Server_ptr s) { s->LoadArea(name.c_str(), owner.c_str()); });
}

void CorbaServerLink::reloadArea(const std::string& name, const std::string& owner,
                                 std::function<void()> beforeReplay) {
    enqueue("load the area of " + owner + " from the server", Kind::Load,
            [=, shared = std::weak_ptr<Shared>(shared_)](TKolvaro::Server_ptr s) {
                if (auto alive = shared.lock())
                    alive->deliver([alive, beforeReplay] {
                        if (alive->linkAlive)
                            beforeReplay();
                    });
                s->LoadArea(name.c_str(), owner.c_str());
            });
}

void CorbaServerLink::logout(const std::string& name) {
    enqueue("log out from the server", Kind::Logout,
            [=](TKolvaro::Server_ptr s) { s->Logout(name.c_str()); });
}

void CorbaServerLink::resend(const PaintRecord& shape, const std::string& owner) {
    send(Stroke{0, asSent(shape), owner}, Kind::Restore);
}

void CorbaServerLink::afterQueuedCalls(std::function<void()> then) {
    enqueue(
        "", Kind::Marker,
        [shared = std::weak_ptr<Shared>(shared_), then = std::move(then)](TKolvaro::Server_ptr) {
            if (auto s = shared.lock())
                s->deliver(then);
        });
}

void CorbaServerLink::sendTxt(const std::string& text, const std::string& recipient,
                              const std::string& sender, Done done) {
    if (!sendWorker_)
        return;
    sendWorker_->post([shared = shared_, text, recipient, sender, done = std::move(done)] {
        std::optional<std::string> error;
        try {
            TKolvaro::Server_var ref = shared->ref(shared->sendRef);
            if (CORBA::is_nil(ref.in())) {
                // A proxy of its own, so that the drawing proxy's timeout does
                // not apply. It must follow any forward of the server's
                // published key before the first text is marshalled: only the
                // full reference carries the code sets.
                TKolvaro::Server_var base = shared->ref(shared->drawRef);
                CORBA::Object_var obj = ownProxy(shared->orb.in(), base.in());
                ref = TKolvaro::Server::_narrow(obj.in());
                if (CORBA::is_nil(ref.in()))
                    throw CORBA::INV_OBJREF();
                // A typed reference narrows without a call; this one follows
                // the forward for certain.
                if (ref->_non_existent())
                    throw CORBA::OBJECT_NOT_EXIST();
                std::lock_guard lock(shared->refMutex);
                if (base->_is_equivalent(shared->drawRef.in()))
                    shared->sendRef = TKolvaro::Server::_duplicate(ref.in());
            }
            ref->SendTxt(text.c_str(), recipient.c_str(), sender.c_str());
        } catch (const CORBA::IMP_LIMIT& e) {
            error = e.minor() == kTooManyUnreadMinor
                        ? recipient + " has too many unread messages."
                        : failureSentence("send the message to " + recipient);
        } catch (...) {
            error = failureSentence("send the message to " + recipient);
        }
        if (done)
            shared->deliver([done, error] { done(error); });
    });
}

} // namespace kolvaro
