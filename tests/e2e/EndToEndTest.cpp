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
enum Kind { point, line, rect, circle, fill };

// Captions, count panels and the text of a message on its way, as "state" answers.
std::string shown(const std::string& captions, int displayed, int all, std::string sending = "") {
    return captions + "|Count of displayed clients: " + std::to_string(displayed) +
           "|Count of all clients: " + std::to_string(all) + "|" + sending;
}

// What the server should have logged and each area should hold so far.
kt::ServerProcess* server; // null once dead
std::vector<std::string> expectedLog{"Start server."};
std::size_t console = 1;                   // the server's lines met in order so far
std::map<std::string, std::string> shapes; // as "view" describes them

// Each step waits for its line, so that the order of the console is known.
void logged(const std::string& line) {
    expectedLog.push_back(line);
    const auto at = server && !::testing::Test::HasFailure()
                        ? server->waitForLine(
                              console, [&](const std::string& l) { return l == line; }, 30s)
                        : console;
    EXPECT_TRUE(at) << "the server did not log " << line;
    console = at ? *at + 1 : console;
}

// One client program; its steps note what the server should log and the
// areas hold.
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

    std::string login(const std::string& as) {
        const std::string offered = ok("login " + as);
        logged("Login of new Clinet: " + (name = as));
        return offered;
    }

    // With the areas of `captions`, own first; the others load in that order.
    void enter(const std::string& captions, const std::string& choose = "") {
        ok("choose " + choose);
        ok("enter");
        until("state", captions);
        std::istringstream owners(captions.substr(0, captions.find('|')));
        for (std::string owner; std::getline(owners, owner, ',');)
            if (owner != name)
                logged("Client [" + name + "] load [" + owner + "].");
        entered_ = true;
    }

    // Yes or no on the box about `newcomer`; once entered, a Yes loads its area.
    void answer(const std::string& button, const std::string& newcomer) {
        until("answer " + button,
              "New login client...|New client [" + newcomer + "] login. Show this client ?");
        if (button == "yes" && entered_)
            logged("Client [" + name + "] load [" + newcomer + "].");
    }

    void draw(Kind kind, const std::string& owner, int x1, int y1, int x2 = 0, int y2 = 0) {
        const char* tools[] = {"Point1", "Line1", "Rectangle1", "Circle1", "Fillarea1"};
        const char* kinds[] = {"point", "line", "rectangle", "circle", "fill area"};
        const bool click = kind == point || kind == fill;
        if (std::exchange(tool_, kind) != kind)
            ok(std::string("do ") + tools[kind]);
        auto two = [](int x, int y, const char* sep) {
            return std::to_string(x) + sep + std::to_string(y);
        };
        ok((click ? "click " : "drag ") + owner + " " + two(x1, y1, " ") +
           (click ? "" : " " + two(x2, y2, " ")));
        shapes[owner] += (shapes[owner].empty() ? "" : ";") + std::to_string(kind) + " " +
                         two(x1, y1, " ") + " " + two(x2, y2, " ");
        logged("Client [" + owner + "] paint " + kinds[kind] + (click ? "" : " from") + " [" +
               two(x1, y1, ",") + "]" + (click ? "" : " to [" + two(x2, y2, ",") + "]") + ".");
    }

    // A message travels apart from the drawing: its line comes at once.
    void write(const std::string& to, const std::string& text) {
        EXPECT_EQ(ok("send " + to + " " + text), "Message to " + to + " on its way...");
        logged("Send message from [" + name + "] to [" + to + "].");
    }

    // From the login dialog or the window: the program ends, at once and well.
    void leave(const std::string& how) {
        ok(how);
        logged("Logout of Client: " + name);
        EXPECT_EQ(waitExit(10000ms), std::optional<int>(0)) << name << ": " << errorText();
    }

    std::string name;

private:
    std::size_t cursor_ = 0;
    int tool_ = -1;
    bool entered_ = false;
};

