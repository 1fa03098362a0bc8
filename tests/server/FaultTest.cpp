// A dead, failing, stalled or flooded client must not take anybody else
// down, and bad input changes nothing.
#include "ServerFixture.h"

#include <atomic>
#include <string>
#include <thread>

namespace kolvaro::test {
namespace {

using Lines = std::vector<std::string>;

int count(const Lines& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

TEST_F(ServerTest, AViewerThatIsGoneLeavesAsIfItLoggedOut) {
    Peer& a = login("A");
    Peer& b = login("B");
    Peer& c = login("C");
    server->LoadArea("B", "A");
    server->LoadArea("C", "A");
    server->LoadArea("C", "B");
    kill(b);

    server->PaintLine(1, 2, 3, 4, "A"); // returns normally
    server->PaintLine(5, 6, 7, 8, "A");
    ASSERT_TRUE(waitForConsole("Logout of Client: B\n"));
    ASSERT_TRUE(c.servant->waitFor("CloseClient B", kWait));
    ASSERT_TRUE(c.servant->waitFor("PaintLine 5 6 7 8 A", kWait));
    ASSERT_TRUE(a.servant->waitFor("PaintLine 5 6 7 8 A", kWait));
    EXPECT_EQ(c.drawingOn("A"), (Lines{"PaintLine 1 2 3 4 A", "PaintLine 5 6 7 8 A"}));
    EXPECT_EQ(count(consoleLines(), "Logout of Client: B\n"), 1);

    // B's name is free again, and the registry no longer lists it.
    Peer& d = login("D");
    EXPECT_EQ(d.servant->events(), (Lines{"PrintClient A", "PrintClient C", "PrintClient D"}));
}

TEST_F(ServerTest, TransportFailuresDropButOtherFailuresOnlySkipOneCall) {
    Peer& a = login("A");
    Peer& b = login("B");
    Peer& c = login("C");
    Peer& d = login("D");
    server->LoadArea("B", "A");
    server->LoadArea("C", "A");
    server->LoadArea("D", "A");
    b.servant->setHook([](const std::string& line) {
        if (line == "PaintPoint 1 1 A")
            throw CORBA::DATA_CONVERSION(0, CORBA::COMPLETED_NO);
    });
    c.servant->setHook([](const std::string& line) {
        if (line == "PaintPoint 2 2 A")
            throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    });
    // A reference that can never work frees its name like a dead one.
    d.servant->setHook([](const std::string& line) {
        if (line == "PaintPoint 2 2 A")
            throw CORBA::INV_OBJREF(0, CORBA::COMPLETED_NO);
    });
    server->PaintPoint(1, 1, "A");
    server->PaintPoint(2, 2, "A");
    server->PaintPoint(3, 3, "A");
    ASSERT_TRUE(a.servant->waitFor("PaintPoint 3 3 A", kWait));
    ASSERT_TRUE(b.servant->waitFor("PaintPoint 3 3 A", kWait));
    ASSERT_TRUE(waitForConsole("Logout of Client: C\n"));
    ASSERT_TRUE(waitForConsole("Logout of Client: D\n"));
    EXPECT_EQ(b.drawingOn("A"), (Lines{"PaintPoint 2 2 A", "PaintPoint 3 3 A"}));
    EXPECT_EQ(a.drawingOn("A"),
              (Lines{"PaintPoint 1 1 A", "PaintPoint 2 2 A", "PaintPoint 3 3 A"}));
}

TEST_F(ServerTest, AStalledViewerDelaysNobodyAndLosesNothing) {
    // Bounds well past the gate's wait, so a slow machine cannot turn the
    // stall into a drop.
    kolvaro::ServerOptions options;
    options.maxStallMs = 60000;
    options.callTimeoutMs = 60000;
    start(options);
    Peer& a = login("A");
    Peer& b = login("B");
    Peer& c = login("C");
    server->LoadArea("B", "A");
    server->LoadArea("C", "A");
    std::atomic<bool> stalled{false};
    b.servant->setHook([&](const std::string& line) {
        if (line.rfind("Paint", 0) == 0) {
            stalled = true;
            gate.pass();
        }
    });
    Lines sent;
    auto draw = [&](int i) {
        server->PaintLine(i, i, -i, -i, "A");
        sent.push_back("PaintLine " + std::to_string(i) + ' ' + std::to_string(i) + ' ' +
                       std::to_string(-i) + ' ' + std::to_string(-i) + " A");
    };
    draw(0);
    for (auto until = std::chrono::steady_clock::now() + kWait;
         !stalled && std::chrono::steady_clock::now() < until;)
        std::this_thread::yield();
    ASSERT_TRUE(stalled);

    // B sits in its first callback until the gate opens. Had the server
    // waited for B, this loop would only end when the gate gives up, and B
    // would have recorded its callbacks by then.
    for (int i = 1; i < 50; ++i)
        draw(i);
    EXPECT_TRUE(b.drawingOn("A").empty());
    ASSERT_TRUE(c.servant->waitFor(sent.back(), kWait));
    ASSERT_TRUE(a.servant->waitFor(sent.back(), kWait));
    EXPECT_EQ(c.drawingOn("A"), sent);
    EXPECT_EQ(a.drawingOn("A"), sent);

    gate.open();
    ASSERT_TRUE(b.servant->waitFor(sent.back(), kWait));
    EXPECT_EQ(b.drawingOn("A"), sent);
}

TEST_F(ServerTest, AViewerFallingTooFarBehindIsDropped) {
    kolvaro::ServerOptions options;
    options.maxBacklogOps = 5;
    start(options);
    Peer& b = login("B");
    Peer& c = login("C");
    server->LoadArea("B", "Z"); // an area only B receives, so only B's queue grows
    server->LoadArea("C", "B");
    b.servant->setHook([&](const std::string& line) {
        if (line.rfind("Paint", 0) == 0)
            gate.pass();
    });
    for (int i = 0; i < 10; ++i)
        server->PaintPoint(i, i, "Z");
    ASSERT_TRUE(waitForConsole("Logout of Client: B\n"));
    ASSERT_TRUE(c.servant->waitFor("CloseClient B", kWait));
    EXPECT_EQ(c.servant->events(), (Lines{"PrintClient B", "PrintClient C", "CloseClient B"}));
}

// A viewer is judged by whether its callbacks complete, not by how long its
// backlog waits: a long replay at a steady pace goes through, a stall does not.
TEST_F(ServerTest, AViewerIsDroppedForStallingNotForALongReplay) {
    kolvaro::ServerOptions options;
    options.maxStallMs = 1000;
    start(options);
    login("A");
    Peer& b = login("B");
    for (int i = 0; i < 500; ++i)
        server->PaintPoint(i, 0, "A");
    std::atomic<bool> stall{false};
    b.servant->setHook([&](const std::string& line) {
        if (line.rfind("Paint", 0) == 0)
            std::this_thread::sleep_for(3ms);
        if (stall)
            gate.pass();
    });
    // Drawing meanwhile queues behind the replay, whose end is 1.5 s off.
    std::thread drawer([&] {
        for (int i = 0; i < 150; ++i, std::this_thread::sleep_for(10ms))
            server->PaintPoint(i, 1, "A");
    });
    EXPECT_NO_THROW(server->LoadArea("B", "A"));
    drawer.join();
    ASSERT_TRUE(b.servant->waitFor("PaintPoint 149 1 A", kWait));
    EXPECT_EQ(b.drawingOn("A").size(), 650u);

    stall = true;
    server->PaintPoint(0, 2, "A");
    std::this_thread::sleep_for(1200ms);
    server->PaintPoint(1, 2, "A");
    EXPECT_TRUE(waitForConsole("Logout of Client: B\n"));
}

// The drawer's own echo falling behind holds the drawer back instead of
// logging it out; nothing it drew is lost.
TEST_F(ServerTest, ADrawerAheadOfItsOwnEchoWaitsForIt) {
    kolvaro::ServerOptions options;
    options.maxBacklogOps = 5;
    start(options);
    Peer& a = login("A");
    a.servant->setHook([](const std::string&) { std::this_thread::sleep_for(1ms); });
    for (int i = 0; i < 100; ++i)
        server->PaintPoint(i, 0, "A");
    ASSERT_TRUE(a.servant->waitFor("PaintPoint 99 0 A", kWait));
    EXPECT_EQ(a.drawingOn("A").size(), 100u);
    EXPECT_EQ(consoleLines().back(), "Client [A] paint point [99,0].\n");
}

// Several drawers on one area while viewers come and go: every display,
// including one opened midway, must end up with exactly what a fresh load
// replays.
TEST_F(ServerTest, ConcurrentDrawingConvergesOnTheReplay) {
    Peer& owner = login("A");
    Peer& early = login("B");
    server->LoadArea("B", "A");
    Peer& late = login("C");

    constexpr int kDrawers = 4, kEach = 150;
    std::vector<std::thread> drawers;
    std::atomic<int> done{0};
    for (int t = 0; t < kDrawers; ++t)
        drawers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                if (i % 50 == 49)
                    server->ClearAll("A");
                else
                    server->PaintLine(t, i, t, -i, "A");
                if (t == 0 && i == kEach / 2)
                    server->LoadArea("C", "A");
            }
            ++done;
        });
    for (auto& d : drawers)
        d.join();
    server->PaintPoint(-1, -1, "A"); // the last operation, seen by all
    for (Peer* p : {&owner, &early, &late})
        ASSERT_TRUE(p->servant->waitFor("PaintPoint -1 -1 A", kWait));

