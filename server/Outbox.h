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
        Probe,        // _non_existent(): a question the user owes an answer to
        Marker,       // finish done
    };

    Kind kind = Kind::Marker;
    PaintOp op;
    SharedText text;
    std::shared_ptr<const History> replay;
    std::shared_ptr<Completion> done;
};

// The ordered delivery queue of one logged-in user, served by its own sender
// thread, so that a slow or dead user delays nobody but itself.
//
// A failed callback is never retried: a timed-out request may already sit in
// the stopped peer's socket and be served when it resumes. A user whose
// transport fails (gone, unreachable, timed out) is reported through onGone
// exactly once. Other failures (one string the peer cannot convert, say) skip
// that callback.
//
// A user is judged by progress, not by the age of its backlog: a long replay
// to a healthy peer keeps completing callbacks and is never cut off.
class Outbox {
public:
    struct Limits {
        std::size_t maxEntries;
        std::chrono::milliseconds maxStall; // without a completed callback while entries wait
    };

    // target should carry the call timeout; onGone runs on the sender thread.
    Outbox(TKolvaro::Client_ptr target, Limits limits, std::function<void()> onGone);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    enum class Pushed {
        Ok,
        Behind, // more entries than the bound, or no progress for too long
        Full,   // unbounded only: more entries than the bound
    };
    // Queues d, and says whether the queue has fallen behind its limits: more
    // entries than the bound (a replay counts as one), or no callback
    // completed for maxStall while entries waited. Without bounded, too many
    // entries only report Full: the producer waits in waitForRoom instead. A
    // closed queue drops d and reports Ok. Without wake, the sender may sleep
    // on until wake() is called.
    Pushed push(Delivery d, bool wake = true, bool bounded = true);
    void wake();
    // Whether the sender sleeps for want of work. A sender that is awake
    // takes what was pushed without a wake.
    bool asleep() const { return asleep_.load(std::memory_order_relaxed); }

    // Waits until the queue holds fewer entries than its bound, or is closed.
    void waitForRoom();

    // Stops delivering: queued entries are discarded and their markers
    // finished as undelivered. A callback in progress runs to its end (or
    // its timeout). Idempotent; does not wait.
    void close();
    // Waits for the sender thread to end; several threads may wait at once.
    void join();
    bool finished() const { return finished_.load(); }

private:
    enum class Outcome { Done, Skipped, Gone };

    void run();
    bool deliver(const Delivery& d);
    bool closed();
    void progressed();
    template <class Call> Outcome attempt(Call&& call);

    TKolvaro::Client_var target_;
    const Limits limits_;
    const std::function<void()> onGone_;

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable roomy_;
    std::deque<Delivery> queue_;
    int roomWaiters_ = 0;
    bool busy_ = false; // the sender holds an entry taken from the queue
    std::atomic<bool> asleep_{false};
    bool closed_ = false;
    // When the sender last completed a callback, or was given work while idle.
    std::atomic<std::chrono::steady_clock::rep> progress_{0};
    std::atomic<bool> finished_{false};
    std::mutex joinMutex_; // shutdown and a logout may both join
    std::thread thread_;
};

} // namespace kolvaro
