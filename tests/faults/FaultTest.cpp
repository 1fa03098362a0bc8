// A dead, stopped, stalled, failing or hostile client must not take anybody
// else down, and bad input changes nothing. Bounds that the real server sets
// too high to reach in a test are lowered in kolvaro-test-server.
#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <thread>

namespace kolvaro::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

std::unique_ptr<ServerProcess>
started(std::unique_ptr<ServerProcess> server = std::make_unique<ServerProcess>()) {
    EXPECT_TRUE(server->waitStarted()) << server->errorText();
    return server;
}

// Peers logged in under names, in order, each displaying the areas listed
// after its name ("B:A" displays A's area).
std::vector<std::unique_ptr<PeerProcess>> peers(const ServerProcess& server, const Lines& users) {
    std::vector<std::unique_ptr<PeerProcess>> out;
    for (const auto& user : users) {
        PeerProcess& peer = *out.emplace_back(std::make_unique<PeerProcess>(server));
        std::istringstream in(user);
        std::string name, area;
        std::getline(in, name, ':');
        EXPECT_EQ(peer.call("login " + name), "RESULT login " + std::to_string(out.size()));
        while (std::getline(in, area, ':'))
            EXPECT_EQ(peer.call("load " + name + " " + area), "RESULT load");
    }
    return out;
}

// What "burst n OWNER" draws.
Lines burstLines(int n, const std::string& owner) {
    Lines out;
    for (int i = 0; i < n; ++i)
        out.push_back("PaintLine " + std::to_string(i) + " 0 0 " + std::to_string(i) + " " + owner);
    return out;
}

int logouts(const ServerProcess& server, const std::string& name) {
    const Lines lines = server.lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), "Logout of Client: " + name));
}

// A killed viewer leaves as if it logged out; one that stops for a few
// seconds delays nobody and, once it runs again, gets everything drawn
// meanwhile, once, in order. A dead holder's name is free again, whether its
// death shows in a failed call or only when somebody asks for the name; a
// live or stopped holder keeps it.
TEST(DeadPeers, TheDeadLeaveAndFreeTheirNamesTheStoppedCatchUpAndKeepTheirs) {
    auto server = started();
    auto p = peers(*server, {"A:B", "B:A", "C:A:B:Crashed", "S:A", "Gone", "Crashed"});
    for (int i : {1, 4, 5}) {
        p[i]->signal(SIGKILL);
        ASSERT_TRUE(p[i]->waitExit(10000ms));
    }
    p[3]->stop();
    const auto stopped = std::chrono::steady_clock::now();
    EXPECT_EQ(p[0]->call("burst 40 A"), "RESULT burst");
    EXPECT_EQ(p[2]->drawing("A", 40), burstLines(40, "A"));
    EXPECT_EQ(p[0]->drawing("A", 40), burstLines(40, "A"));
    ASSERT_TRUE(server->shows("Logout of Client: B"));
    EXPECT_TRUE(p[2]->waitEvent("CloseClient B"));
    EXPECT_TRUE(p[0]->waitEvent("CloseClient B"));

    PeerProcess other(*server);
    // A message to a dead recipient fails for its sender, and that drops it.
    EXPECT_EQ(other.call("send Gone X lost?").rfind("ERROR send ", 0), 0u);
    EXPECT_TRUE(server->shows("Logout of Client: Gone"));
    EXPECT_EQ(other.call("send Gone X again"), "RESULT send"); // nobody there now
    EXPECT_EQ(other.call("login A"), "RESULT login -1");
    EXPECT_EQ(other.call("login S"), "RESULT login -1");
    EXPECT_EQ(other.call("login Crashed"), "RESULT login 4");
    EXPECT_EQ(other.events(),
              (Lines{"PrintClient A", "PrintClient C", "PrintClient S", "PrintClient Crashed"}));
    ASSERT_TRUE(server->shows("Login of new Clinet: Crashed"));
    ASSERT_TRUE(p[2]->waitEvent("AddNewClient Crashed"));
    EXPECT_EQ(p[2]->events().end()[-2], "CloseClient Crashed");
    const Lines console = server->lines();
    EXPECT_EQ(Lines(console.end() - 2, console.end()),
              (Lines{"Logout of Client: Crashed", "Login of new Clinet: Crashed"}));

    std::this_thread::sleep_until(stopped + 3s);
    p[3]->signal(SIGCONT);
    EXPECT_EQ(p[3]->call("point 7 7 A"), "RESULT point");
    ASSERT_TRUE(p[3]->waitEvent("PaintPoint 7 7 A"));
    Lines all = burstLines(40, "A");
    all.push_back("PaintPoint 7 7 A");
    EXPECT_EQ(p[3]->drawing("A"), all);
    EXPECT_EQ(logouts(*server, "B"), 1);
    EXPECT_EQ(logouts(*server, "S"), 0);
}

