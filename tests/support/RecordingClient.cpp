#include "RecordingClient.h"

#include <algorithm>

namespace kolvaro::test {
namespace {

std::string shape(const char* op, int x1, int y1, int x2, int y2, const char* owner) {
    return std::string(op) + ' ' + std::to_string(x1) + ' ' + std::to_string(y1) + ' ' +
           std::to_string(x2) + ' ' + std::to_string(y2) + ' ' + owner;
}

std::string spot(const char* op, int x, int y, const char* owner) {
    return std::string(op) + ' ' + std::to_string(x) + ' ' + std::to_string(y) + ' ' + owner;
}

} // namespace

void RecordingClient::setHook(Hook hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<std::string> RecordingClient::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::size_t RecordingClient::count() const {
    std::lock_guard lock(mutex_);
    return served_;
}

void RecordingClient::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
    served_ = 0;
}

void RecordingClient::setKeepEvents(bool keep) {
    std::lock_guard lock(mutex_);
    keep_ = keep;
}

bool RecordingClient::waitForCount(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return served_ >= n; });
}

bool RecordingClient::waitFor(const std::string& line, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::find(events_.begin(), events_.end(), line) != events_.end();
    });
}

void RecordingClient::record(std::string line) {
    Hook hook;
    {
        std::lock_guard lock(mutex_);
        hook = hook_;
    }
    // The hook may block or throw (to stand in for a slow or failing client),
    // so it runs outside the lock.
    if (hook)
        hook(line);
    std::lock_guard lock(mutex_);
    if (keep_)
        events_.push_back(std::move(line));
    ++served_;
    changed_.notify_all();
}

void RecordingClient::AddNewClient(const char* name) {
    record(std::string("AddNewClient ") + name);
}
void RecordingClient::PrintClient(const char* name) {
    record(std::string("PrintClient ") + name);
}
void RecordingClient::PrintTxt(const char* text, const char* sender) {
    record(std::string("PrintTxt ") + text + '|' + sender);
}
void RecordingClient::CloseClient(const char* name) {
    record(std::string("CloseClient ") + name);
}
void RecordingClient::PaintRect(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                                const char* owner) {
    record(shape("PaintRect", x1, y1, x2, y2, owner));
}
void RecordingClient::PaintLine(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                                const char* owner) {
    record(shape("PaintLine", x1, y1, x2, y2, owner));
}
void RecordingClient::PaintCirc(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                                const char* owner) {
    record(shape("PaintCirc", x1, y1, x2, y2, owner));
}
void RecordingClient::PaintPoint(CORBA::Short x, CORBA::Short y, const char* owner) {
    record(spot("PaintPoint", x, y, owner));
}
void RecordingClient::PaintFill(CORBA::Short x, CORBA::Short y, const char* owner) {
    record(spot("PaintFill", x, y, owner));
}
void RecordingClient::ClearAll(const char* owner) {
    record(std::string("ClearAll ") + owner);
}

} // namespace kolvaro::test
