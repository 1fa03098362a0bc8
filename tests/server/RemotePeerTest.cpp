// Viewers in processes of their own that are stopped or killed: what only a
// real connection shows (call timeouts, requests waiting in a socket).
#include "CallbackPeer.h"
#include "ServerFixture.h"

#include <csignal>
#include <future>
#include <thread>

namespace kolvaro::test {
namespace {

using Lines = std::vector<std::string>;

Lines drawing(const CallbackPeer& p) {
    Lines out;
    for (const auto& l : p.lines())
        if (l.rfind("Paint", 0) == 0)
            out.push_back(l);
    return out;
}

class RemotePeerTest : public ServerTest {
protected:
    // Logs in a peer process as B, displaying A's area.
    CallbackPeer& remoteViewer() {
        remote_ = std::make_unique<CallbackPeer>(testOrb());
        EXPECT_GT(server->Login("B", remote_->ref()), 0);
        server->LoadArea("B", "A");
        return *remote_;
    }

    Lines drawSome(int n) {
        Lines sent;
        for (int i = 0; i < n; ++i) {
            server->PaintPoint(static_cast<CORBA::Short>(i), 7, "A");
            sent.push_back("PaintPoint " + std::to_string(i) + " 7 A");
        }
        return sent;
    }

    std::unique_ptr<CallbackPeer> remote_;
};

// A short stop is well inside the bounds: once the viewer runs again it gets
// every operation once, in order, including the one that was in flight.
TEST_F(RemotePeerTest, AViewerStoppedForAWhileCatchesUpExactly) {
    Peer& a = login("A");
    CallbackPeer& b = remoteViewer();
    b.stop();
    const Lines sent = drawSome(30);
    ASSERT_TRUE(a.servant->waitFor(sent.back(), kWait));
    std::this_thread::sleep_for(300ms);
    b.signal(SIGCONT);
    ASSERT_TRUE(b.waitFor(sent.back(), kWait));
    login("C"); // queued after the drawing: everything before it has been served
    ASSERT_TRUE(b.waitFor("AddNewClient C", kWait));
    EXPECT_EQ(drawing(b), sent);
    for (const auto& line : consoleLines())
        EXPECT_NE(line, "Logout of Client: B\n");
}

TEST_F(RemotePeerTest, AViewerStoppedBeyondTheBoundLeaves) {
    kolvaro::ServerOptions options;
    options.callTimeoutMs = options.maxStallMs = 2000;
    start(options);
    Peer& a = login("A");
    CallbackPeer& b = remoteViewer();
    Peer& c = login("C");
    server->LoadArea("C", "B");
    b.stop();
    const Lines sent = drawSome(5);
    ASSERT_TRUE(waitForConsole("Logout of Client: B\n"));
    ASSERT_TRUE(c.servant->waitFor("CloseClient B", kWait));
    ASSERT_TRUE(a.servant->waitFor(sent.back(), kWait));
}

TEST_F(RemotePeerTest, AKilledViewerLeavesAndItsNameIsFree) {
    login("A");
    CallbackPeer& b = remoteViewer();
    b.kill();
    drawSome(3);
    ASSERT_TRUE(waitForConsole("Logout of Client: B\n"));
    EXPECT_GT(server->Login("B", peer("B").ref), 0);
}

TEST_F(RemotePeerTest, AMessageWaitsForItsReaderLongerThanTheCallTimeout) {
    kolvaro::ServerOptions options;
    options.callTimeoutMs = 1000;
    start(options);
    login("A");
    CallbackPeer& b = remoteViewer();
    b.stop();
    auto sent = std::async(std::launch::async, [&] { server->SendTxt("still there?", "B", "A"); });
    // Well past the call timeout, which must not apply to messages.
    std::this_thread::sleep_for(2500ms);
    b.signal(SIGCONT);
    EXPECT_NO_THROW(sent.get());
    EXPECT_TRUE(b.waitFor("PrintTxt still there?|A", kWait));
    for (const auto& line : consoleLines())
        EXPECT_NE(line, "Logout of Client: B\n");
}

TEST_F(RemotePeerTest, AStoppedHolderKeepsItsNameAKilledOneLosesIt) {
    kolvaro::ServerOptions options;
    options.loginProbeTimeoutMs = 200;
    start(options);
    login("A");
    CallbackPeer& b = remoteViewer();
    b.stop();
    EXPECT_EQ(server->Login("B", peer("B").ref), -1);
    b.kill();
    EXPECT_EQ(server->Login("B", peer("B").ref), 2);
    EXPECT_EQ(consoleLines().end()[-2], "Logout of Client: B\n");
}

} // namespace
} // namespace kolvaro::test
