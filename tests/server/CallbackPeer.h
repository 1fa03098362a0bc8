#pragma once

#include "TKolvaro.hh"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kolvaro::test {

// Runs the callback peer program and follows the callbacks it reports.
class CallbackPeer {
public:
    explicit CallbackPeer(CORBA::ORB_ptr orb);
    ~CallbackPeer();

    TKolvaro::Client_ptr ref() const { return ref_.in(); }
    void signal(int sig);
    // SIGKILL, returning once the process is gone.
    void kill();
    // SIGSTOP, returning once every thread of the peer has stopped.
    void stop();

    std::vector<std::string> lines() const;
    bool waitFor(const std::string& line, std::chrono::milliseconds timeout) const;

private:
    void readLines();

    pid_t pid_ = -1;
    int in_ = -1;  // the peer's standard input
    int out_ = -1; // its standard output
    TKolvaro::Client_var ref_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::thread reader_;
};

} // namespace kolvaro::test
