// The whole system: a real kolvaro-server and real client programs, each
// driven through its windows by kolvaro-client-driver.
#include "Canvas.h"
#include "ServerProcess.h"
#include "Shape.h"

#include <QGuiApplication>
#include <QImage>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

namespace {

namespace kt = kolvaro::test;
using namespace std::chrono_literals;

// One client program, answering one line per command ("OK ..." or "ERR ...").
class ClientDriver : public kt::ChildProcess {
public:
    ClientDriver(std::string name, const kt::ServerProcess& server)
        : ChildProcess(KOLVARO_DRIVER_PATH, server.clientArgs()), name_(std::move(name)) {
        const auto ready = waitForLine(
            0, [](const std::string& l) { return l == "READY"; }, 60s);
        if (ready)
            cursor_ = *ready + 1;
        else
            ADD_FAILURE() << name_ << " did not start: " << errorText();
    }

    const std::string& name() const { return name_; }

    std::string call(const std::string& command) {
        send(command);
        const auto at = waitForLine(
            cursor_,
            [](const std::string& l) { return l.rfind("OK ", 0) == 0 || l.rfind("ERR ", 0) == 0; },
            90s);
        if (!at)
            return "TIMEOUT";
        cursor_ = *at + 1;
        return line(*at);
    }

    // The detail of an OK answer; any other answer fails the test.
    std::string ok(const std::string& command) {
        const std::string verb = command.substr(0, command.find(' '));
        const std::string answer = call(command);
        const std::string head = "OK " + verb;
        if (answer.rfind(head, 0) != 0) {
            ADD_FAILURE() << name_ << ": " << command << " -> " << answer;
            return {};
        }
        return answer.size() > head.size() ? answer.substr(head.size() + 1) : std::string();
    }

    // Waits until the area of `owner` holds `count` shapes, and returns them.
    std::vector<PaintRecord> history(const std::string& owner, std::size_t count) {
        const std::string detail = ok("history " + owner + " " + std::to_string(count));
        std::vector<PaintRecord> shapes;
        std::istringstream in(detail.substr(detail.find('|') + 1));
        for (std::string item; std::getline(in, item, ';');) {
            std::istringstream fields(item);
            int kind = 0;
            PaintRecord shape;
            fields >> kind >> shape.x1 >> shape.y1 >> shape.x2 >> shape.y2;
            shape.kind = PaintKind(kind);
            shapes.push_back(shape);
        }
        return shapes;
    }

    QImage surface(const std::string& owner, const std::filesystem::path& dir) {
        const auto path = dir / (name_ + "-shows-" + owner + ".png");
        ok("pixels " + owner + " " + path.string());
        return QImage(QString::fromStdString(path.string())).convertToFormat(QImage::Format_RGB32);
    }

    // Panel texts 0 to 3, then the text that shows a message on its way.
    std::vector<std::string> panels() {
        std::vector<std::string> texts;
        std::istringstream in(ok("panels"));
        for (std::string text; std::getline(in, text, '|');)
            texts.push_back(text);
        texts.resize(5);
        return texts;
    }

