#include "SenderWaker.h"

#include "Outbox.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kolvaro {

void yieldOnWakeup() {
    sched_param param{};
    param.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
}

SenderWaker::SenderWaker() {
    thread_ = std::thread([this] { run(); });
}

SenderWaker::~SenderWaker() {
    stop();
}

void SenderWaker::post(const std::vector<std::shared_ptr<Outbox>>& outboxes) {
    std::lock_guard lock(mutex_);
    pending_.insert(pending_.end(), outboxes.begin(), outboxes.end());
    ready_.notify_one();
}

void SenderWaker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        ready_.notify_one();
    }
    if (thread_.joinable())
        thread_.join();
}

void SenderWaker::run() {
    yieldOnWakeup();
    std::vector<std::shared_ptr<Outbox>> batch;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
            batch.swap(pending_);
        }
        for (auto& o : batch)
            o->wake();
        // The registry releases an outbox only once its sender has ended and
        // been joined, so dropping the last reference here never waits.
        batch.clear();
        std::lock_guard lock(mutex_);
        if (stopping_ && pending_.empty())
            return;
    }
}

} // namespace kolvaro
