// The whole system: a real kolvaro-server and real client programs, each
// driven through its windows by kolvaro-client-driver. The windows, the link
// and the server have suites of their own; this one is about the program that
// wires them, and the real ORB between real programs.
#include "ServerProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <thread>

namespace {

namespace kt = kolvaro::test;
using namespace std::chrono_literals;

const std::string lost = "Server lost \u2014 reconnecting...", back = "Connected again";

kt::ServerProcess* server;                 // the one clients are started against
std::map<std::string, std::string> shapes; // each area's history so far, as "view" gives it

class Client : public kt::ChildProcess {
public:
    Client() : Client(server->clientArgs()) {}
    explicit Client(const std::vector<std::string>& args)
        : ChildProcess(KOLVARO_DRIVER_PATH, args) {}

    // The detail of the answer, which should be command's OK.
    std::string ok(const std::string& command, bool quiet = false) {
        send(command);
        const auto at = waitForLine(
            cursor_, [](const std::string&) { return true; }, 60s);
        cursor_ = at ? *at + 1 : cursor_;
        const std::string answer = at ? line(*at) : "TIMEOUT " + errorText();
        const std::string head = "OK " + command.substr(0, command.find(' '));
        if (answer.starts_with(head))
            return answer.substr(std::min(answer.size(), head.size() + 1));
        EXPECT_TRUE(quiet) << name << ": " << command << " -> " << answer;
        return answer;
    }

    // Asks until the answer holds `want` as whole '|'-separated fields.
    void until(const std::string& command, const std::string& want) {
        std::string seen;
        // Once something failed, the rest would only time out one by one.
        for (auto end =
                 std::chrono::steady_clock::now() + (::testing::Test::HasFailure() ? 0s : 60s);
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(30ms))
            if (("|" + (seen = ok(command, true)) + "|").find("|" + want + "|") !=
                std::string::npos)
                return;
        ADD_FAILURE() << name << ": " << command << " never gave " << want << ", last " << seen;
    }

    void login(const std::string& as) { ok("login " + (name = as)); }

    // Logs in as `as` and enters with the areas of `captions`: own first, then `chosen`.
    void enter(const std::string& as, const std::string& captions, const std::string& chosen = "") {
        login(as);
        ok("choose " + chosen);
        ok("enter");
        until("state", captions);
    }

    void answer(const std::string& button, const std::string& newcomer) {
        until("answer " + button,
              "New login client...|New client [" + newcomer + "] login. Show this client ?");
    }

    // Once the drawing call has been made, so that the areas' order is known.
    void draw(const std::string& kind, const std::string& owner, const std::string& corners) {
        ok("tool " + kind);
        ok("drag " + owner + " " + corners);
        ok("sync");
        shapes[owner] += (shapes[owner].empty() ? "" : ";") + kind + " " + corners;
    }

    // The program ends, at once and well.
    void ends() {
        EXPECT_EQ(waitExit(10000ms), std::optional<int>(0)) << name << ": " << errorText();
    }

