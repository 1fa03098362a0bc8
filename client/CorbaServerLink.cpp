#include "CorbaServerLink.h"

#include "CorbaFailure.h"
#include "Refusals.h"
#include "SerialWorker.h"

#include <QMetaObject>
#include <QObject>

#include <mutex>
#include <utility>

namespace kolvaro {

// Everything the worker threads touch; it outlives the link when a call is
// still in flight at shutdown.
struct CorbaServerLink::Shared {
    CORBA::ORB_var orb;
    TKolvaro::Server_var drawRef;
    TKolvaro::Server_var sendRef; // made on the send thread at first use
    QObject* context = nullptr;

    std::mutex deliverMutex;
    bool delivering = true; // guarded by deliverMutex

    // Window thread only: cleared by the link's destructor, checked by every
    // delivery before it touches the link.
    bool linkAlive = true;
    CorbaServerLink* link = nullptr;

    // Draw thread only: a failure has been reported and no call has
    // succeeded since.
    bool failing = false;

    template <typename F> void deliver(F f) {
        std::lock_guard lock(deliverMutex);
        if (delivering)
            QMetaObject::invokeMethod(context, std::move(f), Qt::QueuedConnection);
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
    shared_->drawRef = TKolvaro::Server::_duplicate(server);
    shared_->context = context;
    shared_->link = this;
    omniORB::setClientCallTimeout(shared_->drawRef.in(),
                                  static_cast<CORBA::ULong>(options.callTimeout.count()));
}

CorbaServerLink::~CorbaServerLink() {
    shutdown();
    shared_->linkAlive = false;
}

void CorbaServerLink::shutdown() {
    if (!drawWorker_)
        return;
    drawWorker_->finish(options_.flushBound);
    // A message may wait for its reader for ever; nobody is left to tell.
    sendWorker_->finish(std::chrono::milliseconds(0));
    {
        std::lock_guard lock(shared_->deliverMutex);
        shared_->delivering = false;
    }
    drawWorker_.reset();
    sendWorker_.reset();
}

void CorbaServerLink::enqueue(std::string what, Call call) {
    if (!drawWorker_)
        return;
    drawWorker_->post([shared = shared_, what = std::move(what), call = std::move(call)] {
        try {
            call(shared->drawRef.in());
            shared->failing = false;
        } catch (...) {
            std::string sentence = failureSentence(what);
            if (std::exchange(shared->failing, true))
                return;
            shared->deliver([shared, sentence] {
                if (shared->linkAlive)
                    shared->link->reportFailure(sentence);
            });
        }
    });
}

void CorbaServerLink::paintPoint(int x, int y, const std::string& owner) {
    enqueue("send the point to the server",
            [=](TKolvaro::Server_ptr s) { s->PaintPoint(low16(x), low16(y), owner.c_str()); });
}

void CorbaServerLink::paintLine(int x1, int y1, int x2, int y2, const std::string& owner) {
    enqueue("send the line to the server", [=](TKolvaro::Server_ptr s) {
        s->PaintLine(low16(x1), low16(y1), low16(x2), low16(y2), owner.c_str());
    });
}

void CorbaServerLink::paintRect(int x1, int y1, int x2, int y2, const std::string& owner) {
    enqueue("send the rectangle to the server", [=](TKolvaro::Server_ptr s) {
        s->PaintRect(low16(x1), low16(y1), low16(x2), low16(y2), owner.c_str());
    });
}

void CorbaServerLink::paintCirc(int x1, int y1, int x2, int y2, const std::string& owner) {
    enqueue("send the circle to the server", [=](TKolvaro::Server_ptr s) {
        s->PaintCirc(low16(x1), low16(y1), low16(x2), low16(y2), owner.c_str());
    });
}

void CorbaServerLink::paintFill(int x, int y, const std::string& owner) {
    enqueue("send the fill to the server",
            [=](TKolvaro::Server_ptr s) { s->PaintFill(low16(x), low16(y), owner.c_str()); });
}

void CorbaServerLink::clearAll(const std::string& owner) {
    enqueue("clear the area of " + owner + " at the server",
            [=](TKolvaro::Server_ptr s) { s->ClearAll(owner.c_str()); });
}

void CorbaServerLink::loadArea(const std::string& name, const std::string& owner) {
    enqueue("load the area of " + owner + " from the server",
            [=](TKolvaro::Server_ptr s) { s->LoadArea(name.c_str(), owner.c_str()); });
}

void CorbaServerLink::logout(const std::string& name) {
    enqueue("log out from the server", [=](TKolvaro::Server_ptr s) { s->Logout(name.c_str()); });
}

void CorbaServerLink::afterQueuedCalls(std::function<void()> then) {
    if (!drawWorker_)
        return;
    drawWorker_->post([shared = shared_, then = std::move(then)] { shared->deliver(then); });
}

void CorbaServerLink::sendTxt(const std::string& text, const std::string& recipient,
                              const std::string& sender, Done done) {
    if (!sendWorker_)
        return;
    sendWorker_->post([shared = shared_, text, recipient, sender, done = std::move(done)] {
        std::optional<std::string> error;
        try {
            if (CORBA::is_nil(shared->sendRef.in())) {
                // A proxy of its own, so that the drawing proxy's timeout does
                // not apply. It must follow any forward of the server's
                // published key before the first text is marshalled: only the
                // full reference carries the code sets.
                CORBA::String_var ior = shared->orb->object_to_string(shared->drawRef.in());
                CORBA::Object_var obj = shared->orb->string_to_object(ior.in());
                TKolvaro::Server_var ref = TKolvaro::Server::_narrow(obj.in());
                if (CORBA::is_nil(ref.in()))
                    throw CORBA::INV_OBJREF();
                // A typed reference narrows without a call; this one follows
                // the forward for certain.
                if (ref->_non_existent())
                    throw CORBA::OBJECT_NOT_EXIST();
                shared->sendRef = ref._retn();
            }
            shared->sendRef->SendTxt(text.c_str(), recipient.c_str(), sender.c_str());
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
