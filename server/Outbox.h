#pragma once

#include "PaintOp.h"
#include "Pipeline.h"
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
#include <vector>

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
    std::size_t replayed = 0; // ops of *replay taken by the sender so far
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
// to a healthy peer keeps completing callbacks and is never cut off, and a
// drawer that outruns a viewer is held back (waitForRoom) rather than the
// viewer dropped, until the viewer stalls.
//
// To a peer that declared in-order dispatch the callbacks go through a
// Pipeline, in batches confirmed by their last call, so a replay or a
// backlog costs a round trip per batch rather than per operation.
class Outbox {
public:
    struct Limits {
        std::size_t maxEntries;             // drawers wait beyond it; twice as many drops the user
        std::chrono::milliseconds maxStall; // without a completed callback while entries wait
    };

    // target should carry the call timeout; pipeline, when given, carries
    // every callback instead. onGone runs on the sender thread or on a
    // thread that gave up waiting for room.
    Outbox(TKolvaro::Client_ptr target, Limits limits, std::function<void()> onGone,
           std::unique_ptr<Pipeline> pipeline = nullptr);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    enum class Pushed {
        Ok,
        Full,   // more entries than the bound: a drawer waits in waitForRoom
        Behind, // twice the bound, or no progress for too long: drop the user
    };
    // Queues d, and says whether the queue has fallen behind its limits (a
    // replay counts as one entry). A closed queue drops d and reports Ok.
    // Without wake, the sender may sleep on until wake() is called.
    Pushed push(Delivery d, bool wake = true);
    void wake();
    // Whether the sender sleeps for want of work. A sender that is awake
    // takes what was pushed without a wake.
    bool asleep() const { return asleep_.load(std::memory_order_relaxed); }

    // Waits until the queue holds fewer entries than its bound, or is closed,
    // or no callback completed for maxStall: then the user is gone.
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

    // An entry taken by the sender; of a replay, the ops [from, to).
    struct Part {
        Delivery d;
        std::size_t from = 0, to = 0;
    };

    void run();
    void take(std::vector<Part>& batch);
    bool deliver(const Delivery& d);
    bool sendBatch(std::vector<Part>& batch);
    bool closed();
    void progressed();
    void pace(std::chrono::steady_clock::duration took);
    template <class Call> Outcome attempt(Call&& call);

    TKolvaro::Client_var target_;
    const Limits limits_;
    const std::function<void()> onGone_;
    const std::unique_ptr<Pipeline> pipeline_;
    TKolvaro::Kolvaro_var pipedPaints_; // two-way calls over the pipeline
    TKolvaro::Client_var pipedNotices_;
    std::size_t batchLimit_ = 16; // calls in the next batch; sender thread only

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
