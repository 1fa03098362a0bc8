#include "Session.h"

#include <gmock/gmock.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace kolvaro::test {
namespace {

using ::testing::HasSubstr;

std::string nameServiceRef(int port) {
    return "NameService=corbaloc::127.0.0.1:" + std::to_string(port) + "/NameService";
}

TEST(NamingService, ServerBindsItselfWhereClientsCanFindIt) {
#ifndef KOLVARO_OMNINAMES
    GTEST_SKIP() << "omniNames is not installed";
#else
    char dirTemplate[] = "/tmp/kolvaro-names-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::filesystem::path dir = dirTemplate;
    const int nsPort = freeLoopbackPort();
    {
        ChildProcess names(KOLVARO_OMNINAMES,
                           {"-start", std::to_string(nsPort), "-datadir", dir.string()});
        ASSERT_TRUE(waitForListener(nsPort, 10000ms)) << names.errorText();

        auto server = startServer({"-ORBInitRef", nameServiceRef(nsPort)});
        ProbeProcess viaNames({"-ORBInitRef", "ServerObject=corbaname::127.0.0.1:" +
                                                  std::to_string(nsPort) + "#ServerObject"});
        EXPECT_EQ(viaNames.call("login Ωμέγα"), "RESULT login 1");
        EXPECT_TRUE(consoleShows(*server, "Login of new Clinet: Ωμέγα"));
        EXPECT_EQ(server->errorText(), "");
    }
    std::filesystem::remove_all(dir);
#endif
}

TEST(NamingService, UnreachableNamingServiceIsReportedAndServingGoesOn) {
    const int deadPort = freeLoopbackPort();
    auto server = startServer({"-ORBInitRef", nameServiceRef(deadPort)});
    auto probe = loggedIn(*server, "A");
    for (int i = 0; i < 200 && server->errorText().empty(); ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_THAT(server->errorText(), HasSubstr("naming service"));
    EXPECT_EQ(probe->call("point 1 1 A"), "RESULT point");
}

} // namespace
} // namespace kolvaro::test