// A message waits for its reader however long that takes; a viewer that
// stops while drawing waits for it leaves once past the bounds.
TEST(DeadPeers, AStoppedReaderIsWaitedForAStoppedViewerPastTheBoundLeaves) {
    auto server = started(ServerProcess::bounded({"callTimeoutMs=1000", "maxStallMs=2000"}));
    auto p = peers(*server, {"A", "B:A", "C:B"});
    ASSERT_TRUE(p[1]->waitEvent("AddNewClient C")); // nothing waits for B
    p[1]->stop();
    p[0]->post("send B A still there?");
    std::this_thread::sleep_for(2500ms);
    p[1]->signal(SIGCONT);
    EXPECT_EQ(p[0]->answer(), "RESULT send");
    EXPECT_TRUE(p[1]->waitEvent("PrintTxt still there?|A"));
    EXPECT_EQ(logouts(*server, "B"), 0);

    p[1]->stop();
    EXPECT_EQ(p[0]->call("burst 5 A"), "RESULT burst");
    ASSERT_TRUE(server->shows("Logout of Client: B"));
    EXPECT_TRUE(p[2]->waitEvent("CloseClient B"));
    EXPECT_EQ(p[0]->drawing("A", 5).size(), 5u);

    // A stopped holder sent only oneways keeps its name until it leaves the
    // question of a clashing login unanswered past the bound.
    p[2]->stop();
    PeerProcess other(*server);
    EXPECT_EQ(other.call("login C"), "RESULT login -1");
    ASSERT_TRUE(server->shows("Logout of Client: C"));
    EXPECT_EQ(other.call("login C"), "RESULT login 2");
}

// A user dropped, not logged out, gets its area back, others' strokes
// included, when its own client logs in again: cleared just before the list
// of users and replayed after it; anyone may load it meanwhile. A Logout
// ends the area at once.
TEST(DeadPeers, ADroppedUsersAreaWaitsForItsOwnClient) {
    auto server = started(ServerProcess::bounded({"callTimeoutMs=1000", "maxStallMs=1000"}));
    auto p = peers(*server, {"A:B", "B"});
    EXPECT_EQ(p[1]->call("line 1 1 2 2 B"), "RESULT line");
    p[1]->stop();
    EXPECT_EQ(p[0]->call("rect 1 2 3 4 B"), "RESULT rect");
    EXPECT_EQ(p[0]->call("circ 5 6 7 8 B"), "RESULT circ"); // queued behind the stuck one
    ASSERT_TRUE(server->shows("Logout of Client: B"));
    PeerProcess viewer(*server); // the area is there to be shown meanwhile
    EXPECT_EQ(viewer.call("login V"), "RESULT login 2");
    EXPECT_EQ(viewer.call("load V B"), "RESULT load");
    EXPECT_EQ(viewer.drawing("B").size(), 3u);
    p[1]->signal(SIGCONT);
    EXPECT_EQ(p[1]->call("login B"), "RESULT login 3");
    ASSERT_TRUE(p[1]->waitEvent("PaintCirc 5 6 7 8 B"));
    const Lines events = p[1]->events();
    EXPECT_EQ(Lines(events.end() - 7, events.end()),
              (Lines{"ClearAll B", "PrintClient A", "PrintClient V", "PrintClient B",
                     "PaintLine 1 1 2 2 B", "PaintRect 1 2 3 4 B", "PaintCirc 5 6 7 8 B"}));
    EXPECT_EQ(p[1]->call("logout B"), "RESULT logout");
    EXPECT_EQ(p[1]->call("login B"), "RESULT login 3");
    EXPECT_EQ(p[1]->events().back(), "PrintClient B");
}

