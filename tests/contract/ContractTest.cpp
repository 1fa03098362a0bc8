// What every client relies on, against the real server: who gets which
// callback, in which order, with which arguments, and the console, line for line.
#include "ServerProcess.h"

#include <gmock/gmock.h>

#include <csignal>
#include <set>
#include <thread>

namespace kolvaro::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using Lines = std::vector<std::string>;

std::unique_ptr<ServerProcess> startServer(std::vector<std::string> args = {}) {
    auto server = std::make_unique<ServerProcess>(std::move(args));
    EXPECT_TRUE(server->waitStarted()) << server->errorText();
    return server;
}

// One scripted session; the console must match line for line, and every
// client must see exactly its callbacks in order.
TEST(ConsoleLog, ScriptedSessionLogsEveryEventAndCallsEveryoneBack) {
    auto server = startServer();
    PeerProcess a(*server), b(*server), c(*server);
    EXPECT_EQ(a.call("login A"), "RESULT login 1");
    EXPECT_EQ(b.call("login B"), "RESULT login 2");
    EXPECT_EQ(c.call("login C"), "RESULT login 3");
    EXPECT_EQ(c.call("login A"), "RESULT login -1"); // taken: no line, no callback
    EXPECT_EQ(b.call("load B A"), "RESULT load");
    EXPECT_EQ(c.call("load C B"), "RESULT load");

    for (auto cmd : {"line 1 2 3 4 A", "rect -5 -6 7 8 A", "circ 10 20 30 40 A", "point -1 -2 A",
                     "fill 5 6 A", "clear A", "line 9 9 -32768 32767 A"})
        EXPECT_EQ(b.call(cmd).rfind("RESULT ", 0), 0u) << cmd;
    ASSERT_EQ(a.drawing("A", 7).size(), 7u);
    ASSERT_EQ(b.drawing("A", 7).size(), 7u); // before B leaves

    // After the clear, a fresh viewer gets only what was drawn since.
    EXPECT_EQ(c.call("load C A"), "RESULT load");
    EXPECT_EQ(b.call("send A B hello there"), "RESULT send");
    EXPECT_EQ(a.call("send Nobody A lost"), "RESULT send");
    EXPECT_EQ(a.call("line 1 1 2 2 Nobody"), "RESULT line");
    EXPECT_EQ(b.call("logout B"), "RESULT logout");
    // Another process's output may lag behind the answer that followed it.
    ASSERT_TRUE(a.waitEvent("PrintTxt hello there|B"));
    ASSERT_TRUE(c.waitEvent("CloseClient B"));

    const Lines console{
        "Start server.",
        "Login of new Clinet: A",
        "Login of new Clinet: B",
        "Login of new Clinet: C",
        "Client [B] load [A].",
        "Client [C] load [B].",
        "Client [A] paint line from [1,2] to [3,4].",
        "Client [A] paint rectangle from [-5,-6] to [7,8].",
        "Client [A] paint circle from [10,20] to [30,40].",
        "Client [A] paint point [-1,-2].",
        "Client [A] paint fill area [5,6].",
        "Client [A] clear all.",
        "Client [A] paint line from [9,9] to [-32768,32767].",
        "Client [C] load [A].",
        "Send message from [B] to [A].",
        "Send message from [A] to [Nobody].",
        "Client [Nobody] paint line from [1,1] to [2,2].",
        "Logout of Client: B",
    };
    EXPECT_EQ(server->consoleLines(0, console.size()), console);

    const Lines drawn{
        "PaintLine 1 2 3 4 A",         "PaintRect -5 -6 7 8 A", "PaintCirc 10 20 30 40 A",
        "PaintPoint -1 -2 A",          "PaintFill 5 6 A",       "ClearAll A",
        "PaintLine 9 9 -32768 32767 A"};
    Lines aWants{"PrintClient A", "AddNewClient B", "AddNewClient C"};
    aWants.insert(aWants.end(), drawn.begin(), drawn.end());
    aWants.push_back("PrintTxt hello there|B");
    EXPECT_EQ(a.events(), aWants);

    Lines bWants{"PrintClient A", "PrintClient B", "AddNewClient C"};
    bWants.insert(bWants.end(), drawn.begin(), drawn.end());
    EXPECT_EQ(b.events(), bWants);

    EXPECT_EQ(c.events(), (Lines{"PrintClient A", "PrintClient B", "PrintClient C",
                                 "PaintLine 9 9 -32768 32767 A", "CloseClient B"}));
}

