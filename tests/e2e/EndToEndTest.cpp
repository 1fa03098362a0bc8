// The whole system: a real kolvaro-server and real client programs, each
// driven through its windows by kolvaro-client-driver.
#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sstream>
#include <thread>

namespace {

namespace kt = kolvaro::test;
using namespace std::chrono_literals;

const std::string taken = "Error|This Login Name already exist. Please enter other Name.";

std::string asked(const std::string& newcomer) {
    return "New login client...|New client [" + newcomer + "] login. Show this client ?";
}

// Captions, count panels and the text of a message on its way, as "areas" answers.
std::string shown(const std::string& captions, int displayed, int all, std::string sending = "") {
    return captions + "|Count of displayed clients: " + std::to_string(displayed) +
           "|Count of all clients: " + std::to_string(all) + "|" + sending;
}

// What the server should have logged and each area should hold so far.
struct Record {
    kt::ServerProcess* server;
    std::vector<std::string> log{"Start server."};
    std::map<std::string, std::vector<std::string>> shapes; // as the driver describes them
};

// One client program; notes what each command it carried out should have
// made the server log and the areas hold.
class Client : public kt::ChildProcess {
public:
    Client(const std::string& name, Record& record)
        : ChildProcess(KOLVARO_DRIVER_PATH, record.server->clientArgs()), name(name),
          record_(record) {
        const auto ready = waitForLine(
            0, [](const std::string& l) { return l == "READY"; }, 60s);
        EXPECT_TRUE(ready) << name << " did not start: " << errorText();
        cursor_ = ready.value_or(0) + 1;
    }

    // The detail of the OK answer; any other answer fails the test.
    std::string ok(const std::string& command) {
        send(command);
        const auto at = waitForLine(
            cursor_,
            [](const std::string& l) { return l.starts_with("OK ") || l.starts_with("ERR "); },
            90s);
        cursor_ = at ? *at + 1 : cursor_;
        std::string verb, arg;
        std::istringstream(command) >> verb >> arg;
        const std::string answer = at ? line(*at) : "TIMEOUT", head = "OK " + verb;
        if (!answer.starts_with(head)) {
            ADD_FAILURE() << name << ": " << command << " -> " << answer;
            return {};
        }
        const std::string detail = answer.substr(std::min(answer.size(), head.size() + 1));
        note(verb, arg, detail);
        return detail;
    }

    // Draws with `tool` at "OWNER X Y" or "OWNER X1 Y1 X2 Y2".
    void draw(const std::string& tool, const std::string& where) {
        if (std::exchange(tool_, tool) != tool)
            ok("tool " + tool);
        ok((tool == "point" || tool == "fill" ? "click " : "drag ") + where);
    }

    std::string name;

private:
    void note(const std::string& verb, const std::string& arg, const std::string& detail) {
        auto& log = record_.log;
        if (verb == "login" && !detail.starts_with("refused"))
            log.push_back("Login of new Clinet: " + (name = arg));
        std::string loaded =
            verb == "enter" ? detail.substr(std::min(detail.size(), name.size() + 1)) : "";
        if (verb == "answer" && arg == "yes" && entered_)
            loaded = detail.substr(detail.find('[') + 1, detail.find(']') - detail.find('[') - 1);
        entered_ = entered_ || verb == "enter";
        std::istringstream owners(loaded);
        for (std::string owner; std::getline(owners, owner, ',');)
            log.push_back("Client [" + name + "] load [" + owner + "].");
        if (verb == "drag" || verb == "click") {
            record_.shapes[arg].push_back(detail);
            int kind = 0, x1 = 0, y1 = 0, x2 = 0, y2 = 0;
            std::istringstream(detail) >> kind >> x1 >> y1 >> x2 >> y2;
            auto at = [](int x, int y) {
                return "[" + std::to_string(x) + "," + std::to_string(y) + "]";
            };
            const char* kinds[] = {"point", "line", "rectangle", "circle", "fill area"};
            log.push_back(
                "Client [" + arg + "] paint " + kinds[kind] +
                (verb == "click" ? " " + at(x1, y1) : " from " + at(x1, y1) + " to " + at(x2, y2)) +
                ".");
        }
        if (verb == "clear")
            record_.shapes[arg].clear(), log.push_back("Client [" + arg + "] clear all.");
        if (verb == "send") {
            // A message travels apart from the drawing: wait for its line, so
            // that the console's order is known.
            log.push_back("Send message from [" + name + "] to [" + arg + "].");
            EXPECT_TRUE(record_.server->waitForLine(
                log.size() - 1, [&](const std::string& l) { return l == log.back(); }, 30000ms))
                << log.back();
        }
        if (verb == "logout" || verb == "dismiss") {
            log.push_back("Logout of Client: " + name);
            EXPECT_EQ(waitExit(10000ms), std::optional<int>(0)) << name << ": " << errorText();
        }
    }

