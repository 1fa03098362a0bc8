#include "Helper.h"

#include <algorithm>
#include <future>
#include <optional>
#include <utility>

using kolvaro::PaintKind;

namespace {

std::string text(const char* s) {
    return s ? std::string(s) : std::string();
}

} // namespace

THelper::THelper(ClientEvents& events) : events_(&events) {}

void THelper::detach() {
    std::lock_guard lock(eventsMutex_);
    events_ = nullptr;
}

template <typename Call> void THelper::tell(Call call) {
    std::lock_guard lock(eventsMutex_);
    if (events_)
        call(*events_);
}

void THelper::AddName(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    knownNames_.push_back(name);
}

std::string THelper::NameAt(std::size_t index) const {
    std::lock_guard lock(namesMutex_);
    return index < knownNames_.size() ? knownNames_[index] : std::string("Error");
}

void THelper::RemoveName(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    const auto found = std::find(knownNames_.begin(), knownNames_.end(), name);
    if (found != knownNames_.end())
        knownNames_.erase(found);
}

void THelper::FreeNames() {
    std::lock_guard lock(namesMutex_);
    knownNames_.clear();
}

std::size_t THelper::NameCount() const {
    std::lock_guard lock(namesMutex_);
    return knownNames_.size();
}

void THelper::ListFor(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    listFor_ = name;
}

THelper::Listing THelper::Listed() const {
    std::lock_guard lock(namesMutex_);
    return listing_;
}

void THelper::noteCallback(const char* clearedArea) {
    std::lock_guard lock(namesMutex_);
    listedSoFar_ = 0;
    ownAreaCleared_ = clearedArea && !listFor_.empty() && text(clearedArea) == listFor_;
}

void THelper::AddNewClient(const char* name) {
    noteCallback();
    tell([&](ClientEvents& events) { events.clientJoined(text(name)); });
}

void THelper::PrintClient(const char* name) {
    // A login after a lost session lists again the names already known.
    const std::string n = text(name);
    std::optional<bool> began;
    {
        std::lock_guard lock(namesMutex_);
        if (std::find(knownNames_.begin(), knownNames_.end(), n) == knownNames_.end())
            knownNames_.push_back(n);
        ++listedSoFar_;
        if (n == listFor_) {
            listing_ = {listing_.serial + 1, std::exchange(listedSoFar_, 0), ownAreaCleared_};
            began = std::exchange(ownAreaCleared_, false);
        }
    }
    // In order with the drawing callbacks: what follows belongs to the new session.
    if (began)
        tell([&](ClientEvents& events) { events.sessionBegan(*began); });
}

CORBA::Boolean THelper::_non_existent() {
    ++probes_;
    return false;
}

void THelper::PrintTxt(const char* message, const char* sender) {
    noteCallback();
    std::future<void> read;
    tell([&](ClientEvents& events) { read = events.messageArrived(text(message), text(sender)); });
    if (!read.valid())
        return;
    try {
        read.get();
    } catch (const std::future_error&) {
        // The window went away with the message still open.
    }
}

void THelper::CloseClient(const char* name) {
    noteCallback();
    tell([&](ClientEvents& events) { events.clientLeft(text(name)); });
}

void THelper::relay(PaintKind kind, int x1, int y1, int x2, int y2, const char* owner) {
    noteCallback();
    const int code = kolvaro::codeOf(kind);
    tell([&](ClientEvents& events) { events.shapeRelayed(code, x1, y1, x2, y2, text(owner)); });
}

void THelper::PaintPoint(CORBA::Short x, CORBA::Short y, const char* owner) {
    relay(PaintKind::Point, x, y, 0, 0, owner);
}

void THelper::PaintLine(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                        const char* owner) {
    relay(PaintKind::Line, x1, y1, x2, y2, owner);
}

void THelper::PaintRect(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                        const char* owner) {
    relay(PaintKind::Rect, x1, y1, x2, y2, owner);
}

void THelper::PaintCirc(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                        const char* owner) {
    relay(PaintKind::Circ, x1, y1, x2, y2, owner);
}

void THelper::PaintFill(CORBA::Short x, CORBA::Short y, const char* owner) {
    relay(PaintKind::Fill, x, y, 0, 0, owner);
}

void THelper::ClearAll(const char* owner) {
    noteCallback(owner);
    tell([&](ClientEvents& events) { events.areaCleared(text(owner)); });
}
