#pragma once

#include "Shape.h"

#include <QImage>
#include <QSize>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kolvaro {

// Draws a history onto a surface on a thread of its own, so that the window
// thread never waits for a long replay. Only the latest request counts: a
// new one makes the builder drop the one it is drawing.
class SurfaceBuilder {
public:
    struct Request {
        std::uint64_t ticket = 0;
        QSize size;   // of a new white surface, when `start` is null
        QImage start; // or the picture to draw on
        std::vector<PaintRecord> shapes;
    };
    // Called on the builder's thread with the ticket and the finished picture.
    using Done = std::function<void(std::uint64_t ticket, QImage picture)>;

    explicit SurfaceBuilder(Done done);
    // Drops the request in hand and waits for the thread.
    ~SurfaceBuilder();
    SurfaceBuilder(const SurfaceBuilder&) = delete;
    SurfaceBuilder& operator=(const SurfaceBuilder&) = delete;

    void build(Request request);
    // Nothing asked so far is delivered any more.
    void cancel();

private:
    void run();
    // Nothing when the request was dropped on the way.
    std::optional<QImage> draw(Request& request);

    Done done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Request> next_;
    bool quit_ = false;
    // The ticket of the newest request; older ones stop where they are.
    std::atomic<std::uint64_t> wanted_{0};
    std::thread thread_;
};

} // namespace kolvaro
