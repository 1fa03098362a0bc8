#include "Session.h"

#include <csignal>
#include <thread>

namespace kolvaro::test {
namespace {

using Lines = std::vector<std::string>;

Lines linesTo(int n, const std::string& owner) {
    Lines out;
    for (int i = 0; i < n; ++i)
        out.push_back("PaintLine " + std::to_string(i) + " 0 " + std::to_string(i) + " 9 " + owner);
    return out;
}

void drawLines(ProbeProcess& drawer, int n, const std::string& owner) {
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(
            drawer.call("line " + std::to_string(i) + " 0 " + std::to_string(i) + " 9 " + owner),
            "RESULT line");
}

TEST(DeadClients, KilledViewerIsLoggedOutWhileTheOthersKeepDrawing) {
    auto server = startServer();
    auto a = loggedIn(*server, "A");
    auto b = loggedIn(*server, "B");
    auto c = loggedIn(*server, "C");
    EXPECT_EQ(b->call("load B A"), "RESULT load");
    EXPECT_EQ(c->call("load C A"), "RESULT load");
    EXPECT_EQ(a->call("load A B"), "RESULT load");

    b->signal(SIGKILL);
    ASSERT_TRUE(b->waitExit(10000ms));
    drawLines(*a, 20, "A");

    EXPECT_EQ(waitDrawing(*c, "A", 20), linesTo(20, "A"));
    EXPECT_EQ(waitDrawing(*a, "A", 20), linesTo(20, "A"));
    EXPECT_TRUE(consoleShows(*server, "Logout of Client: B"));
    EXPECT_TRUE(a->waitEvent("CloseClient B"));

    // Drawing and messages go on among the living; the name is free again.
    EXPECT_EQ(c->call("rect 1 2 3 4 A"), "RESULT rect");
    EXPECT_TRUE(a->waitEvent("PaintRect 1 2 3 4 A"));
    EXPECT_EQ(c->call("send A C still here"), "RESULT send");
    EXPECT_TRUE(a->waitEvent("PrintTxt still here|C"));
    ProbeProcess again(*server);
    EXPECT_EQ(again.call("login B"), "RESULT login 3");
}

TEST(DeadClients, NameOfACrashedHolderIsFreeButALiveHolderKeepsIt) {
    auto server = startServer();
    auto alive = loggedIn(*server, "Alive");
    auto crashed = loggedIn(*server, "Crashed");
    crashed->signal(SIGKILL);
    ASSERT_TRUE(crashed->waitExit(10000ms));

    ProbeProcess other(*server);
    EXPECT_EQ(other.call("login Alive"), "RESULT login -1");
    EXPECT_EQ(other.call("login Crashed"), "RESULT login 2");
    EXPECT_TRUE(other.waitEvent("PrintClient Crashed"));
    EXPECT_EQ(other.events(), (Lines{"PrintClient Alive", "PrintClient Crashed"}));
    EXPECT_TRUE(consoleShows(*server, "Logout of Client: Crashed"));
}

// A viewer that stops for a few seconds delays nobody and, once it runs
// again, gets everything drawn meanwhile, in order.
TEST(DeadClients, StoppedViewerDelaysNobodyAndMissesNothing) {
    auto server = startServer();
    auto a = loggedIn(*server, "A");
    auto b = loggedIn(*server, "B");
    auto c = loggedIn(*server, "C");
    EXPECT_EQ(b->call("load B A"), "RESULT load");
    EXPECT_EQ(c->call("load C A"), "RESULT load");
    const std::size_t consoleBefore = server->lineCount();

    b->signal(SIGSTOP);
    const auto stopped = std::chrono::steady_clock::now();
    drawLines(*a, 40, "A"); // every call returns while B is stopped
    EXPECT_EQ(waitDrawing(*c, "A", 40), linesTo(40, "A"));
    std::this_thread::sleep_until(stopped + 3s);
    b->signal(SIGCONT);

    EXPECT_EQ(waitDrawing(*b, "A", 40), linesTo(40, "A"));
    EXPECT_EQ(b->call("line 7 7 7 7 A"), "RESULT line");
    EXPECT_TRUE(b->waitEvent("PaintLine 7 7 7 7 A"));
    for (auto& line : server->consoleLines(consoleBefore, server->lineCount() - consoleBefore))
        EXPECT_NE(line, "Logout of Client: B");
}

// Each unread message holds a connection to its recipient until it is read;
// they are bounded, and the recipient's other callbacks never wait for them.
TEST(DeadClients, UnreadMessagesAreBoundedAndHoldUpNothingElse) {
    auto server = startServer();
    auto b = loggedIn(*server, "B");
    EXPECT_EQ(b->call("msgbox-delay 600000"), "RESULT msgbox-delay"); // B never reads
    auto args = server->clientArgs();
    args.insert(args.end(), {"-ORBmaxGIOPConnectionPerServer", "64"}); // all 40 at once
    ProbeProcess a(args);
    EXPECT_EQ(a.call("login A"), "RESULT login 2");
    EXPECT_EQ(a.call("send-flood 40 B A 3000"), "RESULT send-flood ok=0 refused=24 other=0");
    EXPECT_EQ(a.call("line 1 2 3 4 B"), "RESULT line");
    EXPECT_TRUE(b->waitEvent("PaintLine 1 2 3 4 B"));
    for (auto& line : server->consoleLines(0, server->lineCount()))
        EXPECT_NE(line, "Logout of Client: B");
}

} // namespace
} // namespace kolvaro::test
