#pragma once

#include "Shape.h"

#include <future>
#include <string>

namespace kolvaro {

// Where the callback servant hands what the server tells this client.
// Every method is called on an ORB thread and returns at once: the receiver
// queues the work for its own thread.
class ClientEvents {
public:
    virtual ~ClientEvents() = default;

    virtual void shapeRelayed(const PaintRecord& shape, const std::string& owner) = 0;
    virtual void areaCleared(const std::string& owner) = 0;
    // A newcomer logged in; the receiver asks whether to show its area.
    virtual void clientJoined(const std::string& name) = 0;
    virtual void clientLeft(const std::string& name) = 0;
    // Shows the message; the future is ready once the reader has closed it.
    virtual std::future<void> messageArrived(const std::string& text,
                                             const std::string& sender) = 0;
    // The server began a session under this client's name: whatever it sends
    // from here on belongs to it. keptArea: it kept the own area and sends
    // that, so the client's own copy is not to be sent again.
    virtual void sessionBegan(bool /*keptArea*/) {}
};

// The callback servant as the window holds it, without the ORB: the window
// keeps the names the server reported in step with the areas it shows, and
// lets the servant go when it closes.
class CallbackServant {
public:
    virtual void addName(const std::string& name) = 0;
    virtual void removeName(const std::string& name) = 0;
    virtual void freeNames() = 0;
    // After this, callbacks are accepted and dropped.
    virtual void detach() = 0;
    // Ends the holder's reference; the ORB may keep the servant a while longer.
    virtual void release() = 0;

protected:
    ~CallbackServant() = default;
};

} // namespace kolvaro
