#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
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
    ChildProcess(const std::string& path, const std::vector<std::string>& args);
    virtual ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Writes line and a line end to the child's stdin; false if it is gone.
    bool send(const std::string& line);
    void closeStdin();

    std::vector<std::string> lines() const;
    std::string line(std::size_t index) const;
    std::size_t lineCount() const; // counts lines no longer kept too
    // The index of the first line at or after `from` that matches; nothing on
    // timeout or end of output.
    std::optional<std::size_t> waitForLine(std::size_t from,
                                           const std::function<bool(const std::string&)>& match,
                                           milliseconds timeout) const;
    void discardLines(); // for floods of output: count them only
    std::string errorText() const;

    void signal(int sig) const;
    // SIGSTOP, returning once every thread has stopped: one still running
    // could answer one more call.
    void stop() const;
    // Exit status, or 128 + signal number; nothing while it still runs.
    std::optional<int> waitExit(milliseconds timeout);
    bool running() { return !waitExit(milliseconds(0)); }

private:
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

// A loopback TCP port that nothing listened on a moment ago.
int freeLoopbackPort();
// Whether something accepts connections on the loopback port within timeout.
bool waitForListener(int port, milliseconds timeout);

} // namespace kolvaro::test
