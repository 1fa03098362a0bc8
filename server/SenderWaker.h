#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kolvaro {

class Outbox;

// Wakes the senders of a relayed operation on a thread of its own, so the
// thread serving the drawing call wakes one thread instead of one per viewer
// and sends its reply before the viewers' callbacks compete with it for the
// cores.
class SenderWaker {
public:
    SenderWaker();
    ~SenderWaker();
    SenderWaker(const SenderWaker&) = delete;
    SenderWaker& operator=(const SenderWaker&) = delete;

    // Wakes each outbox's sender soon. The outboxes are kept alive until then.
    void post(const std::vector<std::shared_ptr<Outbox>>& outboxes);

    // Wakes what is pending and ends the thread. Idempotent.
    void stop();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::shared_ptr<Outbox>> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

// Lets the calling thread run when a core is free rather than preempt the
// thread that woke it, and gives way to the threads that serve calls, so a
// drawer's reply does not wait on the fan-out of its previous operations.
// Delivery still gets a share of a busy core, so callbacks keep completing;
// a drawer that outruns its own echo is held back by its queue's bound.
// Best effort: the default policy stays where it is refused.
void yieldOnWakeup();

} // namespace kolvaro
