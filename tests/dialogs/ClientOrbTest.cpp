// The client's ORB side against a stand-in server in another process: the
// cases share one ORB (one per process) and one server, and run in order.
#include "ChildProcess.h"
#include "ClientOrb.h"
#include "CorbaServerLink.h"
#include "RecordingClient.h"
#include "SessionMonitor.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <deque>
#include <future>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using kolvaro::ClientOrb;
using kolvaro::CorbaServerLink;
using kolvaro::test::ChildProcess;

namespace {

struct World {
    int port = kolvaro::test::freeLoopbackPort();
    std::string address = "corbaloc::127.0.0.1:" + std::to_string(port) + "/ServerObject";
    kolvaro::test::RecordingClient callback;
    QObject window; // stands for the window thread's objects
    std::unique_ptr<ClientOrb> orb;
    std::unique_ptr<ChildProcess> server;

    void startServer() {
        server = std::make_unique<ChildProcess>(
            FAKE_SERVER,
            std::vector<std::string>{"-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port)});
        ASSERT_TRUE(serverSaw("ready"));
    }
    bool serverSaw(const std::string& line, std::chrono::milliseconds timeout = 20s) {
        return server
            ->waitForLine(
                0, [&](const std::string& l) { return l == line; }, timeout)
            .has_value();
    }
    void killServer() {
        server->signal(SIGKILL);
        server->waitExit(20s);
    }
};
World* world;

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(2ms);
    }
    QCoreApplication::processEvents();
    return true;
}

LoginOutcome login(const QString& name, std::vector<std::string>* seenBeforeAnswer = nullptr) {
    std::optional<LoginOutcome> outcome;
    world->orb->registerName(name, [&](LoginOutcome o) {
        if (seenBeforeAnswer)
            *seenBeforeAnswer = world->callback.events();
        outcome = o;
    });
    EXPECT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
    return outcome.value_or(LoginOutcome::failed("no answer"));
}

// A link with a short call timeout of its own, on the same ORB.
std::unique_ptr<CorbaServerLink> shortTimeoutLink(std::vector<std::string>* failures,
                                                  int* troubles = nullptr) {
    int argc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
    CORBA::Object_var obj = orb->string_to_object(world->address.c_str());
    TKolvaro::Server_var server = TKolvaro::Server::_narrow(obj.in());
    CorbaServerLink::Options options;
    options.callTimeout = 300ms;
    auto link = std::make_unique<CorbaServerLink>(orb.in(), server.in(), &world->window, options);
    link->setFailureHandler([failures](const std::string& what) { failures->push_back(what); });
    if (troubles)
        link->setTroubleHandler([troubles] { ++*troubles; });
    return link;
}

// Waits until the link has made every call queued so far.
void drain(CorbaServerLink& link) {
    bool drained = false;
    link.afterQueuedCalls([&] { drained = true; });
    ASSERT_TRUE(pumpUntil([&] { return drained; }));
}

TEST(ClientOrb, UnreachableServerIsAnErrorAndRegistrationCanBeRepeated) {
    LoginOutcome none = login("Ann");
    EXPECT_FALSE(none.result);
    EXPECT_EQ(none.error.toStdString(),
              "Could not log in to the server: the server cannot be reached (TRANSIENT)");
    EXPECT_EQ(world->orb->makeServerLink(&world->window), nullptr);

    world->startServer();
    std::vector<std::string> seen;
    LoginOutcome first = login("Ann", &seen);
    ASSERT_TRUE(first.result) << first.error.toStdString();
    EXPECT_EQ(*first.result, 1);
    // Announced while Login was in progress, before its answer.
    EXPECT_EQ(seen, std::vector<std::string>{"PrintClient Ann"});

    LoginOutcome taken = login("Ann");
    ASSERT_TRUE(taken.result);
    EXPECT_EQ(*taken.result, -1);

    // The same servant serves every attempt: activating it twice would fail.
    LoginOutcome second = login("Bob");
    ASSERT_TRUE(second.result) << second.error.toStdString();
    EXPECT_EQ(*second.result, 2);
    EXPECT_EQ(world->callback.events(),
              (std::vector<std::string>{"PrintClient Ann", "PrintClient Ann", "PrintClient Bob"}));
}

TEST(CorbaServerLink, CallsArriveInOrderCarryingTheLow16BitsOfEachCoordinate) {
    auto link = world->orb->makeServerLink(&world->window);
    ASSERT_NE(link, nullptr);
    const std::size_t from = world->server->lines().size();
    std::vector<std::string> expected;
    for (int i = 0; i < 60; ++i) {
        link->paintPoint(i, -i, "Ann");
        link->paintLine(i, 70000, -40000, 32767, "Bob");
        expected.push_back("PaintPoint " + std::to_string(i) + " " + std::to_string(-i) + " Ann");
        expected.push_back("PaintLine " + std::to_string(i) + " 4464 25536 32767 Bob");
    }
    link->paintRect(1, 2, 3, 4, "");
    link->paintCirc(5, 6, 7, 8, "Ann");
    link->paintFill(9, 10, "Ann");
    link->clearAll("Bob");
    link->loadArea("Ann", "Bob");
    link->logout("Ann");
    expected.insert(expected.end(),
                    {"PaintRect 1 2 3 4 ", "PaintCirc 5 6 7 8 Ann", "PaintFill 9 10 Ann",
                     "ClearAll Bob", "LoadArea Ann Bob", "Logout Ann"});
    drain(*link);
    ASSERT_TRUE(world->serverSaw("Logout Ann"));
    const auto lines = world->server->lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(from), lines.end()),
              expected);
}

