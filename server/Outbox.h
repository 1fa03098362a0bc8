#pragma once

#include "PaintOp.h"
#include "TKolvaro.hh"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kolvaro {

using SharedText = std::shared_ptr<const std::string>;

// Lets a caller wait, without holding any lock, until its deliveries before
// this point have been made (or have become impossible).
class Completion {
public:
    void finish(bool delivered);
    // True when everything before the marker was handed to the user.
    bool wait();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    bool delivered_ = false;
};

// One callback waiting in a user's queue. Names are shared with the registry
// so that relaying an operation to many viewers copies no strings.
struct Delivery {
    enum class Kind : std::uint8_t {
        Paint,        // op, on the area named by text
        Clear,        // ClearAll(text)
        Replay,       // every op of *replay, on the area named by text
        AddNewClient, // AddNewClient(text), oneway
        PrintClient,  // PrintClient(text)
        CloseClient,  // CloseClient(text)
        Marker,       // finish done
    };

    Kind kind = Kind::Marker;
    PaintOp op;
    SharedText text;
    std::shared_ptr<const History> replay;
    std::shared_ptr<Completion> done;
    std::chrono::steady_clock::time_point queued;
};

// The ordered delivery queue of one logged-in user, served by its own sender
// thread, so that a slow or dead user delays nobody but itself.
//
// A failed callback is never retried: a timed-out request may already sit in
// the stopped peer's socket and be served when it resumes. The call timeout
// therefore equals the backlog age limit, and a user whose transport fails
// (gone, unreachable, timed out) is reported through onGone exactly once.
// Other failures (one string the peer cannot convert, say) skip that callback.
class Outbox {
public:
    struct Limits {
        std::size_t maxEntries;
        std::chrono::milliseconds maxAge;
    };

    // target should carry the call timeout; onGone runs on the sender thread.
    Outbox(TKolvaro::Client_ptr target, Limits limits, std::function<void()> onGone);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Queues d. False when the queue has fallen behind its limits, in
    // entries or in the age of its oldest entry (a replay counts as one
    // entry). A closed queue drops d and reports true. Without wake, the
    // sender may sleep on until wake() is called.
    bool push(Delivery d, bool wake = true);
    void wake();

    // Stops delivering: queued entries are discarded and their markers
    // finished as undelivered. A callback in progress runs to its end (or
    // its timeout). Idempotent; does not wait.
    void close();
    // Waits for the sender thread to end. Not from the sender thread itself.
    void join();
    bool finished() const { return finished_.load(); }

private:
    enum class Outcome { Done, Skipped, Gone };

    void run();
    bool deliver(const Delivery& d);
    bool closed();
    template <class Call> Outcome attempt(Call&& call);

    TKolvaro::Client_var target_;
    const Limits limits_;
    const std::function<void()> onGone_;

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Delivery> queue_;
    bool closed_ = false;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

} // namespace kolvaro
