#pragma once

// What the benchmarks that run client code on their own thread share.
#include <QApplication>

#include <chrono>
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

} // namespace kolvaro::bench
