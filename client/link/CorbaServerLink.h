#pragma once

#include "Pipeline.h"
#include "Shapes.h"
#include "surface/ServerLink.h"

#include "TKolvaro.hh"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

class QObject;

namespace kolvaro {

class SerialWorker;

// ServerLink over a TKolvaro::Server reference.
//
// Calls are queued and made in order on a worker thread, so the window
// thread never waits on the network. Every call but SendTxt runs with a call
// timeout. SendTxt waits until the recipient has read the message, so it runs
// on a second thread through a proxy of its own without a timeout, and never
// holds up the drawing calls queued behind it.
//
// A call that fails because the server is gone, does not answer, or no longer
// knows this client (TRANSIENT, COMM_FAILURE, OBJECT_NOT_EXIST, TIMEOUT) stops
// the queue: it and every later call are kept, the trouble handler hears of
// it once, and nothing is sent until resume(). Other failures are delivered
// to the failure handler; after one, further failures are not reported until
// a call succeeds again, so that one fault does not raise a box per stroke.
//
// Handlers and SendTxt completions run on the thread of `context` (the window
// thread), which must outlive this object.
class CorbaServerLink : public ServerLink {
public:
    struct Options {
        std::chrono::milliseconds callTimeout{20000};
        // How long shutdown() lets queued calls (Logout at the end) go out.
        std::chrono::milliseconds flushBound{1000};
        // Calls kept waiting at most; a stroke beyond it is refused, and said
        // so. Shapes sent again after a new login do not count against it.
        std::size_t maxQueued{100000};
    };

    CorbaServerLink(CORBA::ORB_ptr orb, TKolvaro::Server_ptr server, QObject* context);
    CorbaServerLink(CORBA::ORB_ptr orb, TKolvaro::Server_ptr server, QObject* context,
                    Options options);
    ~CorbaServerLink() override;

    void paint(const PaintRecord& shape, const std::string& owner) override;
    void clearAll(const std::string& owner) override;
    void loadArea(const std::string& name, const std::string& owner) override;
    void logout(const std::string& name) override;
    void reloadArea(const std::string& name, const std::string& owner,
                    std::function<void()> beforeReplay) override;
    void resend(const PaintRecord& shape, const std::string& owner) override;
    void echoed(const PaintRecord& shape, const std::string& owner) override;
    void sendTxt(const std::string& text, const std::string& recipient, const std::string& sender,
                 Done done) override;

    // Runs `then` on the window thread once every call queued before it has
    // been made (or has failed), e.g. to end a busy display after LoadArea.
    void afterQueuedCalls(std::function<void()> then);

    // Every later call goes to `server`: the session was found again there.
    void adopt(TKolvaro::Server_ptr server);

    // Called on the window thread when the queue stops for a lost session.
    void setTroubleHandler(std::function<void()> handler) { onTrouble_ = std::move(handler); }
    bool stopped() const;

    enum class Resume {
        SessionHeld,  // the server still knows this client: send what was kept, except
                      // a call that may have arrived already
        ServerForgot, // a new login: areas are loaded and the own area sent again by
                      // `restore`; then the strokes on the area of `own` that
                      // were never echoed (none for an empty `own`: the
                      // server kept that area), then what was kept
        Discard,      // another name: drop what was kept
    };
    // Stops sending, keeping what is queued, until resume(): e.g. while it
    // is unclear whose the name is now.
    void hold();
    // Starts the queue again. Calls made inside `restore` go out before the
    // kept ones; on ServerForgot, a kept call whose stroke has come back
    // went to the old session and comes back with the restore. Window
    // thread only.
    void resume(Resume how, const std::function<void()>& restore = {}, const std::string& own = {});

    // Sends what is queued within the flush bound, abandons a SendTxt still
    // waiting for its reader, and stops delivering to the window thread.
    // Later calls are dropped. Window thread only; idempotent.
    void shutdown();

private:
    struct Shared;
    enum class Kind { Draw, Load, Restore, Logout, Marker };
    using Call = std::function<void(TKolvaro::Server_ptr)>;
    // A shape as sent, with the serial of its call (0 before it is queued).
    struct Stroke {
        std::uint64_t serial;
        PaintRecord shape;
        std::string owner;
    };
    static PaintRecord asSent(const PaintRecord& shape);
    std::uint64_t send(const Stroke& stroke, Kind kind);
    // After a new login: the strokes not echoed, except those whose calls
    // are kept, are drawn again if they are on the area of `own`.
    void redrawUnechoed(const std::function<bool(std::uint64_t)>& isKept, const std::string& own);
    // The call's serial, or 0 when it was refused.
    std::uint64_t enqueue(std::string what, Kind kind, Call call);
    std::uint64_t enqueue(std::string what, Kind kind, const PaintCall& paint,
                          const std::string& owner, Call call);
    static void pump(const std::shared_ptr<Shared>& shared);
    // Whether restores can go in batches; looks once.
    static bool piped(const std::shared_ptr<Shared>& shared);
    // Sends the restores at the front of the queue as one batch; false when
    // the queue stopped for trouble.
    static bool pumpRestores(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<SerialWorker> drawWorker_;
    std::unique_ptr<SerialWorker> sendWorker_;
    Options options_;
    std::function<void()> onTrouble_;
    // Window thread: the user's strokes sent and not yet echoed, oldest first.
    std::deque<Stroke> unechoed_;
};

} // namespace kolvaro
