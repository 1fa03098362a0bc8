#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace kolvaro {

// One thread that runs posted tasks one after another, in the order posted.
//
// A task may block for long (a remote call); finish() therefore waits only up
// to a bound and then leaves the thread to end on its own. Tasks must not
// capture anything that dies with their poster: only shared state.
class SerialWorker {
public:
    SerialWorker();
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // False (and the task is dropped) once finish() has begun.
    bool post(std::function<void()> task);

    // Stops taking tasks and lets those queued run for at most `bound`; any
    // left then are dropped. True when the thread ended within the bound and
    // was joined; false when a task was still running and the thread was let
    // go.
    bool finish(std::chrono::milliseconds bound);

private:
    struct State;
    static void run(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace kolvaro