// A call sent without waiting for its reply fails unseen: only the peers
// served one call at a time (no in-order declaration) report theirs. Such a
// peer, which may run a connection's calls at once, gets one at a time.
TEST(FailingPeers, TransportFailuresDropButOtherFailuresOnlySkipOneCall) {
    auto server = started();
    auto args = server->clientArgs();
    args.insert(args.end(), {"-ORBmaxServerThreadPerConnection", "4"});
    auto p = peers(*server, {"A", "B:A"});
    for (const char* name : {"C", "D", "E"}) {
        PeerProcess& peer = *p.emplace_back(std::make_unique<PeerProcess>(args));
        EXPECT_EQ(peer.call(std::string("login ") + name).rfind("RESULT login ", 0), 0u);
        if (*name != 'E') {
            EXPECT_EQ(peer.call(std::string("load ") + name + " A"), "RESULT load");
        }
    }
    EXPECT_EQ(p[1]->call("on DATA_CONVERSION PaintPoint 1 1 A"), "RESULT on");
    EXPECT_EQ(p[2]->call("on TRANSIENT PaintPoint 2 2 A"), "RESULT on");
    // A reference that can never work frees its name like a dead one.
    EXPECT_EQ(p[3]->call("on INV_OBJREF PaintPoint 2 2 A"), "RESULT on");
    for (auto cmd : {"point 1 1 A", "point 2 2 A", "point 3 3 A"})
        EXPECT_EQ(p[0]->call(cmd), "RESULT point");
    EXPECT_EQ(p[0]->drawing("A", 3),
              (Lines{"PaintPoint 1 1 A", "PaintPoint 2 2 A", "PaintPoint 3 3 A"}));
    EXPECT_EQ(p[1]->drawing("A", 2), (Lines{"PaintPoint 2 2 A", "PaintPoint 3 3 A"}));
    EXPECT_TRUE(server->shows("Logout of Client: C"));
    EXPECT_TRUE(server->shows("Logout of Client: D"));
    EXPECT_EQ(logouts(*server, "B"), 0);

    EXPECT_EQ(p[4]->call("on 1500 PaintPoint 2 2 A"), "RESULT on");
    p[4]->post("load E A");
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(p[4]->drawing("A"), (Lines{"PaintPoint 1 1 A", "PaintPoint 2 2 A"}));
    EXPECT_EQ(p[4]->answer(), "RESULT load");
    EXPECT_EQ(p[4]->drawing("A", 3), p[0]->drawing("A", 3));
}

// To a peer that declares in-order dispatch callbacks go in batches: replays
// and the drawing made meanwhile reach it once each, in the area's order,
// fills and clears included. A receiver killed in the middle of a batch
// leaves at once, one stopped leaves at the stall bound, and nobody waits
// for either.
TEST(Batches, ArriveOnceInOrderAndADeadOrStoppedReceiverHoldsUpNobody) {
    auto server = started(ServerProcess::bounded({"callTimeoutMs=1500", "maxStallMs=1500"}));
    auto p = peers(*server, {"A", "V", "W", "K", "S"});
    EXPECT_EQ(p[0]->call("burst 3000 A"), "RESULT burst");
    EXPECT_EQ(p[0]->call("clear A"), "RESULT clear");
    EXPECT_EQ(p[0]->call("burst 20000 A 1"), "RESULT burst");
    for (int i = 1; i < 5; ++i)
        p[i]->post("load " + Lines{"", "V", "W", "K", "S"}[i] + " A");
    ASSERT_TRUE(p[3]->waitEvent("PaintLine 100 0 1 100 A"));
    p[3]->signal(SIGKILL);
    ASSERT_TRUE(p[4]->waitEvent("PaintLine 100 0 1 100 A"));
    p[4]->stop();
    for (auto cmd : {"fill 1 1 A", "line 1 2 3 4 A", "fill 2 2 A", "clear A", "fill 3 3 A"})
        EXPECT_EQ(p[0]->call(cmd).rfind("RESULT ", 0), 0u);
    const Lines all = p[0]->drawing("A", 23006);
    ASSERT_EQ(all.size(), 23006u);
    for (int i : {1, 2}) {
        EXPECT_EQ(p[i]->answer(60000ms), "RESULT load");
        EXPECT_EQ(p[i]->drawing("A", 20005), Lines(all.begin() + 3001, all.end()));
    }
    EXPECT_TRUE(server->shows("Logout of Client: K"));
    EXPECT_TRUE(server->shows("Logout of Client: S"));
    p[4]->signal(SIGCONT);
    EXPECT_EQ(logouts(*server, "V") + logouts(*server, "W") + logouts(*server, "A"), 0);
}

