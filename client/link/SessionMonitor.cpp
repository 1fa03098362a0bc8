#include "SessionMonitor.h"

#include <QPointer>

#include <algorithm>

namespace kolvaro {

SessionMonitor::SessionMonitor(Checker checker, Hooks hooks, Timing timing, QObject* parent)
    : QObject(parent), checker_(std::move(checker)), hooks_(std::move(hooks)), timing_(timing) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &SessionMonitor::checkNow);
}

void SessionMonitor::start() {
    ++round_;
    running_ = true;
    inFlight_ = false;
    lost_ = false;
    doubts_ = 0;
    schedule(timing_.interval);
}

void SessionMonitor::stop() {
    ++round_;
    running_ = false;
    timer_.stop();
}

void SessionMonitor::schedule(std::chrono::milliseconds after) {
    if (running_)
        timer_.start(after);
}

void SessionMonitor::checkNow() {
    if (!running_ || inFlight_)
        return;
    timer_.stop();
    inFlight_ = true;
    QPointer<SessionMonitor> self(this);
    checker_([self, round = round_](Check check) {
        if (self && self->round_ == round)
            self->answered(check);
    });
}

void SessionMonitor::callTroubled() {
    using namespace std::chrono_literals;
    const auto now = std::chrono::steady_clock::now();
    backoff_ = now - lastTrouble_ < timing_.interval
                   ? std::min(std::max(2 * backoff_, std::chrono::milliseconds(100)), timing_.retry)
                   : 0ms;
    lastTrouble_ = now;
    if (backoff_ == 0ms)
        return checkNow();
    if (!inFlight_ && (!timer_.isActive() || timer_.remainingTimeAsDuration() > backoff_))
        schedule(backoff_);
}

void SessionMonitor::answered(const Check& check) {
    inFlight_ = false;
    using Answer = Check::Answer;
    if (check.answer != Answer::HeldByOther)
        doubts_ = 0;
    switch (check.answer) {
    case Answer::Unreachable:
        if (!std::exchange(lost_, true) && hooks_.lost)
            hooks_.lost(check.reason);
        schedule(timing_.retry);
        return;
    case Answer::Held:
        lost_ = false;
        if (hooks_.held)
            hooks_.held();
        break;
    case Answer::Registered:
        lost_ = false;
        if (hooks_.registered)
            hooks_.registered(check.count);
        break;
    case Answer::HeldByOther:
        // The server's look at the holder can miss this client once (its
        // own timeout); only a second refusal in a row is believed.
        if (++doubts_ < 2) {
            schedule(std::chrono::milliseconds(0));
            return;
        }
        stop();
        if (hooks_.taken)
            hooks_.taken();
        return;
    }
    schedule(timing_.interval);
}

} // namespace kolvaro
