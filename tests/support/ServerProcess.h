#pragma once

#include "ChildProcess.h"

#include <memory>
#include <string>
#include <vector>

namespace kolvaro::test {

// The server object's address at a loopback port.
inline std::string serverObjectAt(int port) {
    return "corbaloc::127.0.0.1:" + std::to_string(port) + "/ServerObject";
}

// kolvaro-server on a loopback port.
class ServerProcess : public ChildProcess {
public:
    // Starts the server on port (0: a free one) with extra ORB arguments.
    explicit ServerProcess(std::vector<std::string> extraArgs = {}, int port = 0);
    // The server's logic with bounds a test can reach in seconds, e.g.
    // {"maxStallMs=1000"} (names of kolvaro::ServerOptions).
    static std::unique_ptr<ServerProcess> bounded(const std::vector<std::string>& bounds);

    int port() const { return port_; }
    std::string corbaloc() const { return serverObjectAt(port_); }
    // The ORB arguments a client needs to find this server.
    std::vector<std::string> clientArgs() const {
        return {"-ORBInitRef", "ServerObject=" + corbaloc()};
    }
    bool waitStarted(milliseconds timeout = milliseconds(20000)) {
        return shows("Start server.", timeout);
    }
    // Console lines from index from on, once there are n of them.
    std::vector<std::string> consoleLines(std::size_t from, std::size_t n,
                                          milliseconds timeout = milliseconds(10000)) const;

private:
    ServerProcess(const std::string& program, int port, std::vector<std::string> extraArgs);
    int port_;
};

// kolvaro-test-peer, a callback client driven over a pipe (see peer.cpp).
class PeerProcess : public ChildProcess {
public:
    explicit PeerProcess(const std::vector<std::string>& orbArgs);
    explicit PeerProcess(const ServerProcess& server) : PeerProcess(server.clientArgs()) {}

    // Sends a command and returns its answer line ("RESULT ...", "ERROR ...",
    // "COUNT n", "IOR ..."), or "TIMEOUT"; post() sends one whose answer()
    // is picked up later.
    std::string call(const std::string& command, milliseconds timeout = milliseconds(20000)) {
        return post(command), answer(timeout);
    }
    void post(const std::string& command) { send(command); }
    std::string answer(milliseconds timeout = milliseconds(20000));

    // Callbacks served so far, e.g. "PaintLine 1 2 3 4 A", "PrintTxt text|sender".
    std::vector<std::string> events() const { return matching("EV "); }
    bool waitEvent(const std::string& event, milliseconds timeout = milliseconds(20000)) const {
        return shows("EV " + event, timeout);
    }
    // The drawing callbacks for owner's area, once there are at least n.
    std::vector<std::string> drawing(const std::string& owner, std::size_t n = 0,
                                     milliseconds timeout = milliseconds(30000)) const;

private:
    std::vector<std::string> matching(const std::string& owner) const;
    std::size_t answerCursor_ = 0;
};

// kolvaro-delay-proxy on a loopback port (a free one unless given) in front of
// target: a slow or frozen link on command (see delay_proxy.py).
class DelayProxy : public ChildProcess {
public:
    explicit DelayProxy(int target, int port = freeLoopbackPort());
    int port() const { return port_; }
    std::string corbaloc() const { return serverObjectAt(port_); }
    // E.g. "delay down 5000", "hold both", "release both", "drop"; true once done.
    bool command(const std::string& line);

private:
    int port_;
};

} // namespace kolvaro::test
