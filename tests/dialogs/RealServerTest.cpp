// The client's ORB side against kolvaro-server itself, found through a
// corbaloc address, with names and texts outside Latin-1.
#include "ClientOrb.h"
#include "CorbaServerLink.h"
#include "RecordingClient.h"
#include "ServerProcess.h"

#include <QCoreApplication>
#include <QObject>

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

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

bool consoleHas(const kolvaro::test::ServerProcess& server, const std::string& line) {
    return server
        .waitForLine(
            0, [&](const std::string& l) { return l == line; }, 20s)
        .has_value();
}

TEST(AgainstKolvaroServer, LoginDrawingAndMessagesCarryAnyScript) {
    kolvaro::test::ServerProcess server;
    ASSERT_TRUE(server.waitStarted());

    kolvaro::test::RecordingClient callback;
    QObject window;
    std::vector<std::string> args{"client"};
    for (auto& a : server.clientArgs())
        args.push_back(a);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    kolvaro::ClientOrb orb(static_cast<int>(argv.size()), argv.data(), &callback, &window);

    const std::string name = "Jörg Ωμέγα 日本語";
    std::optional<LoginOutcome> outcome;
    orb.registerName(QString::fromStdString(name), [&](LoginOutcome o) { outcome = o; });
    ASSERT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
    ASSERT_TRUE(outcome->result) << outcome->error.toStdString();
    EXPECT_EQ(*outcome->result, 1);
    EXPECT_EQ(callback.events(), std::vector<std::string>{"PrintClient " + name});
    EXPECT_TRUE(consoleHas(server, "Login of new Clinet: " + name));

    auto link = orb.makeServerLink(&window);
    ASSERT_NE(link, nullptr);
    std::vector<std::string> failures;
    link->setFailureHandler([&](const std::string& what) { failures.push_back(what); });

    // The server relays the owner's own drawing back to the owner.
    link->paintLine(1, 2, 3, 4, name);
    EXPECT_TRUE(callback.waitFor("PaintLine 1 2 3 4 " + name, 20s));

    const std::string text = "Привет — ça va? 你好";
    bool answered = false;
    std::optional<std::string> error;
    link->sendTxt(text, name, name, [&](std::optional<std::string> e) {
        answered = true;
        error = e;
    });
    ASSERT_TRUE(pumpUntil([&] { return answered; }));
    EXPECT_EQ(error, std::nullopt);
    EXPECT_TRUE(callback.waitFor("PrintTxt " + text + "|" + name, 0s));

    link->logout(name);
    link->shutdown();
    EXPECT_TRUE(consoleHas(server, "Logout of Client: " + name));
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_TRUE(orb.shutdown());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
