// The client's ORB side against the server's own logic, whose console shows
// what the link sent and in which order. The ORB takes its options once per
// process, so each suite runs in a process of its own; the Link cases share
// one ORB and one server address and run in order.
#include "ServerProcess.h"
#include "link/ClientCallback.h"
#include "link/ClientOrb.h"
#include "link/CorbaServerLink.h"
#include "link/SessionMonitor.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <deque>
#include <filesystem>

using namespace std::chrono_literals;
using namespace kolvaro;
using namespace kolvaro::test;
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

// The client's ORB with the client's own servant, whose window side lets a
// message wait until `read` is set.
struct Client : ClientEvents {
    explicit Client(const std::string& initRef, Lines more = {}) {
        more.insert(more.begin(), {"client", "-ORBInitRef", initRef});
        std::vector<char*> argv;
        for (auto& arg : more)
            argv.push_back(arg.data());
        orb = std::make_unique<kolvaro::ClientOrb>(int(more.size()), argv.data(), &servant, &window,
                                                   kolvaro::ClientOrb::Options{2s, 1s});
    }
    LoginOutcome login(const std::string& name) {
        std::optional<LoginOutcome> outcome;
        orb->registerName(QString::fromStdString(name), [&](LoginOutcome o) {
            namesAtAnswer = servant.nameCount();
            outcome = o;
        });
        EXPECT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(LoginOutcome::failed("no answer"));
    }
    std::future<void> messageArrived(const std::string&, const std::string&) override {
        ++messages;
        return read.get_future();
    }
    void shapeRelayed(const PaintRecord& shape, const std::string& o) override {
        QMetaObject::invokeMethod(&window, [=, this] { shown(shape, o); });
    }
    std::function<void(const PaintRecord&, const std::string&)> shown = [](auto...) {};
    void areaCleared(const std::string&) override {}
    void clientJoined(const std::string&) override {}
    void clientLeft(const std::string&) override {}
    std::promise<void> read;
    std::atomic<int> messages{0};
    std::size_t namesAtAnswer = 0;
    ClientCallback servant{*this};
    QObject window;
    std::unique_ptr<kolvaro::ClientOrb> orb;
};

int port = 0;
std::unique_ptr<ServerProcess> server;
std::unique_ptr<Client> shared;

// The port is chosen just before the server first needs it: chosen earlier,
// another test's process may be given it meanwhile.
Client& client() {
    if (!shared && (port = freeLoopbackPort(true)))
        shared = std::make_unique<Client>(
            "ServerObject=corbaloc::127.0.0.1:" + std::to_string(port) + "/ServerObject");
    return *shared;
}

