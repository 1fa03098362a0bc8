// Finding the server through a naming service, in a process of its own: the
// ORB takes its options once.
#include "ClientOrb.h"
#include "RecordingClient.h"
#include "ServerProcess.h"

#include <QCoreApplication>
#include <QObject>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using kolvaro::test::ChildProcess;

namespace {

bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

LoginOutcome login(kolvaro::ClientOrb& orb, const QString& name) {
    std::optional<LoginOutcome> outcome;
    orb.registerName(name, [&](LoginOutcome o) { outcome = o; });
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!outcome && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(2ms);
    }
    return outcome.value_or(LoginOutcome::failed("no answer"));
}

TEST(ClientOrbNaming, ServerIsLookedUpThereAndItsAbsenceIsReported) {
#ifndef KOLVARO_OMNINAMES
    GTEST_SKIP() << "omniNames is not installed";
#else
    char dirTemplate[] = "/tmp/kolvaro-names-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::filesystem::path dir = dirTemplate;
    const int nsPort = kolvaro::test::freeLoopbackPort();
    {
        ChildProcess names(KOLVARO_OMNINAMES,
                           {"-start", std::to_string(nsPort), "-datadir", dir.string()});
        for (int i = 0; i < 200 && !accepts(nsPort); ++i)
            std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(accepts(nsPort)) << names.errorText();
        const std::string nsRef =
            "NameService=corbaloc::127.0.0.1:" + std::to_string(nsPort) + "/NameService";

        kolvaro::test::RecordingClient callback;
        QObject window;
        std::vector<std::string> args{"client", "-ORBInitRef", nsRef};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        kolvaro::ClientOrb orb(static_cast<int>(argv.size()), argv.data(), &callback, &window);

        LoginOutcome none = login(orb, "Ann");
        EXPECT_FALSE(none.result);
        EXPECT_EQ(none.error.toStdString(),
                  "Could not log in to the server: the naming service holds no ServerObject");

        const int port = kolvaro::test::freeLoopbackPort();
        ChildProcess server(
            FAKE_SERVER,
            {"-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port), "-ORBInitRef", nsRef});
        ASSERT_TRUE(server.waitForLine(
            0, [](const std::string& l) { return l == "ready"; }, 20s));
        LoginOutcome found = login(orb, "Ann");
        ASSERT_TRUE(found.result) << found.error.toStdString();
        EXPECT_EQ(*found.result, 1);
        EXPECT_TRUE(server.waitForLine(
            0, [](const std::string& l) { return l == "Login Ann"; }, 20s));
        EXPECT_TRUE(orb.shutdown());
    }
    std::filesystem::remove_all(dir);
#endif
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
