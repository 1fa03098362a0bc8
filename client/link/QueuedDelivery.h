#pragma once

#include <QMetaObject>
#include <QObject>

#include <mutex>
#include <utility>

namespace kolvaro {

// Hands work from ORB and worker threads to the thread of one QObject (the
// window thread), in the order handed, until stop(); what is handed after
// that is dropped, so that nothing reaches an object that is going away.
class QueuedDelivery {
public:
    // Before the first delivery; the object must outlive the deliveries.
    void setContext(QObject* context) { context_ = context; }

    template <typename F> void operator()(F f) {
        std::lock_guard lock(mutex_);
        if (delivering_)
            QMetaObject::invokeMethod(context_, std::move(f), Qt::QueuedConnection);
    }

    void stop() {
        std::lock_guard lock(mutex_);
        delivering_ = false;
    }

private:
    QObject* context_ = nullptr;
    std::mutex mutex_;
    bool delivering_ = true;
};

} // namespace kolvaro
