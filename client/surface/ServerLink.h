#pragma once

#include "Shape.h"

#include <functional>
#include <optional>
#include <string>

namespace kolvaro {

// What the windows need of the server, with no ORB types in sight, so that
// widgets and their tests depend on this alone.
//
// Every call is made on the window thread and must not block it on the
// network: the CORBA implementation queues the calls and makes them in order
// on a thread of its own, and reports a failure to onFailure on the window
// thread. Coordinates travel as their low 16 bits.
class ServerLink {
public:
    virtual ~ServerLink() = default;

    // Sends the user's stroke; the second corner goes only with the kinds
    // that have one.
    virtual void paint(const PaintRecord& shape, const std::string& owner) = 0;
    virtual void clearAll(const std::string& owner) = 0;
    virtual void loadArea(const std::string& name, const std::string& owner) = 0;
    virtual void logout(const std::string& name) = 0;
    // loadArea, with beforeReplay run on the window thread once every call
    // queued earlier is done and before the replay arrives.
    virtual void reloadArea(const std::string& name, const std::string& owner,
                            std::function<void()> beforeReplay) {
        beforeReplay();
        loadArea(name, owner);
    }
    // A shape of the user's own area sent again after a new login; unlike
    // the user's strokes it is never refused for a full queue.
    virtual void resend(const PaintRecord& shape, const std::string& owner) = 0;
    // The server relayed this shape to this client; it may be the echo of
    // one the user drew.
    virtual void echoed(const PaintRecord& /*shape*/, const std::string& /*owner*/) {}

    // Returns at once; done runs on the window thread when the recipient has
    // read the message (nullopt) or the call failed (the reason).
    using Done = std::function<void(std::optional<std::string> error)>;
    virtual void sendTxt(const std::string& text, const std::string& recipient,
                         const std::string& sender, Done done) = 0;

    // Called on the window thread with a sentence naming what failed.
    using FailureHandler = std::function<void(const std::string& what)>;
    void setFailureHandler(FailureHandler handler) { onFailure_ = std::move(handler); }

protected:
    void reportFailure(const std::string& what) const {
        if (onFailure_)
            onFailure_(what);
    }

private:
    FailureHandler onFailure_;
};

} // namespace kolvaro
