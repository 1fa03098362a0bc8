#include "Session.h"

namespace kolvaro::test {
namespace {

using Lines = std::vector<std::string>;

// One scripted session; the console must match line for line, and every
// client must see exactly its callbacks in order.
TEST(ConsoleLog, ScriptedSessionLogsEveryEventAndCallsEveryoneBack) {
    auto server = startServer();
    ProbeProcess a(*server), b(*server), c(*server);
    EXPECT_EQ(a.call("login A"), "RESULT login 1");
    EXPECT_EQ(b.call("login B"), "RESULT login 2");
    EXPECT_EQ(c.call("login C"), "RESULT login 3");
    EXPECT_EQ(c.call("login A"), "RESULT login -1"); // taken: no line, no callback
    EXPECT_EQ(b.call("load B A"), "RESULT load");
    EXPECT_EQ(c.call("load C B"), "RESULT load");

    for (auto cmd : {"line 1 2 3 4 A", "rect -5 -6 7 8 A", "circ 10 20 30 40 A", "point -1 -2 A",
                     "fill 5 6 A", "clear A", "line 9 9 -32768 32767 A"})
        EXPECT_EQ(b.call(cmd).rfind("RESULT ", 0), 0u) << cmd;
    ASSERT_EQ(waitDrawing(a, "A", 7).size(), 7u);

    // After the clear, a fresh viewer gets only what was drawn since.
    EXPECT_EQ(c.call("load C A"), "RESULT load");
    EXPECT_EQ(b.call("send A B hello there"), "RESULT send");
    EXPECT_EQ(a.call("send Nobody A lost"), "RESULT send");
    EXPECT_EQ(a.call("line 1 1 2 2 Nobody"), "RESULT line");
    EXPECT_EQ(b.call("logout B"), "RESULT logout");
    // Another process's output may lag behind the answer that followed it.
    ASSERT_TRUE(a.waitEvent("PrintTxt hello there|B"));
    ASSERT_TRUE(c.waitEvent("CloseClient B"));
    ASSERT_EQ(waitDrawing(b, "A", 7).size(), 7u);

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

// The corbaloc address carries no code sets; the server's forward to its full
// reference is what lets a name outside Latin-1 through.
TEST(ConsoleLog, NamesOutsideLatin1PassThroughTheCorbalocAddress) {
    auto server = startServer();
    ProbeProcess greek(*server), polish(*server);
    EXPECT_EQ(greek.call("login Ωμέγα"), "RESULT login 1");
    EXPECT_EQ(polish.call("login Łódź"), "RESULT login 2");
    EXPECT_EQ(polish.call("load Łódź Ωμέγα"), "RESULT load");
    EXPECT_EQ(greek.call("point 3 4 Ωμέγα"), "RESULT point");
    EXPECT_EQ(greek.call("send Łódź Ωμέγα Καλημέρα, żółć"), "RESULT send");
    EXPECT_TRUE(polish.waitEvent("PaintPoint 3 4 Ωμέγα"));
    EXPECT_TRUE(polish.waitEvent("PrintTxt Καλημέρα, żółć|Ωμέγα"));
    EXPECT_EQ(server->consoleLines(1, 5),
              (Lines{"Login of new Clinet: Ωμέγα", "Login of new Clinet: Łódź",
                     "Client [Łódź] load [Ωμέγα].", "Client [Ωμέγα] paint point [3,4].",
                     "Send message from [Ωμέγα] to [Łódź]."}));
}

} // namespace
} // namespace kolvaro::test
