#include "Session.h"

namespace kolvaro::test {
namespace {

using Lines = std::vector<std::string>;

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

TEST(BadInput, RefusedLoginsChangeNothing) {
    auto server = startServer();
    ProbeProcess p(*server), q(*server), r(*server);
    const std::string ascii27 = repeat("n", 27);
    const std::string greek27 = repeat("Ω", 27); // 54 bytes, 27 characters
    EXPECT_EQ(p.call("login-nil Nil"), "ERROR login-nil BAD_PARAM");
    EXPECT_EQ(p.call("login " + ascii27 + "n"), "ERROR login BAD_PARAM");
    EXPECT_EQ(p.call("login " + greek27 + "Ω"), "ERROR login BAD_PARAM");
    EXPECT_EQ(p.call("login-server Self"), "ERROR login-server BAD_PARAM");
    // The refused names were not taken, and nobody heard of them.
    EXPECT_EQ(p.call("login Nil"), "RESULT login 1");
    EXPECT_EQ(q.call("login " + greek27), "RESULT login 2");
    EXPECT_EQ(r.call("login " + ascii27), "RESULT login 3");
    ASSERT_TRUE(p.waitEvent("AddNewClient " + ascii27));
    EXPECT_EQ(p.events(),
              (Lines{"PrintClient Nil", "AddNewClient " + greek27, "AddNewClient " + ascii27}));
    EXPECT_EQ(server->consoleLines(0, 4),
              (Lines{"Start server.", "Login of new Clinet: Nil", "Login of new Clinet: " + greek27,
                     "Login of new Clinet: " + ascii27}));
}

TEST(BadInput, EmptyStringsAreOrdinaryNamesAndTexts) {
    auto server = startServer();
    ProbeProcess p(*server);
    EXPECT_EQ(p.call("login \"\""), "RESULT login 1");
    EXPECT_EQ(p.call("line 1 2 3 4 \"\""), "RESULT line");
    EXPECT_EQ(p.call("send \"\" \"\""), "RESULT send");
    EXPECT_TRUE(p.waitEvent("PrintTxt |"));
    EXPECT_TRUE(p.waitEvent("PaintLine 1 2 3 4 "));
    EXPECT_EQ(server->consoleLines(1, 3),
              (Lines{"Login of new Clinet: ", "Client [] paint line from [1,2] to [3,4].",
                     "Send message from [] to []."}));
}

TEST(BadInput, HugeMessagesAreDeliveredOrRefusedWithoutHarm) {
    auto server = startServer();
    auto a = loggedIn(*server, "A");
    auto b = loggedIn(*server, "B");
    EXPECT_EQ(a->call("send-size B A 1048576"), "RESULT send-size");
    EXPECT_TRUE(b->waitEvent("PrintTxt " + std::string(1048576, 'x') + "|A"));
    // Beyond the ORB's message size the call fails on the caller's side only.
    EXPECT_EQ(a->call("send-size B A 8388608").rfind("ERROR send-size ", 0), 0u);
    EXPECT_EQ(a->call("send B A after"), "RESULT send");
    EXPECT_TRUE(b->waitEvent("PrintTxt after|A"));
    EXPECT_TRUE(server->running());
}

} // namespace
} // namespace kolvaro::test