    Peer& fresh = login("D");
    server->LoadArea("D", "A");
    const Lines replay = fresh.drawingOn("A");
    ASSERT_FALSE(replay.empty());
    for (Peer* p : {&owner, &early, &late}) {
        // What a display shows is what follows its last clear.
        Lines seen = p->drawingOn("A");
        auto lastClear = std::find(seen.rbegin(), seen.rend(), "ClearAll A");
        Lines shown(lastClear.base(), seen.end());
        EXPECT_EQ(shown, replay);
    }
    // The owner and the early viewer saw the whole history, in one order.
    EXPECT_EQ(owner.drawingOn("A"), early.drawingOn("A"));
}

TEST_F(ServerTest, LoadAreaWhileOthersDrawDeliversEachOperationOnce) {
    login("A");
    Peer& b = login("B");
    std::atomic<bool> stop{false};
    std::thread drawer([&] {
        for (int i = 0; !stop; ++i)
            server->PaintPoint(static_cast<CORBA::Short>(i), 0, "A");
    });
    while (consoleLines().size() < 200)
        std::this_thread::yield();
    server->LoadArea("B", "A");
    stop = true;
    drawer.join();
    server->PaintPoint(-1, -1, "A");
    ASSERT_TRUE(b.servant->waitFor("PaintPoint -1 -1 A", kWait));
    Lines seen = b.drawingOn("A");
    seen.pop_back();
    ASSERT_FALSE(seen.empty());
    for (std::size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], "PaintPoint " + std::to_string(static_cast<CORBA::Short>(i)) + " 0 A");
}

