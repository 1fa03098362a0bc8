#include "Session.h"

#include <gmock/gmock.h>

#include <csignal>

namespace kolvaro::test {
namespace {

using ::testing::HasSubstr;
using Lines = std::vector<std::string>;

TEST(ServerStartup, StartLineComesOnceAndFirstAndSignalsEndTheServerQuietly) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        // An argument the ORB does not claim changes nothing.
        ServerProcess server({"not-an-orb-option"});
        ASSERT_TRUE(server.waitStarted()) << server.errorText();
        {
            ProbeProcess probe(server);
            EXPECT_EQ(probe.call("login A"), "RESULT login 1");
            server.signal(sig);
            EXPECT_EQ(server.waitExit(15000ms), 0);
        }
        EXPECT_EQ(server.lines(), (Lines{"Start server.", "Login of new Clinet: A"}));
        EXPECT_EQ(server.errorText(), "");
    }
}

TEST(ServerStartup, SignalEndsTheServerEvenWhileAMessageBoxIsOpen) {
    auto server = startServer();
    auto reader = loggedIn(*server, "Reader");
    auto writer = loggedIn(*server, "Writer");
    EXPECT_EQ(reader->call("msgbox-delay 600000"), "RESULT msgbox-delay");
    writer->post("send Reader Writer are you there");
    ASSERT_TRUE(reader->waitEvent("PrintTxt are you there|Writer"));
    server->signal(SIGTERM);
    EXPECT_EQ(server->waitExit(20000ms), 0);
}

TEST(ServerStartup, BadOrbOptionFailsBeforeTheStartLine) {
    ServerProcess server({"-ORBnoSuchOption", "1"});
    EXPECT_EQ(server.waitExit(15000ms), 1);
    EXPECT_EQ(server.lines(), Lines{});
    EXPECT_THAT(server.errorText(), HasSubstr("kolvaro-server: CORBA::"));
}

TEST(ServerStartup, TakenPortFailsBeforeTheStartLineAndTheHolderKeepsServing) {
    auto first = startServer();
    ServerProcess second({}, first->port());
    EXPECT_EQ(second.waitExit(15000ms), 1);
    EXPECT_EQ(second.lines(), Lines{});
    EXPECT_THAT(second.errorText(), HasSubstr("kolvaro-server: CORBA::INITIALIZE"));

    auto probe = loggedIn(*first, "A");
    EXPECT_TRUE(consoleShows(*first, "Login of new Clinet: A"));
}

} // namespace
} // namespace kolvaro::test