    Record& record_;
    std::size_t cursor_ = 0;
    std::string tool_;
    bool entered_ = false;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.waitStarted()); }

    // Every viewer shows the same history and, pixel for pixel, the same
    // picture, which that history draws on a fresh surface. Returns the view.
    std::string expectSame(const std::string& owner, const std::vector<Client*>& viewers) {
        std::string expected, first;
        for (const std::string& shape : record.shapes[owner])
            expected += (expected.empty() ? "" : ";") + shape;
        for (Client* v : viewers) {
            const std::string seen =
                v->ok("view " + owner + " " + std::to_string(record.shapes[owner].size()));
            EXPECT_TRUE(seen.starts_with(expected + "|") && seen.ends_with("|replay"))
                << v->name << " shows " << owner << ": " << seen;
            EXPECT_EQ(seen, first.empty() ? seen : first) << v->name << " shows " << owner;
            first = first.empty() ? seen : first;
        }
        return first;
    }

    kt::ServerProcess server;
    Record record{&server, {"Start server."}, {}};
};

// Four users: answers given around the login dialog, every tool on one's own
// and others' areas, messages, a fill overtaken on its way, clear and leave.
TEST_F(EndToEnd, UsersDrawOnEachOthersAreasTalkClearAndLeave) {
    Client a("A", record), b("B", record), c("C", record), d("D", record);
    EXPECT_EQ(a.ok("login A"), "1|");
    EXPECT_EQ(a.ok("enter"), "A");
    EXPECT_EQ(a.ok("areas"), shown("A", 1, 1));
    // A taken name is refused; the next press with a free one goes through.
    EXPECT_EQ(b.ok("login A"), "refused|" + taken);
    EXPECT_EQ(b.ok("login B"), "2|A");
    EXPECT_EQ(a.ok("answer yes"), asked("B"));
    // A Yes given before Enter is carried out at Enter; closing the login
    // dialog ends the program and logs the name out.
    EXPECT_EQ(c.ok("login C"), "3|A,B");
    EXPECT_EQ(b.ok("answer yes"), asked("C"));
    EXPECT_EQ(a.ok("answer yes"), asked("C"));
    EXPECT_EQ(d.ok("login D"), "4|A,B,C");
    EXPECT_EQ(b.ok("answer no"), asked("D"));
    EXPECT_EQ(a.ok("answer no"), asked("D"));
    EXPECT_EQ(c.ok("answer no"), asked("D"));
    d.ok("dismiss");
    b.ok("choose A");
    EXPECT_EQ(b.ok("enter"), "B,A,C");
    EXPECT_EQ(b.ok("areas"), shown("B,A,C", 3, 3));
    EXPECT_EQ(a.ok("areas"), shown("A,B,C", 3, 3));

    // Every tool, on one's own and on the other's area.
    a.draw("line", "B 10 10 200 100");
    a.draw("rect", "A 30 40 150 120");
    b.draw("circle", "A 20 20 120 90");
    b.draw("point", "B 250 30");
    b.draw("rect", "B 300 200 180 130"); // corners reversed
    a.draw("fill", "B 240 170");
    // B's rectangle is stored before A's fill but reaches A after A has shown it.
    a.ok("hold");
    b.draw("rect", "A 40 40 200 160");
    a.draw("fill", "A 100 100");
    expectSame("A", {&a, &b});
    expectSame("B", {&a, &b});

    // The sender's window goes on working while the recipient reads; the
    // recipient's areas go on following the drawing behind the open box.
    EXPECT_EQ(a.ok("send B hello from A"), "Message to B on its way...");
    a.draw("line", "B 10 200 300 20");
    a.draw("fill", "A 70 55");
    expectSame("A", {&a, &b});
    expectSame("B", {&a, &b});
    EXPECT_EQ(a.ok("areas"), shown("A,B,C", 3, 3, "Message to B on its way..."));
    EXPECT_EQ(b.ok("ok"), "Message from: A|Message: hello from A");
    EXPECT_EQ(a.ok("areas " + shown("A,B,C", 3, 3)), shown("A,B,C", 3, 3));
    // Two users who write to each other at the same moment both get their box;
    // one to nobody known is dropped by the server without a word.
    EXPECT_EQ(a.ok("send B one"), "Message to B on its way...");
    EXPECT_EQ(b.ok("send A two"), "Message to A on its way...");
    EXPECT_EQ(a.ok("ok"), "Message from: B|Message: two");
    EXPECT_EQ(b.ok("ok"), "Message from: A|Message: one");
    EXPECT_EQ(a.ok("send Z again"), "Message to Z on its way...");
    EXPECT_EQ(a.ok("areas " + shown("A,B,C", 3, 3)), shown("A,B,C", 3, 3));
    EXPECT_EQ(b.ok("areas " + shown("B,A,C", 3, 3)), shown("B,A,C", 3, 3));

    // C comes in late and loads both drawings so far.
    c.ok("choose A,B");
    EXPECT_EQ(c.ok("enter"), "C,A,B");
    c.draw("circle", "A 200 150 100 200");
    c.draw("point", "B 5 5");
    c.draw("line", "C 300 200 400 -30"); // ends outside, and keeps those coordinates
    b.draw("circle", "C 40 40 140 200");
    b.draw("fill", "C 90 120");
    expectSame("A", {&a, &b, &c});
    expectSame("B", {&a, &b, &c});
    expectSame("C", {&a, &b, &c});
    // C clears B's area: it is empty for everyone, and drawing goes on there.
    c.ok("clear B");
    b.draw("line", "B 0 0 160 120");
    expectSame("B", {&a, &b, &c});

    // Leaving closes the area wherever it is shown and lowers the counts.
    b.ok("logout");
    EXPECT_EQ(a.ok("areas A,C"), shown("A,C", 2, 2));
    EXPECT_EQ(c.ok("areas C,A"), shown("C,A", 2, 2));
    c.ok("logout");
    EXPECT_EQ(a.ok("areas A"), shown("A", 1, 1));
    expectSame("A", {&a});
    a.ok("logout");
    EXPECT_EQ(server.consoleLines(0, record.log.size()), record.log);
    EXPECT_EQ(server.lineCount(), record.log.size()) << "more than expected";
}

