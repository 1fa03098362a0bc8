#pragma once

#include "ChildProcess.h"

#include <memory>
#include <string>
#include <vector>

namespace kolvaro::test {

// Paths of the programs under test, fixed by the build.
std::string serverProgram();
std::string peerProgram();

// kolvaro-server on a free loopback port.
class ServerProcess : public ChildProcess {
public:
    // Starts the server on port (0: a free one) with extra ORB arguments.
    explicit ServerProcess(std::vector<std::string> extraArgs = {}, int port = 0);
    // The server's logic with bounds a test can reach in seconds, e.g.
    // {"maxStallMs=1000"} (names of kolvaro::ServerOptions); Latin-1 names only.
    static std::unique_ptr<ServerProcess> bounded(const std::vector<std::string>& bounds);

    int port() const { return port_; }
    std::string corbaloc() const;
    // The ORB arguments a client needs to find this server.
    std::vector<std::string> clientArgs() const;

    // Waits for "Start server."; false if the server ended or took too long.
    bool waitStarted(milliseconds timeout = milliseconds(20000));

    // Console lines from index from on: waits until there are n of them.
    std::vector<std::string> consoleLines(std::size_t from, std::size_t n,
                                          milliseconds timeout = milliseconds(10000)) const;
    // Waits until the console shows line; false on timeout.
    bool shows(const std::string& line, milliseconds timeout = milliseconds(20000)) const;

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
    // "COUNT n", "IOR ..."), or "TIMEOUT".
    std::string call(const std::string& command, milliseconds timeout = milliseconds(20000));
    // Sends a command without waiting for its answer; pick it up with answer().
    void post(const std::string& command);
    std::string answer(milliseconds timeout = milliseconds(20000));

    // Callbacks served so far, e.g. "PaintLine 1 2 3 4 A", "PrintTxt text|sender".
    std::vector<std::string> events() const;
    // Waits until at least n callbacks arrived; returns them all.
    std::vector<std::string> waitEvents(std::size_t n,
                                        milliseconds timeout = milliseconds(20000)) const;
    // Waits for the callback line event; false on timeout.
    bool waitEvent(const std::string& event, milliseconds timeout = milliseconds(20000)) const;
    // The drawing callbacks for owner's area, once there are at least n.
    std::vector<std::string> drawing(const std::string& owner, std::size_t n = 0,
                                     milliseconds timeout = milliseconds(30000)) const;

private:
    std::size_t answerCursor_ = 0;
};

} // namespace kolvaro::test