// Always on the same port: the client's ORB took its address once.
void startServer() {
    server = ServerProcess::bounded(
        {"maxUnread=1", "-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(server->waitStarted() && waitForListener(port, 10s)) << server->errorText();
}

// A link on the client's ORB, its calls bounded by the ORB's call timeout.
class Link : public ::testing::Test {
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
    Answer answer; // of the last message sent
    std::unique_ptr<CorbaServerLink> to;
    Lines failures;
    int troubles = 0;
};

TEST_F(Link, UnreachableServerIsAnErrorAndRegistrationCanBeRepeated) {
    EXPECT_EQ(client().login("Ann").error.toStdString(),
              "Could not log in to the server: the server cannot be reached (TRANSIENT)");
    EXPECT_EQ(client().orb->makeServerLink(&client().window), nullptr);
    startServer();
    EXPECT_EQ(client().login("Ann").result, 1);
    EXPECT_EQ(client().namesAtAnswer, 1u);
    EXPECT_EQ(client().login("Ann").result, -1);
    // The same servant serves every attempt: activating it twice would fail.
    EXPECT_EQ(client().login("Bob").result, 2);
}

TEST_F(Link, CallsArriveInOrderCarryingTheLow16BitsOfEachCoordinate) {
    open();
    Lines expected{"Start server.", "Login of new Clinet: Ann", "Login of new Clinet: Bob"};
    for (int i = 0; i < 30; ++i) {
        const std::string n = std::to_string(i);
        to->paint(PaintRecord::of(PaintKind::Point, i, -i), "Ann");
        to->paint(PaintRecord::of(PaintKind::Line, i, 70000, -40000, 32767), "Bob");
        expected.push_back("Client [Ann] paint point [" + n + "," + std::to_string(-i) + "].");
        expected.push_back("Client [Bob] paint line from [" + n + ",4464] to [25536,32767].");
    }
    to->paint(PaintRecord::of(PaintKind::Rect, 1, 2, 3, 4), "");
    to->paint(PaintRecord::of(PaintKind::Circ, 5, 6, 7, 8), "Ann");
    to->paint(PaintRecord::of(PaintKind::Fill, 9, 10), "Ann");
    // Beyond the ORB's largest message, so refused before it leaves: refused
    // calls are told once in a row, and skipped.
    const std::string huge(3 << 20, 'h');
    to->paint(PaintRecord::of(PaintKind::Point, 1, 1), huge);
    to->paint(PaintRecord::of(PaintKind::Point, 2, 2), huge);
    to->clearAll("Bob");
    to->loadArea("Ann", "Bob");
    to->logout("Ann");
    expected.insert(expected.end(),
                    {"Client [] paint rectangle from [1,2] to [3,4].",
                     "Client [Ann] paint circle from [5,6] to [7,8].",
                     "Client [Ann] paint fill area [9,10].", "Client [Bob] clear all.",
                     "Client [Ann] load [Bob].", "Logout of Client: Ann"});
    drain();
    EXPECT_EQ(server->consoleLines(0, expected.size()), expected);
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(troubles, 0);
}

TEST_F(Link, DrawingTimesOutStopsAndGoesOnWhileAMessageWaitsForItsReader) {
    open();
    to->sendTxt("hold", "Bob", "Ann", [&](std::optional<std::string> e) { answer = e; });
    ASSERT_TRUE(pumpUntil([&] { return client().messages == 1; }));
    // A call that times out stops the queue and keeps what follows.
    server->stop();
    to->paint(PaintRecord::of(PaintKind::Point, 5, 5), "Ann");
    to->paint(PaintRecord::of(PaintKind::Line, 1, 2, 3, 4), "Ann");
    EXPECT_TRUE(pumpUntil([&] { return troubles == 1; }));
    server->signal(SIGCONT);
    EXPECT_TRUE(to->stopped());
    const std::string point = "Client [Ann] paint point [5,5].";
    ASSERT_TRUE(server->shows(point)); // it had arrived, and was served once the server went on
    EXPECT_FALSE(server->shows("Client [Ann] paint line from [1,2] to [3,4].", 300ms));
    // The server still knows us: the timed-out call is not made twice.
    to->resume(CorbaServerLink::Resume::SessionHeld);
    EXPECT_TRUE(server->shows("Client [Ann] paint line from [1,2] to [3,4]."));
    const Lines lines = server->lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), point), 1);
    EXPECT_FALSE(answer.has_value()); // past the drawing timeout, still waiting
    // Another link's message finds the reader's mailbox full (one message).
    Answer refused;
    auto other = client().orb->makeServerLink(&client().window);
    other->sendTxt("unread", "Bob", "Ann", [&](std::optional<std::string> e) { refused = e; });
    ASSERT_TRUE(pumpUntil([&] { return refused.has_value(); }));
    EXPECT_EQ(*refused, std::optional<std::string>("Bob has too many unread messages."));
    client().read.set_value();
    ASSERT_TRUE(pumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, std::nullopt);
    client().read = {};
    EXPECT_EQ(failures.size() + troubles, 1u);
}

TEST_F(Link, LostServerKeepsTheCallsAndSendsThemAfterTheRestoreInOrder) {
    open();
    to->paint(PaintRecord::of(PaintKind::Point, 1, 1), "Ann");
    to->paint(PaintRecord::of(PaintKind::Point, 2, 2), "Ann");
    drain();
    to->echoed(PaintRecord::of(PaintKind::Point, 1, 1), "Ann"); // the second never came back
    server->signal(SIGKILL);
    server->waitExit(20s);
    to->loadArea("Ann", "Old");
    for (int i = 0; i < 3; ++i)
        to->paint(PaintRecord::of(PaintKind::Line, i, i, i, i), "Ann");
    ASSERT_TRUE(pumpUntil([&] { return troubles == 1; }));
    startServer();
    // The restore first, then the own stroke never echoed, then what was
    // kept; a load kept from before the restore is dropped.
    const auto restore = [&] {
        to->resend(PaintRecord::of(PaintKind::Rect, 7, 8, 9, 10), "Ann"),
            to->loadArea("Ann", "Bob");
    };
    to->resume(CorbaServerLink::Resume::ServerForgot, restore, "Ann");
    drain();
    EXPECT_EQ(server->consoleLines(0, 7),
              (Lines{"Start server.", "Client [Ann] paint rectangle from [7,8] to [9,10].",
                     "Client [Ann] load [Bob].", "Client [Ann] paint point [2,2].",
                     "Client [Ann] paint line from [0,0] to [0,0].",
                     "Client [Ann] paint line from [1,1] to [1,1].",
                     "Client [Ann] paint line from [2,2] to [2,2]."}));
    EXPECT_EQ(failures.size() + troubles, 1u);
}