TEST(CorbaServerLink, DrawingTimesOutStopsAndGoesOnWhileAMessageWaitsForItsReader) {
    std::vector<std::string> failures;
    int troubles = 0;
    auto link = shortTimeoutLink(&failures, &troubles);
    std::optional<std::optional<std::string>> answer;
    link->sendTxt("hold", "Bob", "Ann", [&](std::optional<std::string> e) { answer = e; });
    ASSERT_TRUE(world->serverSaw("SendTxt hold|Bob|Ann"));

    // A call that times out stops the queue and keeps what follows.
    link->paintPoint(5, 5, "hold");
    link->paintLine(1, 2, 3, 4, "Ann");
    ASSERT_TRUE(pumpUntil([&] { return troubles == 1; }));
    EXPECT_TRUE(link->stopped());
    EXPECT_FALSE(world->serverSaw("PaintLine 1 2 3 4 Ann", 300ms));
    // The server still knows us: the timed-out call may have arrived and is
    // not made twice; the kept one goes.
    link->resume(CorbaServerLink::Resume::SessionHeld);
    ASSERT_TRUE(world->serverSaw("PaintLine 1 2 3 4 Ann"));
    // Past the drawing calls' timeout, the message is still waiting.
    EXPECT_FALSE(answer.has_value());

    link->clearAll("release");
    ASSERT_TRUE(pumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, std::nullopt);
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(troubles, 1);

    answer.reset();
    link->sendTxt("unread", "Bob", "Ann", [&](std::optional<std::string> e) { answer = e; });
    ASSERT_TRUE(pumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, std::optional<std::string>("Bob has too many unread messages."));
}

TEST(CorbaServerLink, LostServerKeepsTheCallsAndSendsThemAfterTheRestore) {
    auto link = world->orb->makeServerLink(&world->window);
    int troubles = 0;
    std::vector<std::string> failures;
    link->setTroubleHandler([&] { ++troubles; });
    link->setFailureHandler([&](const std::string& what) { failures.push_back(what); });
    link->paintPoint(1, 1, "Ann");
    link->paintPoint(2, 2, "Ann");
    drain(*link);
    link->echoed(1, 1, 1, 0, 0, "Ann"); // the second never came back

    world->killServer();
    link->loadArea("Ann", "Old");
    for (int i = 0; i < 3; ++i)
        link->paintLine(i, i, i, i, "Ann");
    ASSERT_TRUE(pumpUntil([&] { return troubles == 1; }));

    world->startServer();
    // The restore goes first, then the own stroke that was never echoed,
    // then what was kept; a load kept from before the restore is dropped.
    link->resume(
        CorbaServerLink::Resume::ServerForgot,
        [&] {
            link->resend(3, 7, 8, 9, 10, "Ann");
            link->loadArea("Ann", "Bob");
        },
        "Ann");
    drain(*link);
    EXPECT_EQ(world->server->lines(),
              (std::vector<std::string>{"ready", "PaintRect 7 8 9 10 Ann", "LoadArea Ann Bob",
                                        "PaintPoint 2 2 Ann", "PaintLine 0 0 0 0 Ann",
                                        "PaintLine 1 1 1 1 Ann", "PaintLine 2 2 2 2 Ann"}));
    EXPECT_EQ(troubles, 1);
    EXPECT_TRUE(failures.empty());
}