// Four users: answers given around the login dialog, every tool on one's own
// and others' areas, messages, a fill overtaken on its way, clear and leave.
// Then the server is killed and started again, and two clients are stopped
// past its bound and dropped: each notices by itself, logs in again and brings
// its areas back; one finds its name taken and logs in under another, afresh.
TEST(EndToEnd, UsersDrawTalkAndLeaveAndOutliveTheServer) {
    kt::ServerProcess first;
    ASSERT_TRUE(first.waitStarted());
    server = &first;
    Client a, b, c, d;
    // Each viewer's surface is what the history so far draws on a fresh one.
    auto same = [](const std::string& owners, const std::vector<Client*>& viewers) {
        for (const char owner : owners)
            for (Client* viewer : viewers)
                viewer->until(std::string("view ") + owner, shapes[{owner}] + "|replay");
    };
    EXPECT_EQ(a.login("A"), "1|");
    a.enter("A");
    EXPECT_EQ(b.login("B"), "2|A");
    a.answer("yes", "B");
    // A Yes given before Enter is carried out at Enter; closing the login
    // dialog ends the program and logs the name out.
    EXPECT_EQ(c.login("C"), "3|A,B");
    b.answer("yes", "C");
    a.answer("yes", "C");
    EXPECT_EQ(d.login("D"), "4|A,B,C");
    for (Client* x : {&b, &a, &c})
        x->answer("no", "D");
    d.leave("dismiss");
    b.enter(shown("B,A,C", 3, 3), "A");

    a.draw(line, "B", 10, 10, 200, 100);
    a.draw(rect, "A", 30, 40, 150, 120);
    b.draw(circle, "A", 20, 20, 120, 90);
    b.draw(point, "B", 250, 30);
    b.draw(rect, "B", 300, 200, 180, 130); // corners reversed
    a.draw(fill, "B", 240, 170);
    // B's rectangle is stored before A's fill but reaches A after A has shown it.
    a.ok("hold");
    b.draw(rect, "A", 40, 40, 200, 160);
    a.draw(fill, "A", 100, 100);
    same("AB", {&a, &b});

    // The sender's window goes on working while the recipient reads, whose
    // areas go on following the drawing behind the open box; two who write to
    // each other at once both get theirs; one to nobody known is dropped by
    // the server without a word.
    a.write("B", "one");
    a.draw(line, "B", 10, 200, 300, 20);
    a.draw(fill, "A", 70, 55);
    same("AB", {&a, &b});
    a.until("state", shown("A,B,C", 3, 3, "Message to B on its way..."));
    b.write("A", "two");
    a.until("answer ok", "Message from: B|Message: two");
    b.until("answer ok", "Message from: A|Message: one");
    a.write("Z", "again");
    a.until("state", shown("A,B,C", 3, 3));
    b.until("state", shown("B,A,C", 3, 3));

    // C comes in late and loads both drawings so far, then clears B's area:
    // it is empty for everyone, and drawing goes on there.
    c.enter("C,A,B", "A,B");
    c.draw(circle, "A", 200, 150, 100, 200);
    c.draw(line, "C", 300, 200, 400, -30); // ends outside, and keeps those coordinates
    b.draw(fill, "C", 90, 120);
    same("ABC", {&a, &b, &c});
    c.ok("do Clearall1 B");
    shapes["B"].clear();
    logged("Client [B] clear all.");
    b.draw(line, "B", 0, 0, 160, 120);
    same("B", {&a, &b, &c});
    EXPECT_EQ(first.consoleLines(0, expectedLog.size()), expectedLog);
    EXPECT_EQ(first.lineCount(), expectedLog.size()) << "more than expected";

    first.signal(SIGKILL);
    first.waitExit(10000ms);
    kt::ServerProcess again({}, first.port());
    ASSERT_TRUE(again.waitStarted());
    server = &again, console = 1;
    for (Client* x : {&a, &b, &c})
        x->until("state", "Connected again");
    same("ABC", {&a, &b, &c});

    // Drawing goes on; then A and C stop while B draws on for them. Their
    // areas close and the counts go down as they are dropped.
    a.draw(rect, "A", 5, 5, 60, 60);
    a.signal(SIGSTOP);
    c.signal(SIGSTOP);
    b.draw(line, "B", 0, 100, 300, 100);
    std::this_thread::sleep_for(11s);
    EXPECT_TRUE(b.ok("state").ends_with("|")) << "B's session status changed for nothing";
    b.draw(line, "B", 0, 120, 300, 120);
    b.until("state", "B|Count of displayed clients: 1");
    Client d2;
    EXPECT_EQ(d2.login("C"), "2|B");
    d2.enter("C");
    b.answer("no", "C");
    a.signal(SIGCONT);
    c.signal(SIGCONT);
    a.until("state", "Connected again");
    b.answer("yes", "A");
    d2.answer("no", "A");
    same("AB", {&a, &b});
    // Under another name C starts afresh: its old areas stay closed.
    c.until("answer ok", taken);
    EXPECT_TRUE(c.login("E").starts_with("4|"));
    c.enter("E,B", "B");
    c.draw(circle, "B", 10, 10, 90, 90);
    c.draw(line, "E", 0, 0, 50, 50);
    same("B", {&b, &c});
    same("E", {&c});
    for (Client* other : {&a, &b, &d2})
        other->answer("no", "E");

    // Quitting needs no server.
    again.signal(SIGKILL);
    again.waitExit(10000ms);
    server = nullptr;
    a.leave("do Logout1");
}

} // namespace