// Names outside Latin-1 too: the corbaloc address carries no code sets, and
// the server's forward to its full reference is what lets them through.
TEST(Contract, AbsentOwnersAreRelayedNotStoredAndMessagesReturnOnceRead) {
    auto server = startServer();
    PeerProcess b(*server), z(*server), c(*server);
    EXPECT_EQ(b.call("login Łódź"), "RESULT login 1");
    EXPECT_EQ(b.call("load Łódź Ωμέγα"), "RESULT load"); // Ωμέγα is not logged in
    EXPECT_EQ(b.call("point 1 2 Ωμέγα"), "RESULT point");
    EXPECT_EQ(z.call("login Ωμέγα"), "RESULT login 2");
    EXPECT_EQ(b.call("point 3 4 Ωμέγα"), "RESULT point"); // reaches B without a further load
    EXPECT_EQ(b.drawing("Ωμέγα", 2), (Lines{"PaintPoint 1 2 Ωμέγα", "PaintPoint 3 4 Ωμέγα"}));
    EXPECT_EQ(c.call("login C"), "RESULT login 3");
    EXPECT_EQ(c.call("load C Ωμέγα"), "RESULT load");
    EXPECT_EQ(c.drawing("Ωμέγα", 1), Lines{"PaintPoint 3 4 Ωμέγα"});

    EXPECT_EQ(c.call("on 700 PrintTxt"), "RESULT on"); // a reader taking a while
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(b.call("send C Łódź Καλημέρα, żółć"), "RESULT send");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms);
    EXPECT_TRUE(c.waitEvent("PrintTxt Καλημέρα, żółć|Łódź"));
    EXPECT_EQ(b.call("load Ghost Ωμέγα"), "RESULT load");
    EXPECT_EQ(b.call("send Ghost Łódź hi"), "RESULT send");
    EXPECT_EQ(server->consoleLines(1, 10),
              (Lines{"Login of new Clinet: Łódź", "Client [Łódź] load [Ωμέγα].",
                     "Client [Ωμέγα] paint point [1,2].", "Login of new Clinet: Ωμέγα",
                     "Client [Ωμέγα] paint point [3,4].", "Login of new Clinet: C",
                     "Client [C] load [Ωμέγα].", "Send message from [Łódź] to [C].",
                     "Client [Ghost] load [Ωμέγα].", "Send message from [Łódź] to [Ghost]."}));
}

// Three clients draw on one area at once while a fourth opens it midway:
// every display must end up with exactly the sequence that a fresh load of
// the area replays.
TEST(Contract, ConcurrentDrawingReachesEveryViewerInTheStoredOrderOnce) {
    constexpr int kEach = 300;
    constexpr std::size_t kTotal = 3 * kEach + 1;
    auto server = startServer();
    PeerProcess a(*server), b(*server), c(*server), late(*server), fresh(*server);
    int n = 0;
    for (auto* p : {&a, &b, &c, &late, &fresh})
        EXPECT_EQ(p->call("login P" + std::to_string(n++)).rfind("RESULT login ", 0), 0u);
    EXPECT_EQ(b.call("load P1 P0"), "RESULT load");
    EXPECT_EQ(c.call("load P2 P0"), "RESULT load");
    // Each drawer tags its lines, so a reordering between drawers shows.
    a.post("burst 300 P0 1");
    b.post("burst 300 P0 2");
    c.post("burst 300 P0 3");
    a.drawing("P0", kEach / 2);
    EXPECT_EQ(late.call("load P3 P0"), "RESULT load");
    for (auto* p : {&a, &b, &c})
        EXPECT_EQ(p->answer(60000ms), "RESULT burst");
    EXPECT_EQ(a.call("point -7 -7 P0"), "RESULT point");

    EXPECT_EQ(fresh.call("load P4 P0"), "RESULT load");
    const auto replay = fresh.drawing("P0");
    ASSERT_EQ(replay.size(), kTotal);
    EXPECT_EQ(std::set<std::string>(replay.begin(), replay.end()).size(), kTotal);
    for (auto* p : {&a, &b, &c, &late})
        EXPECT_EQ(p->drawing("P0", kTotal), replay);
}

// An unreachable naming service is told once on stderr, as is a missing Avahi
// daemon, and serving goes on.
TEST(Startup, StartLineComesOnceAndFirstAndSignalsEndTheServerQuietly) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        ServerProcess server({"not-an-orb-option", "-ORBInitRef", // the first changes nothing
                              "NameService=corbaloc::127.0.0.1:" +
                                  std::to_string(freeLoopbackPort()) + "/NameService"});
        ASSERT_TRUE(server.waitStarted()) << server.errorText();
        PeerProcess reader(server), writer(server);
        EXPECT_EQ(reader.call("login A"), "RESULT login 1");
        // Even a message box left open does not hold the server up.
        EXPECT_EQ(reader.call("on 600000 PrintTxt"), "RESULT on");
        writer.post("send A B are you there");
        ASSERT_TRUE(reader.waitEvent("PrintTxt are you there|B"));
        for (int i = 0; i < 200 && server.errorText().empty(); ++i)
            std::this_thread::sleep_for(50ms);
        server.signal(sig);
        EXPECT_EQ(server.waitExit(20000ms), 0);
        EXPECT_EQ(
            server.consoleLines(0, 4, 500ms), // and nothing after
            (Lines{"Start server.", "Login of new Clinet: A", "Send message from [B] to [A]."}));
        EXPECT_THAT(server.errorText(),
                    MatchesRegex("kolvaro-server: cannot bind [^\n]* in the "
                                 "naming service: [^\n]*; serving without it\n"
                                 "(kolvaro-server: the board is not announced [^\n]*\n)?"));
    }
}

TEST(Startup, BadOptionOrTakenPortFailsBeforeTheStartLine) {
    auto first = startServer();
    for (auto [args, port, says] : {std::tuple(Lines{"-ORBnoSuchOption", "1"}, 0, "CORBA::"),
                                    std::tuple(Lines{}, first->port(), "CORBA::INITIALIZE")}) {
        ServerProcess failing(args, port);
        EXPECT_EQ(failing.waitExit(15000ms), 1);
        EXPECT_EQ(failing.lines(), Lines{});
        EXPECT_THAT(failing.errorText(), HasSubstr(std::string("kolvaro-server: ") + says));
    }
    PeerProcess peer(*first); // the holder keeps serving
    EXPECT_EQ(peer.call("login A"), "RESULT login 1");
}

} // namespace
} // namespace kolvaro::test
