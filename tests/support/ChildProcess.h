#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kolvaro::test {

using std::chrono::milliseconds;

// A program started with pipes on stdin, stdout and stderr (posix_spawn, no
// shell). Output is collected by reader threads, stdout line by line, so a
// test can wait for a line with a timeout. The destructor kills the process
// if it still runs and reaps it.
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

    // Every stdout line so far (empty when lines are not kept).
    std::vector<std::string> lines() const;
    std::size_t lineCount() const;
    // Waits for the first line at index >= from that satisfies match; returns
    // its index, or nothing on timeout or end of output.
    std::optional<std::size_t> waitForLine(std::size_t from,
                                           const std::function<bool(const std::string&)>& match,
                                           milliseconds timeout) const;
    std::string line(std::size_t index) const;
    // For floods of output: count lines, keep none from now on.
    void discardLines();

    std::string errorText() const;

    void signal(int sig) const;
    // Exit status, or 128 + signal number; nothing while it still runs.
    std::optional<int> waitExit(milliseconds timeout);
    bool running();

private:
    void readLines(int fd);

    pid_t pid_ = -1;
    int stdin_ = -1;
    std::optional<int> status_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::size_t count_ = 0;
    bool keep_ = true;
    bool outEnded_ = false;
    int errFile_ = -1;
    std::thread outReader_;
};

// A loopback TCP port that nothing listened on a moment ago.
int freeLoopbackPort();

// Waits until something accepts connections on the loopback port; false when
// nothing has after `timeout`.
bool waitForListener(int port, std::chrono::milliseconds timeout);

} // namespace kolvaro::test
