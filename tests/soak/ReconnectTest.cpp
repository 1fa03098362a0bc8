// Churn found by the soak run: clients that come back on the address of an
// earlier client.

#include "ServerProcess.h"

#include <gtest/gtest.h>

using namespace kolvaro::test;

namespace {

std::vector<std::string> onPort(const ServerProcess& server, int port) {
    auto args = server.clientArgs();
    args.push_back("-ORBendPoint");
    args.push_back("giop:tcp:127.0.0.1:" + std::to_string(port));
    return args;
}

void quit(ProbeProcess& probe) {
    probe.call("quit", std::chrono::milliseconds(2000));
    probe.closeStdin();
    ASSERT_TRUE(probe.waitExit(std::chrono::milliseconds(10000)).has_value());
}

} // namespace

// The server still holds a connection to the earlier client's address; the
// newcomer behind that address must be served, not taken for dead.
TEST(Reconnect, AClientRestartedOnTheSameAddressIsServed) {
    ServerProcess server;
    ASSERT_TRUE(server.waitStarted());
    const int port = freeLoopbackPort();
    ProbeProcess viewer(server);
    ASSERT_EQ(viewer.call("login V"), "RESULT login 1");
    ASSERT_EQ(viewer.call("point 1 1 V"), "RESULT point");
    ProbeProcess drawer(server);
    ASSERT_EQ(drawer.call("login D"), "RESULT login 2");

    {
        ProbeProcess first(onPort(server, port));
        ASSERT_EQ(first.call("login A"), "RESULT login 3");
        ASSERT_EQ(first.call("load A V"), "RESULT load");
        ASSERT_EQ(viewer.call("load V A"), "RESULT load");
        // A message box open while drawing arrives: the server talks to A
        // over two connections, and both go stale.
        ASSERT_EQ(first.call("msgbox-delay 1000"), "RESULT msgbox-delay");
        viewer.post("send A V wait");
        ASSERT_TRUE(first.waitEvent("PrintTxt wait|V"));
        ASSERT_EQ(drawer.call("point 5 5 V"), "RESULT point");
        ASSERT_EQ(drawer.call("point 6 6 V"), "RESULT point");
        ASSERT_TRUE(first.waitEvent("PaintPoint 6 6 V"));
        ASSERT_EQ(viewer.answer(), "RESULT send");
        ASSERT_EQ(first.call("logout A"), "RESULT logout");
        quit(first);
    }

    ProbeProcess again(onPort(server, port));
    ASSERT_EQ(again.call("login A"), "RESULT login 3");
    // Replay, relay and a message all reach the restarted client.
    ASSERT_EQ(again.call("load A V"), "RESULT load");
    EXPECT_TRUE(again.waitEvent("PaintPoint 6 6 V"));
    ASSERT_EQ(viewer.call("line 1 2 3 4 V"), "RESULT line");
    EXPECT_TRUE(again.waitEvent("PaintLine 1 2 3 4 V"));
    ASSERT_EQ(viewer.call("send A V hello"), "RESULT send");
    EXPECT_TRUE(again.waitEvent("PrintTxt hello|V"));

    // Nobody was dropped on the way.
    ProbeProcess newcomer(server);
    ASSERT_EQ(newcomer.call("login N"), "RESULT login 4");
    int logouts = 0;
    for (const auto& l : server.lines())
        logouts += l.rfind("Logout of Client: ", 0) == 0;
    EXPECT_EQ(logouts, 1);
}