TEST_F(Link, SessionMonitorTellsLossOnceAndBelievesANameTakenOnlyAfterRepeatedRefusals) {
    using A = kolvaro::SessionMonitor::Check::Answer;
    std::deque<A> script{A::Unreachable, A::Unreachable, A::Unreachable, A::Held,
                         A::HeldByOther, A::Held,        A::Registered,  A::HeldByOther,
                         A::HeldByOther, A::HeldByOther};
    Lines seen;
    auto note = [&](const std::string& what) { seen.push_back(what); };
    kolvaro::SessionMonitor monitor(
        [&](std::function<void(kolvaro::SessionMonitor::Check)> done) {
            if (script.empty())
                return note("checked after it stopped");
            QTimer::singleShot(0, [done, a = script.front()] { done({a, 3, "why"}); });
            script.pop_front();
        },
        {[] { return 0ul; }, [] { return ClientCallback::Listing{}; }},
        {[&](const std::string& why) { note("lost " + why); }, [&] { note("held"); },
         [&](int count, bool) { note("registered " + std::to_string(count)); },
         [&] { note("taken"); }},
        {1ms, 1ms, 1ms});
    monitor.start();
    ASSERT_TRUE(pumpUntil([&] { return script.empty(); }));
    pumpUntil([] { return false; }, 50ms);
    EXPECT_EQ(seen, (Lines{"lost why", "held", "held", "registered 3", "taken"}));
}

// Calls that fail again after every check that finds the session (a server
// back at another address, before the link adopted it) must not spin.
TEST_F(Link, SessionMonitorBacksOffWhileCallsKeepFailingAndTheSessionHolds) {
    int checks = 0;
    kolvaro::SessionMonitor* watching = nullptr;
    kolvaro::SessionMonitor monitor(
        [&](std::function<void(kolvaro::SessionMonitor::Check)> done) {
            ++checks;
            QTimer::singleShot(0, [done] {
                done({kolvaro::SessionMonitor::Check::Answer::Held, 0, {}});
            });
        },
        {[] { return 0ul; }, [] { return ClientCallback::Listing{}; }},
        {{}, [&] { QTimer::singleShot(0, [&] { watching->callTroubled(); }); }, {}, {}}, {10s, 1s});
    watching = &monitor;
    monitor.start();
    monitor.callTroubled();
    pumpUntil([] { return false; }, 1s);
    EXPECT_GE(checks, 3);
    EXPECT_LE(checks, 6);
}

// Last: it ends the ORB.
TEST_F(Link, ShutdownSendsWhatIsQueuedAndLetsGoOfCallsWaitingForTheirReader) {
    ASSERT_EQ(client().login("Ann").result, 1); // on the restarted server
    open();
    to->sendTxt("hi", "Ann", "Ann", [&](std::optional<std::string> e) { answer = e; });
    ASSERT_TRUE(pumpUntil([&] { return client().messages == 2; }));
    for (int i = 0; i < 50; ++i)
        to->paint(PaintRecord::of(PaintKind::Point, i, i), "Zed");
    to->logout("Ann");
    to->shutdown();
    EXPECT_TRUE(server->shows("Logout of Client: Ann"));
    to->paint(PaintRecord::of(PaintKind::Point, 100, 100), "Zed"); // dropped, harmlessly
    EXPECT_FALSE(client().orb->shutdown());
    client().read.set_value();
    EXPECT_FALSE(client().orb->shutdown()); // a thread was let go inside the ORB
    EXPECT_FALSE(answer.has_value());
    EXPECT_FALSE(server->shows("Client [Zed] paint point [100,100].", 300ms));
}