// A viewer whose callbacks keep completing is never dropped, however far the
// drawer outruns it: the drawer waits (its queue stays within the bound, or
// it would be dropped). A viewer that stalls leaves at the stall bound and
// lets the drawer go on.
TEST(SlowPeers, ADrawerWaitsForAViewerThatProgressesNotForOneThatStalls) {
    auto server = started(ServerProcess::bounded({"maxBacklogOps=5", "maxStallMs=1500"}));
    auto p = peers(*server, {"B:A", "C:A", "A"});
    EXPECT_EQ(p[0]->call("on 2 Paint"), "RESULT on");
    EXPECT_EQ(p[2]->call("on 1 Paint"), "RESULT on"); // its own echo is slow too
    EXPECT_EQ(p[2]->call("burst 300 A"), "RESULT burst");
    EXPECT_EQ(p[0]->drawing("A", 300), burstLines(300, "A"));
    EXPECT_EQ(p[1]->drawing("A", 300), burstLines(300, "A"));
    EXPECT_EQ(logouts(*server, "B"), 0);

    EXPECT_EQ(p[1]->call("on stall Paint"), "RESULT on");
    EXPECT_EQ(p[2]->call("burst 30 A 1"), "RESULT burst");
    EXPECT_TRUE(server->shows("Logout of Client: C"));
    EXPECT_EQ(p[0]->drawing("A", 330).size(), 330u);
    EXPECT_EQ(logouts(*server, "B") + logouts(*server, "A"), 0);
}

// A viewer is judged by whether its callbacks complete, not by how long its
// backlog waits: a long replay at a steady pace goes through, a stall does not.
TEST(SlowPeers, AViewerIsDroppedForStallingNotForALongReplay) {
    auto server = started(ServerProcess::bounded({"maxStallMs=1000"}));
    auto p = peers(*server, {"A", "B"});
    EXPECT_EQ(p[0]->call("burst 500 A"), "RESULT burst");
    EXPECT_EQ(p[1]->call("on 3 Paint"), "RESULT on");
    // Drawing meanwhile queues behind the replay, whose end is 1.5 s off.
    p[0]->post("burst 150 A 1 10000");
    EXPECT_EQ(p[1]->call("load B A", 60000ms), "RESULT load");
    EXPECT_EQ(p[0]->answer(60000ms), "RESULT burst");
    EXPECT_EQ(p[1]->drawing("A", 650).size(), 650u);

    EXPECT_EQ(p[1]->call("on stall Paint"), "RESULT on");
    EXPECT_EQ(p[0]->call("point 0 2 A"), "RESULT point");
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(p[0]->call("point 1 2 A"), "RESULT point");
    EXPECT_TRUE(server->shows("Logout of Client: B"));
}

// Each unread message holds a connection to its recipient until it is read;
// they are bounded, and the recipient's other callbacks never wait for them.
TEST(SlowPeers, UnreadMessagesAreBoundedAndHoldUpNothingElse) {
    auto server = started();
    PeerProcess b(*server);
    EXPECT_EQ(b.call("login B"), "RESULT login 1");
    EXPECT_EQ(b.call("on 600000 PrintTxt"), "RESULT on"); // B never reads
    auto args = server->clientArgs();
    args.insert(args.end(), {"-ORBmaxGIOPConnectionPerServer", "64"}); // all 40 at once
    PeerProcess a(args);
    EXPECT_EQ(a.call("login A"), "RESULT login 2");
    EXPECT_EQ(a.call("send-flood 40 B A 3000"), "RESULT send-flood ok=0 refused=24 other=0");
    // A new session of that client, under its name or another, has no more.
    EXPECT_EQ(b.call("logout B"), "RESULT logout");
    EXPECT_EQ(b.call("login B"), "RESULT login 2");
    EXPECT_EQ(b.call("login B2"), "RESULT login 3");
    EXPECT_EQ(a.call("send-flood 20 B A 1000"), "RESULT send-flood ok=0 refused=20 other=0");
    EXPECT_EQ(a.call("send-flood 20 B2 A 1000"), "RESULT send-flood ok=0 refused=20 other=0");
    EXPECT_EQ(a.call("line 1 2 3 4 B"), "RESULT line");
    EXPECT_TRUE(b.waitEvent("PaintLine 1 2 3 4 B"));
    EXPECT_EQ(logouts(*server, "B"), 1);
}

