#include "SerialWorker.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace kolvaro {

struct SerialWorker::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> tasks;
    bool closing = false;
    bool ended = false;
};

SerialWorker::SerialWorker()
    : state_(std::make_shared<State>()), thread_(&SerialWorker::run, state_) {}

SerialWorker::~SerialWorker() {
    finish(std::chrono::milliseconds(0));
}

bool SerialWorker::post(std::function<void()> task) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->closing)
            return false;
        state_->tasks.push_back(std::move(task));
    }
    state_->changed.notify_all();
    return true;
}

bool SerialWorker::finish(std::chrono::milliseconds bound) {
    if (!thread_.joinable())
        return true;
    std::deque<std::function<void()>> dropped;
    bool ended;
    {
        std::unique_lock lock(state_->mutex);
        state_->closing = true;
        state_->changed.notify_all();
        ended = state_->changed.wait_for(lock, bound, [&] { return state_->ended; });
        if (!ended)
            dropped.swap(state_->tasks);
    }
    // Destroyed outside the lock: a task's captures may take time to release.
    dropped.clear();
    if (ended)
        thread_.join();
    else
        thread_.detach();
    return ended;
}

void SerialWorker::run(std::shared_ptr<State> state) {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(state->mutex);
            state->changed.wait(lock, [&] { return state->closing || !state->tasks.empty(); });
            if (state->tasks.empty()) {
                state->ended = true;
                state->changed.notify_all();
                return;
            }
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        try {
            task();
        } catch (...) {
            // A task reports its own failures; one that escapes must not end
            // the queue behind it.
        }
    }
}

} // namespace kolvaro
