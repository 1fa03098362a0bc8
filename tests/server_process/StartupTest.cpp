#include "Session.h"

#include <gmock/gmock.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Under the usual soft limit of open files, a thousand idle connections
// would leave none for a login; the server raises its own limit.
TEST(ServerStartup, ALoginGetsThroughPastAThousandIdleConnections) {
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    if (saved.rlim_max < 2048)
        GTEST_SKIP() << "hard limit of open files below 2048";
    rlimit limit = saved;
    limit.rlim_cur = 1024;
    setrlimit(RLIMIT_NOFILE, &limit);
    auto server = startServer();
    limit.rlim_cur = limit.rlim_max; // the idle connections are ours too
    setrlimit(RLIMIT_NOFILE, &limit);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(server->port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> idle;
    for (int i = 0; i < 1100; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        idle.push_back(fd);
    }
    auto probe = loggedIn(*server, "A");
    EXPECT_TRUE(consoleShows(*server, "Login of new Clinet: A"));
    for (int fd : idle)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

} // namespace
} // namespace kolvaro::test
