#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kolvaro::test {

// A free TCP port on 127.0.0.1 (bound, read and closed).
int freeLoopbackPort();

// A child process whose standard output is collected line by line.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::vector<std::string> lines() const;
    // Waits until a line equal to `line` has been printed; false on timeout.
    bool waitFor(const std::string& line, std::chrono::milliseconds timeout) const;
    // Ends the process at once and waits for it.
    void kill();

private:
    void readLoop(int fd);

    int pid_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

} // namespace kolvaro::test
