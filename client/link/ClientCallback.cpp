#include "ClientCallback.h"

#include <algorithm>
#include <future>
#include <optional>
#include <utility>

namespace kolvaro {

namespace {

std::string text(const char* s) {
    return s ? std::string(s) : std::string();
}

} // namespace

ClientCallback::ClientCallback(ClientEvents& events) : events_(&events) {}

void ClientCallback::detach() {
    std::lock_guard lock(eventsMutex_);
    events_ = nullptr;
}

template <typename Call> void ClientCallback::tell(Call call) {
    std::lock_guard lock(eventsMutex_);
    if (events_)
        call(*events_);
}

void ClientCallback::addName(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    knownNames_.push_back(name);
}

std::string ClientCallback::nameAt(std::size_t index) const {
    std::lock_guard lock(namesMutex_);
    return index < knownNames_.size() ? knownNames_[index] : std::string("Error");
}

void ClientCallback::removeName(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    const auto found = std::find(knownNames_.begin(), knownNames_.end(), name);
    if (found != knownNames_.end())
        knownNames_.erase(found);
}

void ClientCallback::freeNames() {
    std::lock_guard lock(namesMutex_);
    knownNames_.clear();
}

std::size_t ClientCallback::nameCount() const {
    std::lock_guard lock(namesMutex_);
    return knownNames_.size();
}

void ClientCallback::listFor(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    listFor_ = name;
}

ClientCallback::Listing ClientCallback::listed() const {
    std::lock_guard lock(namesMutex_);
    return listing_;
}

void ClientCallback::noteCallback(const char* clearedArea) {
    std::lock_guard lock(namesMutex_);
    listedSoFar_ = 0;
    ownAreaCleared_ = clearedArea && !listFor_.empty() && text(clearedArea) == listFor_;
}

void ClientCallback::AddNewClient(const char* name) {
    noteCallback();
    tell([&](ClientEvents& events) { events.clientJoined(text(name)); });
}

void ClientCallback::PrintClient(const char* name) {
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

CORBA::Boolean ClientCallback::_non_existent() {
    ++probes_;
    return false;
}

void ClientCallback::PrintTxt(const char* message, const char* sender) {
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

void ClientCallback::CloseClient(const char* name) {
    noteCallback();
    tell([&](ClientEvents& events) { events.clientLeft(text(name)); });
}

void ClientCallback::relay(PaintKind kind, int x1, int y1, int x2, int y2, const char* owner) {
    noteCallback();
    const PaintRecord shape = PaintRecord::of(kind, x1, y1, x2, y2);
    tell([&](ClientEvents& events) { events.shapeRelayed(shape, text(owner)); });
}

void ClientCallback::PaintPoint(CORBA::Short x, CORBA::Short y, const char* owner) {
    relay(PaintKind::Point, x, y, 0, 0, owner);
}

void ClientCallback::PaintLine(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                               const char* owner) {
    relay(PaintKind::Line, x1, y1, x2, y2, owner);
}

void ClientCallback::PaintRect(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                               const char* owner) {
    relay(PaintKind::Rect, x1, y1, x2, y2, owner);
}

void ClientCallback::PaintCirc(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                               const char* owner) {
    relay(PaintKind::Circ, x1, y1, x2, y2, owner);
}

void ClientCallback::PaintFill(CORBA::Short x, CORBA::Short y, const char* owner) {
    relay(PaintKind::Fill, x, y, 0, 0, owner);
}

void ClientCallback::ClearAll(const char* owner) {
    noteCallback(owner);
    tell([&](ClientEvents& events) { events.areaCleared(text(owner)); });
}

} // namespace kolvaro