// Each LoadArea is an entry that one logout of its owner takes back; a
// user's entries are bounded, and a refused LoadArea changes nothing.
TEST(BadInput, RepeatedLoadsAreBoundedPerUser) {
    auto server = started(ServerProcess::bounded({"maxAreaEntries=3"}));
    auto p = peers(*server, {"A", "B:A:A:Z"});
    EXPECT_EQ(p[1]->call("load B A"), "ERROR load IMP_LIMIT");
    EXPECT_EQ(p[0]->call("point 1 1 A"), "RESULT point");
    EXPECT_EQ(p[0]->call("logout Z"), "RESULT logout");
    EXPECT_EQ(p[1]->call("load B Y"), "RESULT load");
    EXPECT_EQ(p[1]->call("load B Y"), "ERROR load IMP_LIMIT");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(p[0]->call("logout A"), "RESULT logout");
    EXPECT_EQ(p[1]->call("point 0 0 B"), "RESULT point");
    ASSERT_TRUE(p[1]->waitEvent("PaintPoint 0 0 B"));
    EXPECT_EQ(p[1]->events(),
              (Lines{"PrintClient A", "PrintClient B", "PaintPoint 1 1 A", "CloseClient Z",
                     "CloseClient A", "CloseClient A", "PaintPoint 0 0 B"}));
}

TEST(BadInput, RefusedLoginsChangeNothingAndOddStringsHarmNothing) {
    auto server = started();
    PeerProcess p(*server), q(*server), r(*server), e(*server);
    const std::string ascii27(27, 'n');
    std::string greek27;
    for (int i = 0; i < 27; ++i)
        greek27 += "Ω"; // 54 bytes, 27 characters
    // The server as its own callback would relay to itself for ever; control
    // characters could forge console lines.
    for (const std::string& cmd :
         Lines{"login-nil Nil", "login " + ascii27 + "n", "login " + greek27 + "Ω",
               "login-server Self", "login A\\x0ALogin", "login A\\x7F"})
        EXPECT_EQ(p.call(cmd), "ERROR " + cmd.substr(0, cmd.find(' ')) + " BAD_PARAM");
    // The refused names were not taken, and nobody heard of them.
    EXPECT_EQ(p.call("login Nil"), "RESULT login 1");
    EXPECT_EQ(q.call("login " + greek27), "RESULT login 2");
    EXPECT_EQ(r.call("login " + ascii27), "RESULT login 3");
    EXPECT_EQ(e.call("login \"\""), "RESULT login 4");
    ASSERT_TRUE(p.waitEvent("AddNewClient "));
    EXPECT_EQ(p.events(), (Lines{"PrintClient Nil", "AddNewClient " + greek27,
                                 "AddNewClient " + ascii27, "AddNewClient "}));

    EXPECT_EQ(e.call("line 1 2 3 4 \"\""), "RESULT line");
    EXPECT_EQ(e.call("send \"\" \"\""), "RESULT send");
    EXPECT_TRUE(e.waitEvent("PrintTxt |"));
    EXPECT_TRUE(e.waitEvent("PaintLine 1 2 3 4 "));
    // Control bytes reach the console escaped, each event on one line.
    EXPECT_EQ(e.call("point 2 2 x\\x0D\\x1B[2J\\x7F"), "RESULT point");
    EXPECT_EQ(e.call("send \\x0A \\x09 t"), "RESULT send");
    EXPECT_EQ(server->consoleLines(1, 8),
              (Lines{"Login of new Clinet: Nil", "Login of new Clinet: " + greek27,
                     "Login of new Clinet: " + ascii27, "Login of new Clinet: ",
                     "Client [] paint line from [1,2] to [3,4].", "Send message from [] to [].",
                     "Client [x\\x0D\\x1B[2J\\x7F] paint point [2,2].",
                     "Send message from [\\x09] to [\\x0A]."}));

    EXPECT_EQ(e.call("send-size Nil x 1048576"), "RESULT send-size");
    EXPECT_TRUE(p.waitEvent("PrintTxt " + std::string(1048576, 'x') + "|x"));
    // Beyond the ORB's message size the call fails on the caller's side only.
    EXPECT_EQ(e.call("send-size Nil x 8388608").rfind("ERROR send-size ", 0), 0u);
    EXPECT_EQ(e.call("send Nil x after"), "RESULT send");
    EXPECT_TRUE(p.waitEvent("PrintTxt after|x"));
}

} // namespace
} // namespace kolvaro::test