    std::string name;

private:
    std::size_t cursor_ = 0;
};

// Each viewer's surface is what the area's history draws on a fresh one.
void same(const std::string& owners, const std::vector<Client*>& viewers) {
    for (const char owner : owners)
        for (Client* viewer : viewers)
            viewer->until(std::string("view ") + owner, shapes[{owner}] + "|replay");
}

// Users draw on their own and each other's areas and write. The server is
// killed and started again on its port (every area must come back as drawn), then two clients are
// stopped past its bound: each notices by itself, logs in again and brings its areas back, others'
// strokes included; one finds its name taken until it is free again.
TEST(EndToEnd, UsersDrawTalkAndOutliveTheServer) {
    kt::ServerProcess first({}, kt::freeLoopbackPort(true));
    ASSERT_TRUE(first.waitStarted());
    server = &first;
    Client a, b, c, d;
    // Closing the login dialog ends the program and logs the name out.
    d.login("D");
    d.ok("dismiss");
    EXPECT_TRUE(first.shows("Logout of Client: D"));
    d.ends();
    a.enter("A", "A");
    b.enter("B", "B,A", "A");
    a.answer("yes", "B");
    c.enter("C", "C,A,B", "A,B");
    a.answer("no", "C");
    b.answer("no", "C");
    a.draw("rectangle", "A", "30 40 150 120");
    a.draw("line", "B", "10 10 200 100");
    b.draw("circle", "A", "20 20 120 90");
    c.draw("line", "C", "300 200 400 30");
    EXPECT_EQ(a.ok("send B one"), "Message to B on its way...");
    b.until("answer ok", "Message from: A|Message: one");

    first.signal(SIGKILL);
    first.waitExit(10000ms);
    for (Client* x : {&a, &b, &c})
        x->until("state", lost);
    kt::ServerProcess again({}, first.port());
    ASSERT_TRUE(again.waitStarted());
    server = &again;
    for (Client* x : {&a, &b, &c})
        x->until("state", back);
    same("AB", {&a, &b, &c});
    same("C", {&c});

    // A and C stop while B draws on A's area: they are dropped, A's area
    // waits for it, and C's name is taken meanwhile. What C draws before it
    // learns so waits until it has its name back.
    a.draw("rectangle", "A", "5 5 60 60");
    a.signal(SIGSTOP);
    c.signal(SIGSTOP);
    b.draw("line", "A", "0 100 300 100");
    b.draw("rectangle", "A", "200 20 260 80");
    b.until("state", "B");
    EXPECT_TRUE(again.shows("Logout of Client: C"));
    Client taker;
    taker.login("C");
    b.answer("no", "C");
    a.signal(SIGCONT);
    c.signal(SIGCONT);
    c.draw("line", "C", "0 0 50 50");
    b.answer("yes", "A");
    same("AB", {&a, &b});
    c.until("answer ok", "Error|This Login Name already exist. Please enter other Name.");
    taker.ok("dismiss");
    taker.ends();
    c.login("C");
    c.ok("enter");
    c.draw("circle", "B", "10 10 90 90");
    same("ABC", {&c});
    same("B", {&b});
    // B's session held since the restart: nothing said again for nothing.
    const std::string said = b.ok("state");
    EXPECT_EQ(said.find(back), said.rfind(back)) << said;

    // Quitting needs no server.
    again.signal(SIGKILL);
    again.waitExit(10000ms);
    a.ok("do Logout1");
    a.ends();
}

// Found with no options, through the boards announced on the network (run in
// a namespace of its own with an Avahi daemon: tests/support/with_avahi.sh).
TEST(Discovery, BoardsAnnouncedAreFoundChosenAndFoundAgainElsewhere) {
    const std::vector<std::string> none;
    const auto avahi = [](const std::string& what) {
        return std::system((KOLVARO_WITH_AVAHI " --daemon " + what).c_str()) == 0;
    };
    const auto announced = [](const std::string& name) {
        const std::string browse = "avahi-browse -rt _kolvaro._tcp | grep -qF '" + name + "'";
        for (int i = 0; i < 20; ++i)
            if (std::system(browse.c_str()) == 0)
                return true;
        return false;
    };
    // A neighbour's announcement that leads to no Kolvaro server is passed over.
    kt::ChildProcess bogus("/usr/bin/avahi-publish",
                           {"-s", "Kolvaro on nowhere", "_kolvaro._tcp", "9", "key=ServerObject"});
    auto first = std::make_unique<kt::ServerProcess>();
    ASSERT_TRUE(first->waitStarted());
    ASSERT_TRUE(announced("Kolvaro on nowhere") && announced("Kolvaro on kolvaro-test"));
    Client a(none);
    a.enter("A", "A");
    a.draw("rectangle", "A", "30 40 150 120");
    EXPECT_THAT(a.errorText(), ::testing::HasSubstr("skipped the board \"Kolvaro on nowhere\""));
    // Killed and started again on another port: the running client finds it.
    first->signal(SIGKILL);
    first->waitExit(10000ms);
    a.until("state", lost);
    kt::ServerProcess second;
    a.until("state", back);
    same("A", {&a});
    // The drawing link goes where the session went.
    EXPECT_TRUE(second.shows("Client [A] paint rectangle from [30,40] to [150,120]."));
    // Two on one host: both announced, the second under the alternative name.
    kt::ServerProcess third;
    ASSERT_TRUE(third.waitStarted() && announced("Kolvaro on kolvaro-test #2"));
    Client b(none);
    b.until("board", "Kolvaro on kolvaro-test|Kolvaro on kolvaro-test #2");
    b.ok("board Kolvaro on kolvaro-test #2");
    b.enter("B", "B");
    EXPECT_TRUE(third.shows("Login of new Clinet: B"));
    // No daemon: the old fallback, and a message that says what was tried.
    second.signal(SIGKILL);
    third.signal(SIGKILL);
    ASSERT_TRUE(avahi("stop"));
    Client c(none);
    c.send("login C");
    c.until("answer ok", "Login|Could not log in to the server: no Kolvaro board announced on "
                         "this network and none on this machine");
    // A server started meanwhile says so, and is announced once a daemon runs.
    kt::ServerProcess fourth;
    const std::string said = "the board is not announced on the network";
    for (int i = 0; i < 200 && fourth.errorText().find(said) == std::string::npos; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_THAT(fourth.errorText(), ::testing::HasSubstr(said));
    ASSERT_TRUE(avahi("start") && announced("Kolvaro on kolvaro-test"));
    Client d(none);
    d.login("D");
    EXPECT_TRUE(fourth.shows("Login of new Clinet: D"));
}

} // namespace