// The server is killed and started again, then two clients are stopped past
// its bound and dropped: each notices by itself, logs in again and brings its
// areas back; one finds its name taken and logs in under another, afresh.
TEST_F(EndToEnd, SessionsSurviveARestartAndADropAndQuitWithTheServerDead) {
    Client a("A", record), b("B", record);
    a.ok("login A");
    a.ok("enter");
    b.ok("login B");
    b.ok("choose A");
    b.ok("enter");
    a.ok("answer yes");
    a.draw("line", "B 10 10 200 100");
    b.draw("rect", "A 30 40 150 120");
    b.draw("fill", "A 70 55");
    a.draw("point", "A 250 30");
    b.draw("circle", "B 20 20 120 90");
    std::map<std::string, std::string> before;
    for (const char* owner : {"A", "B"})
        before[owner] = expectSame(owner, {&a, &b});

    server.signal(SIGKILL);
    server.waitExit(10000ms);
    kt::ServerProcess again({}, server.port());
    ASSERT_TRUE(again.waitStarted());
    record.server = &again;
    for (Client* c : {&a, &b})
        c->ok("session Connected again");
    for (const char* owner : {"A", "B"})
        EXPECT_EQ(expectSame(owner, {&a, &b}), before[owner]) << owner << " is not as before";
    a.ok("areas A,B");
    b.ok("areas B,A");

    // Drawing goes on; then A and C stop while B draws on for them.
    a.draw("rect", "A 5 5 60 60");
    Client c("C", record);
    const std::string offered = c.ok("login C"); // in the order they came back
    EXPECT_TRUE(offered == "3|A,B" || offered == "3|B,A") << offered;
    c.ok("choose B");
    c.ok("enter");
    a.ok("answer no");
    b.ok("answer no");
    before["A"] = expectSame("A", {&a, &b});
    a.signal(SIGSTOP);
    c.signal(SIGSTOP);
    b.draw("line", "B 0 100 300 100");
    std::this_thread::sleep_for(11s);
    b.draw("line", "B 0 120 300 120");
    for (const char* gone : {"Logout of Client: A", "Logout of Client: C"})
        EXPECT_TRUE(again.waitForLine(
            0, [&](const std::string& l) { return l == gone; }, 30000ms))
            << gone;
    Client d("D", record);
    EXPECT_EQ(d.ok("login C"), "2|B");
    d.ok("enter");
    b.ok("answer no");

    a.signal(SIGCONT);
    c.signal(SIGCONT);
    a.ok("session Connected again");
    b.ok("answer yes");
    d.ok("answer no");
    EXPECT_EQ(expectSame("A", {&a, &b}), before["A"]);
    expectSame("B", {&a, &b});
    // Under another name C starts afresh: its old areas stay closed.
    EXPECT_EQ(c.ok("dialog"), taken);
    EXPECT_TRUE(c.ok("login E").starts_with("4|"));
    c.ok("choose B");
    c.ok("enter");
    EXPECT_TRUE(c.ok("areas E,B").starts_with("E,B|"));
    c.draw("circle", "B 10 10 90 90");
    c.draw("line", "E 0 0 50 50");
    expectSame("B", {&b, &c});
    expectSame("E", {&c});
    for (Client* other : {&a, &b, &d})
        EXPECT_EQ(other->ok("answer no"), asked("E"));

    // Quitting needs no server.
    again.signal(SIGKILL);
    again.waitExit(10000ms);
    a.ok("logout");
}

} // namespace
