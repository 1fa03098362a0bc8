#pragma once

#include "ClientCallback.h"
#include "ClientOrb.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>

namespace kolvaro {

// Watches that this client's session holds. It asks Login again under the
// client's own name (ClientOrb::checkSession), which the server refuses
// without a word while the session holds: every `interval` while all is
// well, every `retry` while the server is out of reach or the answer is in
// doubt, and at once when a call has run into trouble. No widgets; window
// thread only.
//
// What the callback object saw decides along with the answers: a session
// the server began for this client counts whether or not the answer to that
// Login came back in time, and a probe of this client, however late, shows
// that it still holds its name. The name is given up only after refusals
// without any probe for the doubt time.
class SessionMonitor : public QObject {
public:
    using Check = ClientOrb::SessionCheck;
    using Checker = std::function<void(std::function<void(Check)> done)>;
    struct Hooks {
        std::function<void(const std::string& reason)> lost; // once, when reach is lost
        std::function<void()> held;                          // every answer that the session holds
        // The session had ended: logged in anew; keptArea as ClientCallback::Listing.
        std::function<void(int count, bool keptArea)> registered;
        std::function<void()> taken; // someone else has the name; checks stop
    };
    struct Timing {
        std::chrono::milliseconds interval{3000};
        std::chrono::milliseconds retry{2000};
        // Beyond the server's bound for a client whose callbacks stall.
        std::chrono::milliseconds doubt{12000};
    };
    // What the callback object has seen (ClientCallback::Probes and listed).
    struct Witness {
        std::function<unsigned long()> probes;
        std::function<ClientCallback::Listing()> listed;
    };

    SessionMonitor(Checker checker, Witness witness, Hooks hooks, Timing timing,
                   QObject* parent = nullptr);

    void start();
    void stop();
    // Checks now, unless a check is on its way.
    void checkNow();
    // A call ran into trouble: checks now, or later and later while calls
    // keep failing and checks keep finding the session, so that a fault only
    // the calls see is no busy loop.
    void callTroubled();
    bool reachable() const { return !lost_; }

private:
    void answered(const Check& check);
    void schedule(std::chrono::milliseconds after);

    bool doubtful(unsigned long probesAtCheck);

    Checker checker_;
    Witness witness_;
    Hooks hooks_;
    Timing timing_;
    QTimer timer_;
    bool running_ = false;
    bool inFlight_ = false;
    bool lost_ = false;
    int doubts_ = 0;
    std::chrono::steady_clock::time_point doubtSince_;
    unsigned long probesAtDoubt_ = 0; // before the first doubtful check
    unsigned long probesAtCheck_ = 0; // before the check in flight
    unsigned long sessions_ = 0;      // the listing serial taken into account
    std::chrono::steady_clock::time_point lastTrouble_{};
    std::chrono::milliseconds backoff_{0};
    // Tells answers to checks made before a stop() from current ones.
    unsigned round_ = 0;
};

} // namespace kolvaro
