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

    virtual void paintPoint(int x, int y, const std::string& owner) = 0;
    virtual void paintLine(int x1, int y1, int x2, int y2, const std::string& owner) = 0;
    virtual void paintRect(int x1, int y1, int x2, int y2, const std::string& owner) = 0;
    virtual void paintCirc(int x1, int y1, int x2, int y2, const std::string& owner) = 0;
    virtual void paintFill(int x, int y, const std::string& owner) = 0;
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
    // The call above that sends `shape`; a second corner goes only with the
    // kinds that have one.
    void paint(const PaintRecord& shape, const std::string& owner) {
        switch (shape.kind) {
        case PaintKind::Point:
            return paintPoint(shape.x1, shape.y1, owner);
        case PaintKind::Line:
            return paintLine(shape.x1, shape.y1, shape.x2, shape.y2, owner);
        case PaintKind::Rect:
            return paintRect(shape.x1, shape.y1, shape.x2, shape.y2, owner);
        case PaintKind::Circ:
            return paintCirc(shape.x1, shape.y1, shape.x2, shape.y2, owner);
        case PaintKind::Fill:
            return paintFill(shape.x1, shape.y1, owner);
        }
    }
    // A shape of the user's own area sent again after a new login (code:
    // kind + 1); unlike the user's strokes it is never refused for a full queue.
    virtual void resend(int code, int x1, int y1, int x2, int y2, const std::string& owner) = 0;
    // The server relayed this shape to this client; it may be the echo of
    // one the user drew.
    virtual void echoed(int /*code*/, int /*x1*/, int /*y1*/, int /*x2*/, int /*y2*/,
                        const std::string& /*owner*/) {}

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
