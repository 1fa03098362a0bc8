#pragma once

#include "ServerLink.h"

#include "TKolvaro.hh"

#include <chrono>
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
// Failures and SendTxt completions are delivered on the thread of `context`
// (the window thread), which must outlive this object. After a reported
// failure, further failures are not reported until a call succeeds again: a
// server that has gone would otherwise raise one message box per queued
// stroke.
class CorbaServerLink : public ServerLink {
public:
    struct Options {
        std::chrono::milliseconds callTimeout{20000};
        // How long shutdown() lets queued calls (Logout at the end) go out.
        std::chrono::milliseconds flushBound{3000};
    };

    CorbaServerLink(CORBA::ORB_ptr orb, TKolvaro::Server_ptr server, QObject* context);
    CorbaServerLink(CORBA::ORB_ptr orb, TKolvaro::Server_ptr server, QObject* context,
                    Options options);
    ~CorbaServerLink() override;

    void paintPoint(int x, int y, const std::string& owner) override;
    void paintLine(int x1, int y1, int x2, int y2, const std::string& owner) override;
    void paintRect(int x1, int y1, int x2, int y2, const std::string& owner) override;
    void paintCirc(int x1, int y1, int x2, int y2, const std::string& owner) override;
    void paintFill(int x, int y, const std::string& owner) override;
    void clearAll(const std::string& owner) override;
    void loadArea(const std::string& name, const std::string& owner) override;
    void logout(const std::string& name) override;
    void sendTxt(const std::string& text, const std::string& recipient, const std::string& sender,
                 Done done) override;

    // Runs `then` on the window thread once every call queued before it has
    // been made (or has failed), e.g. to end a busy display after LoadArea.
    void afterQueuedCalls(std::function<void()> then);

    // Sends what is queued within the flush bound, abandons a SendTxt still
    // waiting for its reader, and stops delivering to the window thread.
    // Later calls are dropped. Window thread only; idempotent.
    void shutdown();

private:
    struct Shared;
    using Call = std::function<void(TKolvaro::Server_ptr)>;
    void enqueue(std::string what, Call call);

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<SerialWorker> drawWorker_;
    std::unique_ptr<SerialWorker> sendWorker_;
    Options options_;
};

} // namespace kolvaro