TEST_F(ServerTest, ALoginTakesOverTheNameOfADeadHolder) {
    Peer& a = login("A");
    Peer& b = login("B");
    server->LoadArea("B", "A");
    kill(a);
    Peer& again = peer("A again");
    ASSERT_EQ(server->Login("A", again.ref), 2);
    EXPECT_EQ(again.servant->events(), (Lines{"PrintClient B", "PrintClient A"}));
    ASSERT_TRUE(b.servant->waitFor("AddNewClient A", kWait));
    EXPECT_EQ(b.servant->events(),
              (Lines{"PrintClient A", "PrintClient B", "CloseClient A", "AddNewClient A"}));
    const Lines console = consoleLines();
    EXPECT_EQ(
        Lines(console.end() - 3, console.end()),
        (Lines{"Client [B] load [A].\n", "Logout of Client: A\n", "Login of new Clinet: A\n"}));
}

TEST_F(ServerTest, SendTxtToAGoneRecipientFailsForTheSender) {
    login("A");
    Peer& b = login("B");
    kill(b);
    EXPECT_THROW(server->SendTxt("lost?", "B", "A"), CORBA::TRANSIENT);
    EXPECT_EQ(consoleLines().back(), "Logout of Client: B\n");
    server->SendTxt("again", "B", "A"); // B is gone: a silent no-op now
}

