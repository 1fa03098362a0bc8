#pragma once

#include "TKolvaro.hh"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kolvaro::test {

// A Client servant that records every callback as one line of text, in the
// order it was served, e.g. "PaintLine 1 2 3 4 A", "PrintClient A",
// "AddNewClient B", "PrintTxt hello|A", "CloseClient B", "ClearAll A".
// Safe to call from any number of ORB threads.
class RecordingClient : public POA_TKolvaro::Client {
public:
    // Runs inside every callback before it is recorded; lets a test stall,
    // fail or inspect a call. Receives the line that will be recorded.
    using Hook = std::function<void(const std::string&)>;

    void setHook(Hook hook);

    std::vector<std::string> events() const;
    // Every callback served since the last clear(), kept or not.
    std::size_t count() const;
    void clear();
    // Off: callbacks are counted but not kept, for runs of millions of them.
    void setKeepEvents(bool keep);

    // Waits until at least n events are recorded; false on timeout.
    bool waitForCount(std::size_t n, std::chrono::milliseconds timeout) const;
    // Waits until an event equal to line is recorded; false on timeout.
    bool waitFor(const std::string& line, std::chrono::milliseconds timeout) const;

    void AddNewClient(const char* name) override;
    void PrintClient(const char* name) override;
    void PrintTxt(const char* text, const char* sender) override;
    void CloseClient(const char* name) override;
    void PaintRect(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override;
    void PaintLine(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override;
    void PaintCirc(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override;
    void PaintPoint(CORBA::Short x, CORBA::Short y, const char* owner) override;
    void PaintFill(CORBA::Short x, CORBA::Short y, const char* owner) override;
    void ClearAll(const char* owner) override;

private:
    void record(std::string line);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
    std::size_t served_ = 0;
    bool keep_ = true;
    Hook hook_;
};

} // namespace kolvaro::test
