// The whole system: a real kolvaro-server and real client programs, each
// driven through its windows by kolvaro-client-driver. The windows, the link
// and the server have suites of their own; this one is about the program that
// wires them, and the real ORB between real programs.
#include "ServerProcess.h"

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
    Client() : ChildProcess(KOLVARO_DRIVER_PATH, server->clientArgs()) {}

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
    kt::ServerProcess first;
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

} // namespace