// Through proxies that make replies and the server's calls to the client
// seconds late: the client goes by what the server did.
TEST(SlowLink, LateProbesLateAnswersAndRepliesAfterTheirEchoes) {
    port = freeLoopbackPort(true);
    const std::string own = std::to_string(freeLoopbackPort());
    startServer();
    DelayProxy up(port), back(std::stoi(own));
    Client c("ServerObject=" + up.corbaloc(),
             {"-ORBendPoint", "giop:tcp:127.0.0.1:" + own, "-ORBendPointPublish",
              "giop:tcp:127.0.0.1:" + std::to_string(back.port())});
    c.servant.listFor("Ann");
    ASSERT_EQ(c.login("Ann").result, 1);
    Lines seen;
    auto note = [&](std::string what) { return [&, what](auto...) { seen.push_back(what); }; };
    kolvaro::SessionMonitor monitor(
        [&](auto done) {
            c.orb->checkSession(
                "Ann", [&] { return c.servant.Probes(); }, done);
        },
        {[&] { return c.servant.Probes(); }, [&] { return c.servant.listed(); }},
        {[](auto) {}, note("held"), note("registered"), note("taken")}, {300ms, 300ms, 6s});
    // The server's look at the holder reaches it after the refusal.
    ASSERT_TRUE(back.command("delay up 2500"));
    monitor.start();
    pumpUntil([] { return false; }, 5s);
    ASSERT_TRUE(back.command("delay up 0"));
    EXPECT_TRUE(pumpUntil([&] { return !seen.empty() && seen.back() == "held"; }));

    // Restarted, the server registers the client after its check gave up.
    const auto restart = [&] {
        monitor.stop();
        seen.clear();
        server->signal(SIGKILL);
        server->waitExit(10s);
        startServer();
    };
    restart();
    ASSERT_TRUE(up.command("delay down 5000"));
    monitor.start();
    monitor.checkNow();
    pumpUntil([] { return false; }, 4500ms);
    ASSERT_TRUE(up.command("delay down 0"));
    ASSERT_TRUE(pumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen.front(), "registered");

    // The server dies after echoing a stroke and before its reply: the
    // stroke goes to the next server once, with the area it belongs to.
    auto to = c.orb->makeServerLink(&c.window);
    bool troubled = false, drained = false, echoed = false;
    to->setTroubleHandler([&] { troubled = true; });
    c.shown = [&](const PaintRecord& shape, const std::string& o) {
        to->echoed(shape, o);
        if (!std::exchange(echoed, true))
            restart();
    };
    ASSERT_TRUE(up.command("hold down"));
    to->paint(PaintRecord::of(PaintKind::Line, 1, 2, 3, 4), "Ann");
    ASSERT_TRUE(pumpUntil([&] { return troubled; }));
    ASSERT_TRUE(up.command("drop") && up.command("release down"));
    monitor.start();
    ASSERT_TRUE(pumpUntil([&] { return !seen.empty(); }));
    to->resume(
        CorbaServerLink::Resume::ServerForgot,
        [&] { to->resend(PaintRecord::of(PaintKind::Line, 1, 2, 3, 4), "Ann"); }, "Ann");
    to->paint(PaintRecord::of(PaintKind::Point, 9, 9), "Ann");
    to->afterQueuedCalls([&] { drained = true; });
    ASSERT_TRUE(pumpUntil([&] { return drained; }));
    EXPECT_EQ(seen.front(), "registered");
    ASSERT_TRUE(server->shows("Client [Ann] paint point [9,9].")); // the console is read behind
    const Lines lines = server->lines();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "Client [Ann] paint line from [1,2] to [3,4]."), 1);
    c.shown = [](auto...) {};
}

TEST(NamingService, ServerIsLookedUpThereAndItsAbsenceIsReported) {
#ifndef KOLVARO_OMNINAMES
    GTEST_SKIP() << "omniNames is not installed";
#else
    char dir[] = "/tmp/kolvaro-names-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const int nsPort = freeLoopbackPort();
    {
        ChildProcess names(KOLVARO_OMNINAMES, {"-start", std::to_string(nsPort), "-datadir", dir});
        ASSERT_TRUE(waitForListener(nsPort, 10s)) << names.errorText();
        const std::string ns =
            "NameService=corbaloc::127.0.0.1:" + std::to_string(nsPort) + "/NameService";
        Client c(ns);
        EXPECT_EQ(c.login("Ann").error.toStdString(),
                  "Could not log in to the server: the naming service holds no ServerObject");
        ServerProcess server({"-ORBInitRef", ns});
        ASSERT_TRUE(server.waitStarted());
        const std::string name = "Jörg Ωμέγα 日本語"; // any script
        LoginOutcome found; // the server binds its name just after it says it started
        for (int i = 0; i < 100 && !(found = c.login(name)).result; ++i)
            std::this_thread::sleep_for(100ms);
        EXPECT_EQ(found.result, 1) << found.error.toStdString();
        EXPECT_TRUE(server.shows("Login of new Clinet: " + name));
        // Back at another address: a check finds it there, and the drawing link follows.
        auto link = c.orb->makeServerLink(&c.window);
        server.signal(SIGKILL);
        server.waitExit(10s);
        ServerProcess moved({"-ORBInitRef", ns});
        ASSERT_TRUE(moved.waitStarted());
        using Check = kolvaro::ClientOrb::SessionCheck;
        std::optional<Check> check;
        for (int i = 0; i < 100 && (!check || check->answer != Check::Answer::Registered); ++i) {
            check.reset();
            c.orb->checkSession(
                name, [&] { return c.servant.Probes(); }, [&](Check k) { check = k; });
            ASSERT_TRUE(pumpUntil([&] { return check.has_value(); }));
        }
        c.orb->adoptServer(*link);
        link->paint(PaintRecord::of(PaintKind::Point, 1, 2), name);
        EXPECT_TRUE(moved.shows("Client [" + name + "] paint point [1,2]."));
        link->shutdown();
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
