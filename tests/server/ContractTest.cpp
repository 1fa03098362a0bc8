// What every client relies on: who gets which callback, in which order, with
// which arguments, and the console lines, byte for byte.
#include "ServerFixture.h"

#include <thread>

namespace kolvaro::test {
namespace {

using Lines = std::vector<std::string>;

TEST_F(ServerTest, LoginListsEveryoneInOrderAndAnnouncesTheNewcomer) {
    Peer& a = peer("A");
    ASSERT_EQ(server->Login("A", a.ref), 1);
    EXPECT_EQ(a.servant->events(), Lines{"PrintClient A"}); // before Login returned
    Peer& b = peer("B");
    ASSERT_EQ(server->Login("B", b.ref), 2);
    Peer& c = peer("C");
    ASSERT_EQ(server->Login("C", c.ref), 3);
    EXPECT_EQ(c.servant->events(), (Lines{"PrintClient A", "PrintClient B", "PrintClient C"}));

    // A taken name is refused without a line or a callback; case matters.
    Peer& dup = peer("A twin");
    EXPECT_EQ(server->Login("A", dup.ref), -1);
    EXPECT_EQ(server->Login("a", dup.ref), 4);

    ASSERT_TRUE(a.servant->waitFor("AddNewClient a", kWait));
    ASSERT_TRUE(b.servant->waitFor("AddNewClient a", kWait));
    EXPECT_EQ(a.servant->events(),
              (Lines{"PrintClient A", "AddNewClient B", "AddNewClient C", "AddNewClient a"}));
    EXPECT_EQ(b.servant->events(),
              (Lines{"PrintClient A", "PrintClient B", "AddNewClient C", "AddNewClient a"}));
    EXPECT_EQ(dup.servant->events(),
              (Lines{"PrintClient A", "PrintClient B", "PrintClient C", "PrintClient a"}));
    EXPECT_EQ(consoleLines(),
              (Lines{"Start server.\n", "Login of new Clinet: A\n", "Login of new Clinet: B\n",
                     "Login of new Clinet: C\n", "Login of new Clinet: a\n"}));
}

TEST_F(ServerTest, LogoutClosesTheAreaForItsViewersOnly) {
    Peer& a = login("A");
    login("B");
    Peer& c = login("C");
    Peer& d = login("D");
    server->LoadArea("A", "B");
    server->LoadArea("A", "B"); // A holds B twice
    server->LoadArea("C", "B");
    server->Logout("B");
    ASSERT_TRUE(c.servant->waitFor("CloseClient B", kWait));
    ASSERT_TRUE(a.servant->waitFor("CloseClient B", kWait));

    // One entry per logout: a second logout of the absent name closes A's
    // remaining entry, a third closes nothing.
    server->Logout("B");
    server->Logout("B");
    server->Logout("D");
    // E's announcement is queued behind everything above.
    Peer& e = login("E");
    ASSERT_TRUE(a.servant->waitFor("AddNewClient E", kWait));
    ASSERT_TRUE(c.servant->waitFor("AddNewClient E", kWait));
    EXPECT_EQ(a.servant->events(),
              (Lines{"PrintClient A", "AddNewClient B", "AddNewClient C", "AddNewClient D",
                     "CloseClient B", "CloseClient B", "AddNewClient E"}));
    EXPECT_EQ(c.servant->events(), (Lines{"PrintClient A", "PrintClient B", "PrintClient C",
                                          "AddNewClient D", "CloseClient B", "AddNewClient E"}));

    // The registry kept its order without B and D.
    EXPECT_EQ(e.servant->events(), (Lines{"PrintClient A", "PrintClient C", "PrintClient E"}));
    for (const auto& line : d.servant->events())
        EXPECT_EQ(line.find("Close"), std::string::npos) << line;
}

TEST_F(ServerTest, DrawingReachesOwnerAndViewersWithTheSameArguments) {
    Peer& a = login("A");
    Peer& b = login("B");
    Peer& c = login("C");
    server->LoadArea("B", "A");
    server->PaintRect(-5, 7, 32767, -32768, "A");
    server->PaintLine(1, 2, 3, 4, "A");
    server->PaintCirc(10, 20, 30, 40, "A");
    server->PaintPoint(-1, -2, "A");
    server->PaintFill(5, 6, "A");
    server->ClearAll("A");
    const Lines expected{"PaintRect -5 7 32767 -32768 A",
                         "PaintLine 1 2 3 4 A",
                         "PaintCirc 10 20 30 40 A",
                         "PaintPoint -1 -2 A",
                         "PaintFill 5 6 A",
                         "ClearAll A"};
    ASSERT_TRUE(a.servant->waitFor("ClearAll A", kWait));
    ASSERT_TRUE(b.servant->waitFor("ClearAll A", kWait));
    EXPECT_EQ(a.drawingOn("A"), expected);
    EXPECT_EQ(b.drawingOn("A"), expected);
    // C displays nothing: a later notice finds nothing before it.
    login("D");
    ASSERT_TRUE(c.servant->waitFor("AddNewClient D", kWait));
    EXPECT_TRUE(c.drawingOn("A").empty());

    const Lines console = consoleLines();
    const Lines drawLines(console.end() - 7, console.end() - 1);
    EXPECT_EQ(drawLines, (Lines{"Client [A] paint rectangle from [-5,7] to [32767,-32768].\n",
                                "Client [A] paint line from [1,2] to [3,4].\n",
                                "Client [A] paint circle from [10,20] to [30,40].\n",
                                "Client [A] paint point [-1,-2].\n",
                                "Client [A] paint fill area [5,6].\n", "Client [A] clear all.\n"}));
}

TEST_F(ServerTest, AnOwnerDisplayingItsOwnAreaGetsEachOperationTwice) {
    Peer& a = login("A");
    server->LoadArea("A", "A");
    server->PaintPoint(1, 1, "A");
    ASSERT_TRUE(a.servant->waitForCount(3, kWait));
    EXPECT_EQ(a.drawingOn("A"), (Lines{"PaintPoint 1 1 A", "PaintPoint 1 1 A"}));
}

TEST_F(ServerTest, LoadAreaReplaysSinceTheLastClearBeforeReturning) {
    login("A");
    Peer& b = login("B");
    server->PaintLine(1, 1, 2, 2, "A");
    server->PaintRect(3, 3, 4, 4, "A");
    server->PaintCirc(5, 5, 6, 6, "A");
    server->ClearAll("A");
    server->PaintFill(-7, 8, "A");
    server->PaintPoint(9, -10, "A");

    server->LoadArea("B", "A");
    EXPECT_EQ(b.drawingOn("A"), (Lines{"PaintFill -7 8 A", "PaintPoint 9 -10 A"}));
    server->LoadArea("B", "A");         // a second load replays again ...
    server->PaintLine(0, 0, 1, 1, "A"); // ... but later operations come once
    login("C");                         // C's announcement is queued behind the line
    ASSERT_TRUE(b.servant->waitFor("AddNewClient C", kWait));
    EXPECT_EQ(b.drawingOn("A"), (Lines{"PaintFill -7 8 A", "PaintPoint 9 -10 A", "PaintFill -7 8 A",
                                       "PaintPoint 9 -10 A", "PaintLine 0 0 1 1 A"}));
    const Lines console = consoleLines();
    EXPECT_EQ(console[5], "Client [A] paint circle from [5,5] to [6,6].\n");
    EXPECT_EQ(console[6], "Client [A] clear all.\n");
    EXPECT_EQ(console[7], "Client [A] paint fill area [-7,8].\n");
    EXPECT_EQ(console[9], "Client [B] load [A].\n");
}

TEST_F(ServerTest, AreasOfAbsentUsersAreRelayedButNotStored) {
    Peer& b = login("B");
    server->LoadArea("B", "Z"); // not logged in: recorded, nothing replayed
    server->PaintPoint(1, 2, "Z");
    ASSERT_TRUE(b.servant->waitFor("PaintPoint 1 2 Z", kWait));

    Peer& z = login("Z");
    server->PaintPoint(3, 4, "Z"); // reaches B without a further load
    ASSERT_TRUE(b.servant->waitFor("PaintPoint 3 4 Z", kWait));
    ASSERT_TRUE(z.servant->waitFor("PaintPoint 3 4 Z", kWait));
    Peer& c = login("C");
    server->LoadArea("C", "Z");
    EXPECT_EQ(c.drawingOn("Z"), Lines{"PaintPoint 3 4 Z"});

    // Requests naming nobody are logged and change nothing.
    server->LoadArea("Ghost", "Z");
    server->SendTxt("hi", "Ghost", "B");
    const Lines console = consoleLines();
    EXPECT_EQ(console.end()[-2], "Client [Ghost] load [Z].\n");
    EXPECT_EQ(console.end()[-1], "Send message from [B] to [Ghost].\n");
}

TEST_F(ServerTest, AReturningNameStartsWithAnEmptyArea) {
    login("A");
    Peer& b = login("B");
    server->PaintLine(1, 2, 3, 4, "A");
    server->Logout("A");
    peer("A").servant->clear();
    ASSERT_EQ(server->Login("A", peer("A").ref), 2);
    server->LoadArea("B", "A");
    EXPECT_TRUE(b.drawingOn("A").empty());
}

TEST_F(ServerTest, SendTxtReturnsOnceTheRecipientHasReadIt) {
    Peer& a = login("A");
    Peer& b = login("B");
    b.servant->setHook([](const std::string& line) {
        if (line.rfind("PrintTxt", 0) == 0)
            std::this_thread::sleep_for(50ms); // a reader taking a while
    });
    server->SendTxt("hello there", "B", "A");
    EXPECT_EQ(b.servant->events().back(), "PrintTxt hello there|A");
    server->SendTxt("note to self", "A", "A");
    EXPECT_EQ(a.servant->events().back(), "PrintTxt note to self|A");
    EXPECT_EQ(consoleLines().back(), "Send message from [A] to [A].\n");
}

} // namespace
} // namespace kolvaro::test
