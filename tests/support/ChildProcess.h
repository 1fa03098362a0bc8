#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kolvaro::test {

using std::chrono::milliseconds;

// A program started with pipes on stdin and stdout and its stderr in a file.
// Its stdout is collected line by line on a thread of its own, so that a test
// can wait for a line. The destructor kills the process if it still runs.
class ChildProcess {
public:
    using Match = std::function<bool(const std::string&)>;
    ChildProcess(const std::string& path, const std::vector<std::string>& args);
    virtual ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Writes line and a line end to the child's stdin; false if it is gone.
    bool send(const std::string& line);
    void closeStdin();

    std::vector<std::string> lines() const {
        return locked([&] { return lines_; });
    }
    std::string line(std::size_t index) const {
        return locked([&] { return index < lines_.size() ? lines_[index] : std::string(); });
    }
    // Lines kept or not.
    std::size_t lineCount() const {
        return locked([&] { return count_; });
    }
    // The index of the first line at or after `from` that matches; nothing on
    // timeout or end of output.
    std::optional<std::size_t> waitForLine(std::size_t from, const Match& match,
                                           milliseconds timeout) const;
    std::optional<std::size_t> waitForLine(std::size_t from, milliseconds timeout,
                                           const Match& match) const {
        return waitForLine(from, match, timeout);
    }
    // Whether the line `text` comes, from the first line on.
    bool shows(const std::string& text, milliseconds timeout = milliseconds(20000)) const {
        return waitForLine(0, timeout, [&](const std::string& l) { return l == text; }).has_value();
    }
    // For floods of output: count them only.
    void discardLines() {
        locked([&] { keep_ = false, lines_.clear(); });
    }
    std::string errorText() const;

    void signal(int sig) const { ::kill(pid_, sig); }
    // SIGSTOP, returning once every thread has stopped: one still running
    // could answer one more call.
    void stop() const;
    // Exit status, or 128 + signal number; nothing while it still runs.
    std::optional<int> waitExit(milliseconds timeout);
    bool running() { return !waitExit(milliseconds(0)); }

private:
    template <typename Work> auto locked(Work work) const -> decltype(work()) {
        std::lock_guard lock(mutex_);
        return work();
    }

    pid_t pid_ = -1;
    std::FILE* in_ = nullptr;
    std::FILE* err_ = nullptr;
    std::optional<int> status_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::size_t count_ = 0;
    bool keep_ = true, ended_ = false;
    std::thread reader_;
};

// A loopback TCP port that nothing listened on a moment ago. A port for a
// server that is stopped and started again on it is taken from below the
// ephemeral range: no other process is handed it by bind(0) meanwhile.
int freeLoopbackPort(bool forRestarts = false);
// Whether something accepts connections on the loopback port within timeout.
bool waitForListener(int port, milliseconds timeout);

} // namespace kolvaro::test
