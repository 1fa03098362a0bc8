#pragma once

#include "RecordingClient.h"
#include "ServerImpl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kolvaro::test {

using namespace std::chrono_literals;

// Generous: the machine is shared, and a wait only ends early on success.
constexpr auto kWait = 20s;

// A callback servant activated in this process's RootPOA.
struct Peer {
    PortableServer::Servant_var<RecordingClient> servant; // outlives its deactivation
    TKolvaro::Client_var ref;
    PortableServer::ObjectId_var id;
    bool active = false;

    // Lines recorded for the area of owner, in arrival order.
    std::vector<std::string> drawingOn(const std::string& owner) const;
};

// A fresh ServerImpl per test, activated in the RootPOA and called through
// its reference, with its console captured in a temporary file.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { start({}); }
    void TearDown() override;

    // Replaces the server started by SetUp (same console file).
    void start(kolvaro::ServerOptions options);

    Peer& peer(const std::string& key);
    // Makes the peer's servant unreachable: further calls fail as if its
    // process had gone (OBJECT_NOT_EXIST).
    void kill(Peer& p);
    // Logs a new peer in under name (the peer's key as well).
    Peer& login(const std::string& name);

    std::vector<std::string> consoleLines() const;
    bool waitForConsole(const std::string& line) const;

    TKolvaro::Server_var server;
    ServerImpl* impl = nullptr;

private:
    void stop();

    std::FILE* console_ = nullptr;
    PortableServer::ObjectId_var serverId_;
    std::map<std::string, std::unique_ptr<Peer>> peers_;
};

// A gate a callback hook can wait at until the test opens it.
class Gate {
public:
    void open();
    // Waits until open (or kWait has passed, so that a fault cannot hang the suite).
    void pass();

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

} // namespace kolvaro::test
