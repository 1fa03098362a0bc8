// The client's ORB side across a real network. The ORB takes its options once
// per process, so each suite runs in a process of its own; the StandIn cases
// share one ORB and one stand-in server and run in order.
#include "ClientEvents.h"
#include "ClientOrb.h"
#include "CorbaServerLink.h"
#include "Helper.h"
#include "ServerProcess.h"
#include "SessionMonitor.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <deque>
#include <filesystem>

using namespace std::chrono_literals;
using kolvaro::CorbaServerLink;
using kolvaro::test::ChildProcess;
using Lines = std::vector<std::string>;
using Answer = std::optional<std::optional<std::string>>;

namespace {

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::processEvents();
    return done();
}

bool printed(const ChildProcess& p, const std::string& line, std::chrono::milliseconds t = 20s) {
    auto is = [&](const std::string& l) { return l == line; };
    return p.waitForLine(0, is, t).has_value();
}

// The window's side of the servant: a message waits until `read` is set.
struct Reader : ClientEvents {
    std::promise<void> read;
    std::atomic<bool> asked{false};
    std::future<void> messageArrived(const std::string&, const std::string&) override {
        asked = true;
        return read.get_future();
    }
    void shapeRelayed(int, int, int, int, int, const std::string&) override {}
    void areaCleared(const std::string&) override {}
    void clientJoined(const std::string&) override {}
    void clientLeft(const std::string&) override {}
};

// The client's ORB with the client's own servant.
struct Client {
    explicit Client(Lines args) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        orb = std::make_unique<kolvaro::ClientOrb>(int(argv.size()), argv.data(), &servant, &window,
                                                   kolvaro::ClientOrb::Options{2s, 1s});
    }
    LoginOutcome login(const std::string& name, std::size_t* namesBeforeAnswer = nullptr) {
        std::optional<LoginOutcome> outcome;
        orb->registerName(QString::fromStdString(name), [&](LoginOutcome o) {
            if (namesBeforeAnswer)
                *namesBeforeAnswer = servant.NameCount();
            outcome = o;
        });
        EXPECT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(LoginOutcome::failed("no answer"));
    }
    Reader reader;
    THelper servant{reader};
    QObject window;
    std::unique_ptr<kolvaro::ClientOrb> orb;
};

const int port = kolvaro::test::freeLoopbackPort();
const std::string standIn = "corbaloc::127.0.0.1:" + std::to_string(port) + "/ServerObject";
std::unique_ptr<ChildProcess> server;
std::unique_ptr<Client> shared;

Client& client() {
    if (!shared)
        shared =
            std::make_unique<Client>(Lines{"client", "-ORBInitRef", "ServerObject=" + standIn});
    return *shared;
}