TEST_F(ServerTest, BadLoginsAreRefusedAndChangeNothing) {
    Peer& a = peer("A");
    EXPECT_THROW(server->Login("A", TKolvaro::Client::_nil()), CORBA::BAD_PARAM);
    const std::string longest(27, 'x');
    EXPECT_THROW(server->Login((longest + "x").c_str(), a.ref), CORBA::BAD_PARAM);
    std::string cyrillic;
    for (int i = 0; i < 27; ++i)
        cyrillic += "ж"; // 54 bytes, 27 letters
    EXPECT_THROW(server->Login((cyrillic + "ж").c_str(), a.ref), CORBA::BAD_PARAM);
    // Control characters could forge console lines.
    EXPECT_THROW(server->Login("A\nLogin of new Clinet: B", a.ref), CORBA::BAD_PARAM);
    EXPECT_THROW(server->Login("A\x7f", a.ref), CORBA::BAD_PARAM);
    // The server as its own callback would relay to itself for ever.
    TKolvaro::Client_var self = TKolvaro::Client::_unchecked_narrow(server);
    EXPECT_THROW(server->Login("Self", self), CORBA::BAD_PARAM);
    EXPECT_EQ(consoleLines(), Lines{"Start server.\n"});
    EXPECT_TRUE(a.servant->events().empty());

    EXPECT_EQ(server->Login(cyrillic.c_str(), a.ref), 1);
    EXPECT_EQ(server->Login(longest.c_str(), peer("B").ref), 2);
    EXPECT_EQ(server->Login("", peer("C").ref), 3);
    EXPECT_EQ(consoleLines().back(), "Login of new Clinet: \n");
}

TEST_F(ServerTest, OddAndHugeStringsPassUnchanged) {
    const std::string latin1 = "Gr\xfc\xdf"
                               "e \xa9";
    Peer& odd = login(latin1);
    Peer& b = login("B");
    server->LoadArea("B", "");
    server->PaintPoint(1, 1, "");
    server->PaintLine(1, 2, 3, 4, latin1.c_str());
    ASSERT_TRUE(b.servant->waitFor("PaintPoint 1 1 ", kWait));
    ASSERT_TRUE(odd.servant->waitFor("PaintLine 1 2 3 4 " + latin1, kWait));

    const std::string huge(4 << 20, 'm');
    server->SendTxt(huge.c_str(), latin1.c_str(), "");
    EXPECT_EQ(odd.servant->events().back(), "PrintTxt " + huge + '|');
    EXPECT_EQ(consoleLines().back(), "Send message from [] to [" + latin1 + "].\n");

    // Control bytes reach the console escaped, each event on one line.
    server->PaintPoint(2, 2, "x\r\x1b[2J\x7f");
    server->SendTxt("t", "\n", "\t");
    const Lines console = consoleLines();
    EXPECT_EQ(console.end()[-2], "Client [x\\x0D\\x1B[2J\\x7F] paint point [2,2].\n");
    EXPECT_EQ(console.end()[-1], "Send message from [\\x09] to [\\x0A].\n");
}

} // namespace
} // namespace kolvaro::test
