// The client's ORB side finding real servers. The ORB takes its options once
// per process, so each case runs in a process of its own (a test filter each).
#include "ClientOrb.h"
#include "CorbaServerLink.h"
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

bool pumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

bool printed(const ChildProcess& process, const std::string& line) {
    return process
        .waitForLine(
            0, [&](const std::string& l) { return l == line; }, 20s)
        .has_value();
}

// A ClientOrb started with the given ORB options, and its callback servant.
struct Client {
    explicit Client(std::vector<std::string> orbArgs) : args(std::move(orbArgs)) {
        args.insert(args.begin(), "client");
        for (auto& a : args)
            argv.push_back(a.data());
        orb = std::make_unique<kolvaro::ClientOrb>(static_cast<int>(argv.size()), argv.data(),
                                                   &callback, &window);
    }
    LoginOutcome login(const std::string& name) {
        std::optional<LoginOutcome> outcome;
        orb->registerName(QString::fromStdString(name), [&](LoginOutcome o) { outcome = o; });
        EXPECT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(LoginOutcome::failed("no answer"));
    }

    std::vector<std::string> args;
    std::vector<char*> argv;
    kolvaro::test::RecordingClient callback;
    QObject window;
    std::unique_ptr<kolvaro::ClientOrb> orb;
};

TEST(AgainstKolvaroServer, LoginDrawingAndMessagesCarryAnyScript) {
    kolvaro::test::ServerProcess server;
    ASSERT_TRUE(server.waitStarted());
    Client client(server.clientArgs());

    const std::string name = "Jörg Ωμέγα 日本語";
    LoginOutcome outcome = client.login(name);
    ASSERT_TRUE(outcome.result) << outcome.error.toStdString();
    EXPECT_EQ(*outcome.result, 1);
    EXPECT_EQ(client.callback.events(), std::vector<std::string>{"PrintClient " + name});
    EXPECT_TRUE(printed(server, "Login of new Clinet: " + name));

    auto link = client.orb->makeServerLink(&client.window);
    ASSERT_NE(link, nullptr);
    std::vector<std::string> failures;
    link->setFailureHandler([&](const std::string& what) { failures.push_back(what); });

    // The server relays the owner's own drawing back to the owner.
    link->paintLine(1, 2, 3, 4, name);
    EXPECT_TRUE(client.callback.waitFor("PaintLine 1 2 3 4 " + name, 20s));

    const std::string text = "Привет — ça va? 你好";
    std::optional<std::optional<std::string>> answer;
    link->sendTxt(text, name, name, [&](std::optional<std::string> e) { answer = e; });
    ASSERT_TRUE(pumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, std::nullopt);
    EXPECT_TRUE(client.callback.waitFor("PrintTxt " + text + "|" + name, 0s));

    link->logout(name);
    link->shutdown();
    EXPECT_TRUE(printed(server, "Logout of Client: " + name));
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_TRUE(client.orb->shutdown());
}

TEST(ThroughNamingService, ServerIsLookedUpThereAndItsAbsenceIsReported) {
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
        ASSERT_TRUE(kolvaro::test::waitForListener(nsPort, 10000ms)) << names.errorText();
        const std::string nsRef =
            "NameService=corbaloc::127.0.0.1:" + std::to_string(nsPort) + "/NameService";
        Client client({"-ORBInitRef", nsRef});

        LoginOutcome none = client.login("Ann");
        EXPECT_FALSE(none.result);
        EXPECT_EQ(none.error.toStdString(),
                  "Could not log in to the server: the naming service holds no ServerObject");

        const int port = kolvaro::test::freeLoopbackPort();
        ChildProcess server(
            FAKE_SERVER,
            {"-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port), "-ORBInitRef", nsRef});
        ASSERT_TRUE(printed(server, "ready"));
        LoginOutcome found = client.login("Ann");
        ASSERT_TRUE(found.result) << found.error.toStdString();
        EXPECT_EQ(*found.result, 1);
        EXPECT_TRUE(printed(server, "Login Ann"));
        EXPECT_TRUE(client.orb->shutdown());
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