void startStandIn() {
    server = std::make_unique<ChildProcess>(
        STAND_IN_SERVER, Lines{"-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(printed(*server, "ready"));
}

// A link on the client's ORB, its calls bounded by the ORB's call timeout.
class StandIn : public ::testing::Test {
protected:
    void open() {
        to = client().orb->makeServerLink(&client().window);
        to->setFailureHandler([this](const std::string& what) { failures.push_back(what); });
        to->setTroubleHandler([this] { ++troubles; });
    }
    void drain() {
        bool drained = false;
        to->afterQueuedCalls([&] { drained = true; });
        ASSERT_TRUE(pumpUntil([&] { return drained; }));
    }
    std::unique_ptr<CorbaServerLink> to;
    Lines failures;
    int troubles = 0;
};

TEST_F(StandIn, UnreachableServerIsAnErrorAndRegistrationCanBeRepeated) {
    EXPECT_EQ(client().login("Ann").error.toStdString(),
              "Could not log in to the server: the server cannot be reached (TRANSIENT)");
    EXPECT_EQ(client().orb->makeServerLink(&client().window), nullptr);
    startStandIn();
    std::size_t namesBeforeAnswer = 0;
    EXPECT_EQ(client().login("Ann", &namesBeforeAnswer).result, 1);
    EXPECT_EQ(namesBeforeAnswer, 1u);
    EXPECT_EQ(client().login("Ann").result, -1);
    // The same servant serves every attempt: activating it twice would fail.
    EXPECT_EQ(client().login("Bob").result, 2);
}

TEST_F(StandIn, CallsArriveInOrderCarryingTheLow16BitsOfEachCoordinate) {
    Lines expected;
    open();
    const std::size_t from = server->lineCount();
    for (int i = 0; i < 30; ++i) {
        to->paintPoint(i, -i, "Ann");
        to->paintLine(i, 70000, -40000, 32767, "Bob");
        expected.push_back("PaintPoint " + std::to_string(i) + " " + std::to_string(-i) + " Ann");
        expected.push_back("PaintLine " + std::to_string(i) + " 4464 25536 32767 Bob");
    }
    to->paintRect(1, 2, 3, 4, "");
    to->paintCirc(5, 6, 7, 8, "Ann");
    to->paintFill(9, 10, "Ann");
    to->paintPoint(1, 1, "refuse"); // refused calls are told once in a row, and skipped
    to->paintPoint(2, 2, "refuse");
    to->clearAll("Bob");
    to->loadArea("Ann", "Bob");
    to->logout("Ann");
    expected.insert(expected.end(),
                    {"PaintRect 1 2 3 4 ", "PaintCirc 5 6 7 8 Ann", "PaintFill 9 10 Ann",
                     "PaintPoint 1 1 refuse", "PaintPoint 2 2 refuse", "ClearAll Bob",
                     "LoadArea Ann Bob", "Logout Ann"});
    drain();
    ASSERT_TRUE(printed(*server, "Logout Ann")); // the server's output is read on its own thread
    const Lines lines = server->lines();
    EXPECT_EQ(Lines(lines.begin() + long(from), lines.end()), expected);
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(troubles, 0);
}

TEST_F(StandIn, DrawingTimesOutStopsAndGoesOnWhileAMessageWaitsForItsReader) {
    open();
    Answer answer;
    to->sendTxt("hold", "Bob", "Ann", [&](std::optional<std::string> e) { answer = e; });
    ASSERT_TRUE(printed(*server, "SendTxt hold|Bob|Ann"));
    // A call that times out stops the queue and keeps what follows.
    to->paintPoint(5, 5, "hold");
    to->paintLine(1, 2, 3, 4, "Ann");
    ASSERT_TRUE(pumpUntil([&] { return troubles == 1; }));
    EXPECT_TRUE(to->stopped());
    EXPECT_FALSE(printed(*server, "PaintLine 1 2 3 4 Ann", 300ms));
    // The server still knows us: the timed-out call is not made twice.
    to->resume(CorbaServerLink::Resume::SessionHeld);
    ASSERT_TRUE(printed(*server, "PaintLine 1 2 3 4 Ann"));
    EXPECT_FALSE(answer.has_value()); // past the drawing timeout, still waiting
    to->clearAll("release");
    ASSERT_TRUE(pumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, std::nullopt);
    answer.reset();
    to->sendTxt("unread", "Bob", "Ann", [&](std::optional<std::string> e) { answer = e; });
    ASSERT_TRUE(pumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, std::optional<std::string>("Bob has too many unread messages."));
    EXPECT_EQ(failures.size() + troubles, 1u);
}

TEST_F(StandIn, LostServerKeepsTheCallsAndSendsThemAfterTheRestoreInOrder) {
    open();
    to->paintPoint(1, 1, "Ann");
    to->paintPoint(2, 2, "Ann");
    drain();
    to->echoed(1, 1, 1, 0, 0, "Ann"); // the second never came back
    server->signal(SIGKILL);
    server->waitExit(20s);
    to->loadArea("Ann", "Old");
    for (int i = 0; i < 3; ++i)
        to->paintLine(i, i, i, i, "Ann");
    ASSERT_TRUE(pumpUntil([&] { return troubles == 1; }));
    startStandIn();
    // The restore first, then the own stroke never echoed, then what was
    // kept; a load kept from before the restore is dropped.
    to->resume(
        CorbaServerLink::Resume::ServerForgot,
        [&] {
            to->resend(3, 7, 8, 9, 10, "Ann");
            to->loadArea("Ann", "Bob");
        },
        "Ann");
    drain();
    ASSERT_TRUE(printed(*server, "PaintLine 2 2 2 2 Ann"));
    EXPECT_EQ(server->lines(),
              (Lines{"ready", "PaintRect 7 8 9 10 Ann", "LoadArea Ann Bob", "PaintPoint 2 2 Ann",
                     "PaintLine 0 0 0 0 Ann", "PaintLine 1 1 1 1 Ann", "PaintLine 2 2 2 2 Ann"}));
    EXPECT_EQ(failures.size() + troubles, 1u);
}

TEST_F(StandIn, SessionMonitorTellsLossOnceAndBelievesANameTakenOnlyAfterTwoRefusals) {
    using A = kolvaro::SessionMonitor::Check::Answer;
    std::deque<A> script{A::Unreachable, A::Unreachable, A::Unreachable,
                         A::Held,        A::HeldByOther, A::Held,
                         A::Registered,  A::HeldByOther, A::HeldByOther};
    Lines seen;
    auto note = [&](const std::string& what) { seen.push_back(what); };
    kolvaro::SessionMonitor monitor(
        [&](std::function<void(kolvaro::SessionMonitor::Check)> done) {
            if (script.empty())
                return note("checked after it stopped");
            QTimer::singleShot(0, [done, a = script.front()] { done({a, 3, "why"}); });
            script.pop_front();
        },
        {[&](const std::string& why) { note("lost " + why); }, [&] { note("held"); },
         [&](int count) { note("registered " + std::to_string(count)); }, [&] { note("taken"); }},
        {1ms, 1ms});
    monitor.start();
    ASSERT_TRUE(pumpUntil([&] { return script.empty(); }));
    pumpUntil([] { return false; }, 50ms);
    EXPECT_EQ(seen, (Lines{"lost why", "held", "held", "registered 3", "taken"}));
}

// Last: it ends the ORB.
TEST_F(StandIn, ShutdownSendsWhatIsQueuedAndLetsGoOfCallsWaitingForTheirReader) {
    ASSERT_EQ(client().login("Ann").result, 1); // on the restarted stand-in
    open();
    bool answered = false;
    to->sendTxt("hi", "Ann", "Ann", [&](std::optional<std::string>) { answered = true; });
    ASSERT_TRUE(pumpUntil([&] { return client().reader.asked.load(); }));
    for (int i = 0; i < 50; ++i)
        to->paintPoint(i, i, "Ann");
    to->logout("Ann");
    to->shutdown();
    EXPECT_TRUE(printed(*server, "Logout Ann"));
    to->paintPoint(100, 100, "Ann"); // dropped, harmlessly
    EXPECT_FALSE(client().orb->shutdown());
    client().reader.read.set_value();
    EXPECT_TRUE(printed(*server, "SendTxt done hi"));
    EXPECT_FALSE(client().orb->shutdown()); // a thread was let go inside the ORB
    EXPECT_FALSE(answered);
    EXPECT_FALSE(printed(*server, "PaintPoint 100 100 Ann", 0ms));
}

TEST(NamingService, ServerIsLookedUpThereAndItsAbsenceIsReported) {
#ifndef KOLVARO_OMNINAMES
    GTEST_SKIP() << "omniNames is not installed";
#else
    char dir[] = "/tmp/kolvaro-names-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const int nsPort = kolvaro::test::freeLoopbackPort();
    {
        ChildProcess names(KOLVARO_OMNINAMES, {"-start", std::to_string(nsPort), "-datadir", dir});
        ASSERT_TRUE(kolvaro::test::waitForListener(nsPort, 10s)) << names.errorText();
        const std::string ns =
            "NameService=corbaloc::127.0.0.1:" + std::to_string(nsPort) + "/NameService";
        Client c({"client", "-ORBInitRef", ns});
        EXPECT_EQ(c.login("Ann").error.toStdString(),
                  "Could not log in to the server: the naming service holds no ServerObject");
        kolvaro::test::ServerProcess server({"-ORBInitRef", ns});
        ASSERT_TRUE(server.waitStarted());
        const std::string name = "Jörg Ωμέγα 日本語"; // any script
        LoginOutcome found; // the server binds its name just after it says it started
        for (int i = 0; i < 100 && !(found = c.login(name)).result; ++i)
            std::this_thread::sleep_for(100ms);
        EXPECT_EQ(found.result, 1) << found.error.toStdString();
        EXPECT_TRUE(printed(server, "Login of new Clinet: " + name));
        EXPECT_TRUE(c.orb->shutdown());
    }
    std::filesystem::remove_all(dir);
#endif
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    (void)shared.release(); // its ORB may have been let go: left to the process's end
    server.reset();
    return rc;
}
