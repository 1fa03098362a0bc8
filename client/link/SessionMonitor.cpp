#include "SessionMonitor.h"

#include <QPointer>

#include <algorithm>

namespace kolvaro {

SessionMonitor::SessionMonitor(Checker checker, Witness witness, Hooks hooks, Timing timing,
                               QObject* parent)
    : QObject(parent), checker_(std::move(checker)), witness_(std::move(witness)),
      hooks_(std::move(hooks)), timing_(timing) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &SessionMonitor::checkNow);
}

void SessionMonitor::start() {
    ++round_;
    running_ = true;
    inFlight_ = false;
    lost_ = false;
    doubts_ = 0;
    sessions_ = witness_.listed().serial;
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
    probesAtCheck_ = witness_.probes();
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
    const ClientCallback::Listing listing = witness_.listed();
    if (listing.serial != sessions_ || check.answer == Answer::Registered) {
        // Logged in anew, whether or not the answer came in time.
        sessions_ = listing.serial;
        doubts_ = 0;
        lost_ = false;
        if (hooks_.registered)
            hooks_.registered(check.answer == Answer::Registered ? check.count : listing.count,
                              listing.keptArea);
        schedule(timing_.interval);
        return;
    }
    if (check.answer != Answer::HeldByOther)
        doubts_ = 0;
    switch (check.answer) {
    case Answer::Unreachable:
        if (!std::exchange(lost_, true) && hooks_.lost)
            hooks_.lost(check.reason);
        schedule(timing_.retry);
        return;
    case Answer::HeldByOther:
        if (doubtful(probesAtCheck_)) {
            schedule(timing_.retry);
            return;
        }
        if (doubts_) {
            stop();
            if (hooks_.taken)
                hooks_.taken();
            return;
        }
        [[fallthrough]]; // a probe came after all: this client holds the name
    case Answer::Held:
        doubts_ = 0;
        lost_ = false;
        if (hooks_.held)
            hooks_.held();
        break;
    case Answer::Registered:
        break;
    }
    schedule(timing_.interval);
}

bool SessionMonitor::doubtful(unsigned long probesAtCheck) {
    // The server's look at the holder can miss this client (its own
    // timeout), or reach it late on a slow link.
    const auto now = std::chrono::steady_clock::now();
    if (doubts_++ == 0) {
        doubtSince_ = now;
        probesAtDoubt_ = probesAtCheck;
    }
    if (witness_.probes() != probesAtDoubt_) {
        doubts_ = 0;
        return false;
    }
    return doubts_ < 3 || now - doubtSince_ < timing_.doubt;
}

} // namespace kolvaro
