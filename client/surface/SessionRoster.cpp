#include "SessionRoster.h"

#include <algorithm>
#include <utility>

namespace kolvaro {

void SessionRoster::loginAnswered(const std::string& name, int result) {
    allCount_ = result;
    if (result != -1)
        ownName_ = name;
}

void SessionRoster::forgetOwnName() {
    ownName_.clear();
    sessionBegun_ = false;
}

std::vector<std::string> SessionRoster::startWork() {
    working_ = true;
    return std::exchange(acceptedEarly_, {});
}

bool SessionRoster::accept(const std::string& name) {
    if (working_)
        return true;
    // Before Enter there is nowhere to show it yet: counted now, opened then.
    ++allCount_;
    acceptedEarly_.push_back(name);
    return false;
}

void SessionRoster::left(const std::string& name) {
    std::erase(acceptedEarly_, name);
    --allCount_;
}

bool SessionRoster::sessionBegan(bool keptArea) {
    if (ownName_.empty())
        return false; // a first login, or one under a name that was taken
    sessionBegun_ = true;
    return !keptArea;
}

bool SessionRoster::restore(int count) {
    allCount_ = count;
    return !std::exchange(sessionBegun_, false);
}

void SessionRoster::setAside(const std::vector<PaintRecord>& history) {
    toResend_.insert(toResend_.end(), history.begin(), history.end());
}

std::vector<PaintRecord> SessionRoster::takeSetAside() {
    return std::exchange(toResend_, {});
}

void SessionRoster::areasClosed() {
    sessionBegun_ = false;
    toResend_.clear();
}

} // namespace kolvaro