    void logOut() {
        ok("logout");
        EXPECT_EQ(waitExit(30000ms), std::optional<int>(0)) << name_ << ": " << errorText();
    }

private:
    std::string name_;
    std::size_t cursor_ = 0;
};

std::string lineLog(const std::string& owner, const char* what, const PaintRecord& s) {
    return "Client [" + owner + "] paint " + what + " from [" + std::to_string(s.x1) + "," +
           std::to_string(s.y1) + "] to [" + std::to_string(s.x2) + "," + std::to_string(s.y2) +
           "].";
}

std::string pointLog(const std::string& owner, const char* what, const PaintRecord& s) {
    return "Client [" + owner + "] paint " + what + " [" + std::to_string(s.x1) + "," +
           std::to_string(s.y1) + "].";
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("kolvaro-e2e-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        ASSERT_TRUE(server.waitStarted());
        expectedLog.push_back("Start server.");
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::unique_ptr<ClientDriver> start(const std::string& name) {
        return std::make_unique<ClientDriver>(name, server);
    }

    void logIn(ClientDriver& c, const std::string& offered) {
        const auto others = std::count(offered.begin(), offered.end(), ',') + 1;
        const auto count = offered.empty() ? 1 : others + 1;
        EXPECT_EQ(c.ok("login " + c.name()), std::to_string(count) + "|" + offered);
        expectedLog.push_back("Login of new Clinet: " + c.name());
    }

    // Opens the user's area and those of `chosen`, in that order.
    void enter(ClientDriver& c, const std::string& chosen) {
        if (!chosen.empty())
            c.ok("choose " + chosen);
        EXPECT_EQ(c.ok("enter"), c.name() + (chosen.empty() ? "" : "," + chosen));
        std::istringstream in(chosen);
        for (std::string owner; std::getline(in, owner, ',');)
            expectedLog.push_back("Client [" + c.name() + "] load [" + owner + "].");
    }

    void acceptNewcomer(ClientDriver& c, const std::string& newcomer) {
        EXPECT_EQ(c.ok("answer yes"),
                  "New login client...|New client [" + newcomer + "] login. Show this client ?");
        expectedLog.push_back("Client [" + c.name() + "] load [" + newcomer + "].");
    }

    // A, then B, each showing both areas.
    void showEachOther(ClientDriver& a, ClientDriver& b) {
        logIn(a, "");
        enter(a, "");
        logIn(b, "A");
        enter(b, "A");
        acceptNewcomer(a, "B");
    }

    void drag(ClientDriver& c, const char* tool, const std::string& owner, PaintRecord shape) {
        c.ok(std::string("tool ") + tool);
        std::ostringstream command;
        command << "drag " << owner << ' ' << shape.x1 << ' ' << shape.y1 << ' ' << shape.x2 << ' '
                << shape.y2;
        c.ok(command.str());
        history[owner].push_back(shape);
        const char* what = shape.kind == PaintKind::Line   ? "line"
                           : shape.kind == PaintKind::Rect ? "rectangle"
                                                           : "circle";
        expectedLog.push_back(lineLog(owner, what, shape));
    }

    void click(ClientDriver& c, PaintKind kind, const std::string& owner, int x, int y) {
        const bool point = kind == PaintKind::Point;
        c.ok(point ? "tool point" : "tool fill");
        c.ok("click " + owner + " " + std::to_string(x) + " " + std::to_string(y));
        const PaintRecord shape{x, y, 0, 0, kind};
        history[owner].push_back(shape);
        expectedLog.push_back(pointLog(owner, point ? "point" : "fill area", shape));
    }

    // Every display of the area shows the same history and, pixel for pixel,
    // the picture that history draws on a fresh surface.
    void expectSameEverywhere(const std::string& owner, const std::vector<ClientDriver*>& viewers) {
        SCOPED_TRACE("area " + owner);
        const std::vector<PaintRecord>& expected = history[owner];
        std::optional<QImage> first;
        for (ClientDriver* viewer : viewers) {
            SCOPED_TRACE("as shown to " + viewer->name());
            EXPECT_EQ(viewer->history(owner, expected.size()), expected);
            const QImage shown = viewer->surface(owner, dir);
            ASSERT_FALSE(shown.isNull());
            Canvas reference(shown.size());
            drawShapes(reference, expected);
            EXPECT_TRUE(shown == reference.image()) << "differs from a fresh replay";
            if (first)
                EXPECT_TRUE(shown == *first) << "differs from " << viewers.front()->name();
            else
                first = shown;
        }
    }

    // A message travels apart from the drawing: wait for its line, so that the
    // console's order is known.
    void logged(const std::string& line) {
        expectedLog.push_back(line);
        EXPECT_TRUE(server.waitForLine(
            expectedLog.size() - 1, [&](const std::string& l) { return l == line; }, 30000ms))
            << line;
    }

    void expectConsole() {
        const auto lines = server.consoleLines(0, expectedLog.size());
        EXPECT_EQ(lines, expectedLog);
        // Nothing beyond what was expected, either.
        EXPECT_EQ(server.lineCount(), expectedLog.size());
    }

    kt::ServerProcess server;
    std::filesystem::path dir;
    std::map<std::string, std::vector<PaintRecord>> history;
    std::vector<std::string> expectedLog;
};

TEST_F(EndToEnd, ThreeUsersDrawOnEachOthersAreasClearAndLeave) {
    auto a = start("A");
    auto b = start("B");
    auto c = start("C");

    logIn(*a, "");
    enter(*a, "");
    auto panels = a->panels();
    EXPECT_EQ(panels[2], "Count of displayed clients: 1");
    EXPECT_EQ(panels[3], "Count of all clients: 1");

    // A taken name is refused; the next press with a free one goes through.
    EXPECT_EQ(b->ok("login A"),
              "refused|Error|This Login Name already exist. Please enter other Name.");
    logIn(*b, "A");
    enter(*b, "A");
    acceptNewcomer(*a, "B");
    EXPECT_EQ(a->ok("areas"), "A,B");

    // Two users, every tool, on their own and on each other's areas.
    drag(*a, "line", "B", {10, 10, 200, 100, PaintKind::Line});
    drag(*a, "rect", "A", {30, 40, 150, 120, PaintKind::Rect});
    drag(*b, "circle", "A", {20, 20, 120, 90, PaintKind::Circ});
    click(*b, PaintKind::Fill, "A", 70, 55);
    click(*b, PaintKind::Point, "B", 250, 30);
    drag(*b, "rect", "B", {300, 200, 180, 130, PaintKind::Rect}); // corners reversed
    click(*a, PaintKind::Fill, "B", 240, 170);
    expectSameEverywhere("A", {a.get(), b.get()});
    expectSameEverywhere("B", {a.get(), b.get()});

    // A third user loads both drawings so far; B declines to show C.
    logIn(*c, "A,B");
    enter(*c, "A,B");
    acceptNewcomer(*a, "C");
    EXPECT_EQ(b->ok("answer no"), "New login client...|New client [C] login. Show this client ?");
    EXPECT_EQ(a->ok("areas"), "A,B,C");
    EXPECT_EQ(b->ok("areas"), "B,A");
    panels = a->panels();
    EXPECT_EQ(panels[2], "Count of displayed clients: 3");
    EXPECT_EQ(panels[3], "Count of all clients: 3");

    drag(*c, "circle", "A", {200, 150, 100, 200, PaintKind::Circ});
    click(*c, PaintKind::Point, "B", 5, 5);
    // A drag may end outside the area; the shape keeps those coordinates.
    drag(*c, "line", "C", {300, 200, 400, -30, PaintKind::Line});
    drag(*a, "circle", "C", {40, 40, 140, 200, PaintKind::Circ});
    click(*a, PaintKind::Fill, "C", 90, 120);
    expectSameEverywhere("A", {a.get(), b.get(), c.get()});
    expectSameEverywhere("B", {a.get(), b.get(), c.get()});
    expectSameEverywhere("C", {a.get(), c.get()});

    // C clears B's area: it is empty for everyone, and drawing goes on there.
    c->ok("clear B");
    history["B"].clear();
    expectedLog.push_back("Client [B] clear all.");
    drag(*b, "line", "B", {0, 0, 160, 120, PaintKind::Line});
    expectSameEverywhere("B", {a.get(), b.get(), c.get()});

    // Leaving closes the area wherever it is shown and lowers the counts.
    b->logOut();
    expectedLog.push_back("Logout of Client: B");
    EXPECT_EQ(a->ok("areas A,C"), "A,C");
    EXPECT_EQ(c->ok("areas C,A"), "C,A");
    panels = a->panels();
    EXPECT_EQ(panels[2], "Count of displayed clients: 2");
    EXPECT_EQ(panels[3], "Count of all clients: 2");
    c->logOut();
    expectedLog.push_back("Logout of Client: C");
    EXPECT_EQ(a->ok("areas A"), "A");
    panels = a->panels();
    EXPECT_EQ(panels[2], "Count of displayed clients: 1");
    EXPECT_EQ(panels[3], "Count of all clients: 1");
    expectSameEverywhere("A", {a.get()});
    a->logOut();
    expectedLog.push_back("Logout of Client: A");
    expectConsole();
}

TEST_F(EndToEnd, MessagesCrossWithoutHoldingUpEitherWindow) {
    auto a = start("A");
    auto b = start("B");
    showEachOther(*a, *b);

    // The sender's window goes on working while the recipient reads; the
    // recipient's areas go on following the drawing behind the open box.
    EXPECT_EQ(a->ok("send B hello from A"), "Message to B on its way...");
    logged("Send message from [A] to [B].");
    drag(*a, "line", "B", {10, 200, 300, 20, PaintKind::Line});
    click(*a, PaintKind::Fill, "A", 100, 100);
    expectSameEverywhere("A", {a.get(), b.get()});
    expectSameEverywhere("B", {a.get(), b.get()});
    EXPECT_EQ(a->panels()[4], "Message to B on its way...");
    EXPECT_EQ(b->ok("ok"), "Message from: A|Message: hello from A");
    a->ok("sent");
    EXPECT_EQ(a->panels()[4], "");

    // Two users who write to each other at the same moment both get their box.
    EXPECT_EQ(a->ok("send B one"), "Message to B on its way...");
    logged("Send message from [A] to [B].");
    EXPECT_EQ(b->ok("send A two"), "Message to A on its way...");
    logged("Send message from [B] to [A].");
    EXPECT_EQ(a->ok("ok"), "Message from: B|Message: two");
    EXPECT_EQ(b->ok("ok"), "Message from: A|Message: one");
    a->ok("sent");
    b->ok("sent");

    // A message to nobody known is dropped by the server without a word.
    EXPECT_EQ(a->ok("send Z again"), "Message to Z on its way...");
    logged("Send message from [A] to [Z].");
    a->ok("sent");

    a->logOut();
    expectedLog.push_back("Logout of Client: A");
    b->logOut();
    expectedLog.push_back("Logout of Client: B");
    expectConsole();
}

TEST_F(EndToEnd, AnswersAroundTheLoginDialogAndAFillOvertakenOnItsWay) {
    auto a = start("A");
    auto b = start("B");
    auto c = start("C");
    auto d = start("D");
    logIn(*a, "");
    enter(*a, "");
    logIn(*b, "A");
    // A Yes given before Enter is carried out at Enter.
    logIn(*c, "A,B");
    EXPECT_EQ(b->ok("answer yes"), "New login client...|New client [C] login. Show this client ?");
    logIn(*d, "A,B,C");
    EXPECT_EQ(b->ok("answer no"), "New login client...|New client [D] login. Show this client ?");
    for (int i = 0; i < 3; ++i)
        a->ok("answer no");
    // Closing the login dialog ends the program and logs out the name.
    d->ok("dismiss");
    EXPECT_EQ(d->waitExit(30000ms), std::optional<int>(0)) << d->errorText();
    expectedLog.push_back("Logout of Client: D");
    b->ok("choose A");
    EXPECT_EQ(b->ok("enter"), "B,A,C");
    expectedLog.push_back("Client [B] load [A].");
    expectedLog.push_back("Client [B] load [C].");
    const auto panels = b->panels();
    EXPECT_EQ(panels[2], "Count of displayed clients: 3");
    EXPECT_EQ(panels[3], "Count of all clients: 3");

    // B's rectangle is stored before A's fill but reaches A after A has shown it.
    click(*a, PaintKind::Point, "A", 5, 5);
    a->ok("tool fill");
    a->ok("hold");
    drag(*b, "rect", "A", {40, 40, 200, 160, PaintKind::Rect});
    a->ok("click A 100 100");
    const PaintRecord fill{100, 100, 0, 0, PaintKind::Fill};
    history["A"].push_back(fill);
    expectedLog.push_back(pointLog("A", "fill area", fill));
    expectSameEverywhere("A", {a.get(), b.get()});

    c->ok("dismiss");
    EXPECT_EQ(c->waitExit(30000ms), std::optional<int>(0)) << c->errorText();
    expectedLog.push_back("Logout of Client: C");
    EXPECT_EQ(b->ok("areas B,A"), "B,A");
    a->logOut();
    expectedLog.push_back("Logout of Client: A");
    b->logOut();
    expectedLog.push_back("Logout of Client: B");
    expectConsole();
}

// The server is killed and started again, then two clients are stopped past
// its bound and dropped: each client notices by itself, logs in again and
// brings its areas back; one finds its name taken and gets the dialog again.
TEST_F(EndToEnd, SessionsSurviveARestartAndADropAndQuitWithTheServerDead) {
    auto a = start("A");
    auto b = start("B");
    showEachOther(*a, *b);
    drag(*a, "line", "B", {10, 10, 200, 100, PaintKind::Line});
    drag(*b, "rect", "A", {30, 40, 150, 120, PaintKind::Rect});
    click(*b, PaintKind::Fill, "A", 70, 55);
    click(*a, PaintKind::Point, "A", 250, 30);
    drag(*b, "circle", "B", {20, 20, 120, 90, PaintKind::Circ});
    expectSameEverywhere("A", {a.get(), b.get()});
    expectSameEverywhere("B", {a.get(), b.get()});
    std::map<std::string, QImage> before;
    for (const char* owner : {"A", "B"})
        before[owner] = a->surface(owner, dir);

    server.signal(SIGKILL);
    server.waitExit(10000ms);
    auto again = std::make_unique<kt::ServerProcess>(std::vector<std::string>{}, server.port());
    ASSERT_TRUE(again->waitStarted());
    for (ClientDriver* c : {a.get(), b.get()})
        c->ok("session Connected again");
    expectSameEverywhere("A", {a.get(), b.get()});
    expectSameEverywhere("B", {a.get(), b.get()});
    for (const char* owner : {"A", "B"})
        EXPECT_TRUE(a->surface(owner, dir) == before[owner]) << owner << " differs from before";
    EXPECT_EQ(a->ok("areas"), "A,B");
    EXPECT_EQ(b->ok("areas"), "B,A");

    // Drawing goes on; then A and C stop while B draws on for them.
    drag(*a, "rect", "A", {5, 5, 60, 60, PaintKind::Rect});
    auto c = start("C");
    const std::string offered = c->ok("login C"); // in the order they came back
    EXPECT_TRUE(offered == "3|A,B" || offered == "3|B,A") << offered;
    c->ok("choose B");
    c->ok("enter");
    a->ok("answer no");
    b->ok("answer no");
    expectSameEverywhere("A", {a.get(), b.get()});
    before["A"] = a->surface("A", dir);
    a->signal(SIGSTOP);
    c->signal(SIGSTOP);
    drag(*b, "line", "B", {0, 100, 300, 100, PaintKind::Line});
    std::this_thread::sleep_for(11s);
    drag(*b, "line", "B", {0, 120, 300, 120, PaintKind::Line});
    for (const char* gone : {"Logout of Client: A", "Logout of Client: C"})
        EXPECT_TRUE(again->waitForLine(
            0, [&](const std::string& l) { return l == gone; }, 30000ms))
            << gone;
    auto d = start("D");
    EXPECT_EQ(d->ok("login C"), "2|B");
    d->ok("enter");
    b->ok("answer no");

    a->signal(SIGCONT);
    c->signal(SIGCONT);
    a->ok("session Connected again");
    b->ok("answer yes");
    expectSameEverywhere("A", {a.get(), b.get()});
    expectSameEverywhere("B", {a.get(), b.get()});
    EXPECT_TRUE(a->surface("A", dir) == before["A"]);
    EXPECT_EQ(c->ok("dialog"), "Error|This Login Name already exist. Please enter other Name.");

    // Quitting needs no server.
    again->signal(SIGKILL);
    again->waitExit(10000ms);
    a->ok("logout");
    EXPECT_EQ(a->waitExit(10000ms), std::optional<int>(0)) << a->errorText();
}

} // namespace

int main(int argc, char** argv) {
    // Reference pictures are drawn with Qt's raster painter.
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