TEST(CorbaServerLink, ShutdownSendsWhatIsQueuedAndAbandonsAWaitingMessage) {
    auto link = world->orb->makeServerLink(&world->window);
    bool answered = false;
    link->sendTxt("hold", "Bob", "Ann", [&](std::optional<std::string>) { answered = true; });
    ASSERT_TRUE(world->serverSaw("SendTxt hold|Bob|Ann"));
    for (int i = 0; i < 50; ++i)
        link->paintPoint(i, i, "Ann");
    link->logout("Ann");
    link->shutdown();
    EXPECT_TRUE(world->serverSaw("Logout Ann"));
    link->paintPoint(100, 100, "Ann"); // dropped, harmlessly
    link.reset();

    std::vector<std::string> failures;
    auto other = shortTimeoutLink(&failures);
    other->clearAll("release");
    ASSERT_TRUE(world->serverSaw("SendTxt done hold"));
    other->paintPoint(7, 7, "Ann");
    ASSERT_TRUE(world->serverSaw("PaintPoint 7 7 Ann"));
    QCoreApplication::processEvents();
    EXPECT_FALSE(answered);
    EXPECT_FALSE(world->serverSaw("PaintPoint 100 100 Ann", 0ms));
}

TEST(SessionMonitor, LostIsToldOnceAndANameIsTakenOnlyWhenRefusedTwiceInARow) {
    using Answer = kolvaro::SessionMonitor::Check::Answer;
    std::deque<Answer> script{Answer::Unreachable, Answer::Unreachable, Answer::Held,
                              Answer::HeldByOther, Answer::Held,        Answer::Registered,
                              Answer::HeldByOther, Answer::HeldByOther};
    std::vector<std::string> seen;
    kolvaro::SessionMonitor::Hooks hooks;
    hooks.lost = [&](const std::string& why) { seen.push_back("lost " + why); };
    hooks.held = [&] { seen.push_back("held"); };
    hooks.registered = [&](int count) { seen.push_back("registered " + std::to_string(count)); };
    hooks.taken = [&] { seen.push_back("taken"); };
    kolvaro::SessionMonitor monitor(
        [&](std::function<void(kolvaro::SessionMonitor::Check)> done) {
            if (script.empty())
                return seen.push_back("checked after it stopped");
            kolvaro::SessionMonitor::Check check{script.front(), 3, "why"};
            script.pop_front();
            QTimer::singleShot(0, [done, check] { done(check); });
        },
        hooks, {1ms, 1ms});
    monitor.start();
    ASSERT_TRUE(pumpUntil([&] { return script.empty(); }));
    pumpUntil([] { return false; }, 50ms);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"lost why", "held", "held", "registered 3", "taken"}));
}

// Last: it ends the ORB.
TEST(ClientOrbAtExit, ShutdownReturnsWhileACallbackWaitsForAPerson) {
    LoginOutcome ann = login("Ann");
    ASSERT_TRUE(ann.result);
    ASSERT_EQ(*ann.result, 1);

    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> once{false};
    world->callback.setHook([&, released](const std::string& line) {
        if (line.rfind("PrintTxt", 0) == 0 && !once.exchange(true)) {
            entered.set_value();
            released.wait_for(60s);
        }
    });
    auto link = world->orb->makeServerLink(&world->window);
    link->sendTxt("hi", "Ann", "Ann", {});
    ASSERT_EQ(entered.get_future().wait_for(20s), std::future_status::ready);
    link->shutdown();
    EXPECT_FALSE(world->orb->shutdown());
    release.set_value();
    // Later calls keep the first answer: a thread was let go inside the ORB.
    EXPECT_FALSE(world->orb->shutdown());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    World w;
    world = &w;
    char program[] = "dialogs_orb_tests";
    char initRef[] = "-ORBInitRef";
    std::string ref = "ServerObject=" + w.address;
    char* orbArgs[] = {program, initRef, ref.data(), nullptr};
    ClientOrb::Options options;
    options.shutdownBound = 1s;
    w.orb = std::make_unique<ClientOrb>(3, orbArgs, &w.callback, &w.window, options);
    int rc = RUN_ALL_TESTS();
    w.server.reset();
    return rc;
}
