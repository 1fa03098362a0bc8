#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

namespace kolvaro {

// Hands work from ORB and worker threads to the thread of one QObject (the
// window thread), in the order handed, until stop(); what is handed after
// that is dropped, so that nothing reaches an object that is going away.
//
// With a bound, a thread other than the receiver's waits while that many
// pieces of work are handed and not yet run: a receiver that falls far
// behind holds its senders back instead of queueing without end.
class QueuedDelivery {
public:
    explicit QueuedDelivery(std::size_t bound = 0) : bound_(bound) {}

    // Before the first delivery. Unbounded, the object must outlive the
    // deliveries; bounded, this must live as long as the object.
    void setContext(QObject* context) { context_ = context; }

    template <typename F> void operator()(F f) {
        std::unique_lock lock(mutex_);
        if (!bound_) {
            if (delivering_)
                QMetaObject::invokeMethod(context_, std::move(f), Qt::QueuedConnection);
            return;
        }
        if (QThread::currentThread() != context_->thread())
            room_.wait(lock, [this] { return !delivering_ || waiting_ < bound_; });
        if (!delivering_)
            return;
        ++waiting_;
        QMetaObject::invokeMethod(
            context_,
            [this, f = std::move(f)]() mutable {
                {
                    std::lock_guard done(mutex_);
                    --waiting_;
                }
                room_.notify_one();
                f();
            },
            Qt::QueuedConnection);
    }

    // Also releases every sender waiting for room.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            delivering_ = false;
        }
        room_.notify_all();
    }

private:
    QObject* context_ = nullptr;
    const std::size_t bound_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::size_t waiting_ = 0;
    bool delivering_ = true;
};

} // namespace kolvaro
