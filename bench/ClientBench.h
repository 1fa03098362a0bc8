#pragma once

// What the benchmarks that run client code on their own thread share.
#include "surface/ServerLink.h"

#include <QApplication>

#include <chrono>
#include <cstddef>
#include <functional>

namespace kolvaro::bench {

using Clock = std::chrono::steady_clock;

// Runs the window thread's events until done, or false after limit.
inline bool pumpUntil(const std::function<bool()>& done, Clock::duration limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The own area's drawing that the restore benchmarks send and time:
// lines and rectangles in turn, as user R.
inline void drawSample(ServerLink& link, std::size_t ops) {
    for (std::size_t i = 0; i < ops; ++i) {
        const int v = static_cast<int>(i % 300);
        if (i % 2)
            link.paint(PaintRecord::of(PaintKind::Line, v, 0, 300 - v, 200), "R");
        else
            link.paint(PaintRecord::of(PaintKind::Rect, v, v / 2, v + 20, v / 2 + 15), "R");
    }
}

} // namespace kolvaro::bench
