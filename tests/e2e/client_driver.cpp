// kolvaro-client-driver: the real client program, driven by commands on stdin.
//
// The end-to-end tests and scripts/screenshot.sh run one of these per user.
// Each command answers one line: "OK <command>[ <detail>]" or "ERR <command>
// <reason>"; fields of a detail are separated by '|'. "READY" comes first,
// once the login dialog is up; the end of input logs out.
//   login NAME         OK login COUNT|OFFERED,NAMES or OK login refused|BOX
//   choose A,B | enter (OK enter CAPTIONS) | dismiss (closes the login dialog)
//   logout | tool point|line|rect|circle|fill | place X Y W H | tile
//   drag OWNER X1 Y1 X2 Y2 | click OWNER X Y    OK once the server echoed it:
//                      OK drag KIND X1 Y1 X2 Y2
//   clear OWNER | sync  OK once the calls queued on the link are made
//   send RECIPIENT TEXT  OK send STATUS (the text that shows it on its way)
//   answer yes|no | ok | dialog    press on the newcomer box, a message, the
//                      login dialog back with a refusal: OK <cmd> CAPTION|TEXT
//   view OWNER N       with N shapes: OK view SHAPES|MD5|replay, or "|not a
//                      replay" when the surface differs from them drawn afresh
//   areas [STATE]      OK areas CAPTIONS|DISPLAYED|ALL|SENDING (waits for STATE)
//   session TEXT       the connection status has shown TEXT since last asked
//   hold               nothing runs until the next command, which then runs
//                      at once: what arrived meanwhile is handled after it
#include "Area.h"
#include "Canvas.h"
#include "ClientApp.h"
#include "Clientsender.h"
#include "CorbaServerLink.h"
#include "Loginclient.h"
#include "SafeApplication.h"
#include "Winpaint.h"

#include <QTest>
#include <QtWidgets>

#include <iostream>
#include <iterator>
#include <semaphore>
#include <sstream>
#include <thread>

namespace {

using Args = std::vector<std::string>;
using Poll = std::function<std::optional<std::string>()>;

Poll now(const std::string& detail = {}) {
    return [detail] { return std::optional(detail); };
}

std::string describe(const std::vector<PaintRecord>& shapes) {
    QStringList out;
    for (const PaintRecord& s : shapes)
        out << QString::asprintf("%d %d %d %d %d", int(s.kind), s.x1, s.y1, s.x2, s.y2);
    return out.join(';').toStdString();
}

// Presses `button` on the first visible box that `wanted` picks: CAPTION|TEXT.
std::optional<std::string> press(std::function<bool(QMessageBox&)> wanted,
                                 QMessageBox::StandardButton button) {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible() && wanted(*box)) {
            const std::string seen = (box->windowTitle() + "|" + box->text()).toStdString();
            box->button(button)->click();
            return seen;
        }
    return std::nullopt;
}

class Driver : public QObject {
public:
    explicit Driver(kolvaro::ClientApp& app) : app_(app), win_(app.window()) {
        connect(&timer_, &QTimer::timeout, this, &Driver::pump);
        timer_.start(15);
        connect(&app_.login(), &TCLogin::attemptFinished, this, [this] { ++loginAttempts_; });
        connect(&app_, &kolvaro::ClientApp::sessionChanged, this,
                [this](const QString& text) { sessionSeen_.push_back(text.toStdString()); });
        // A message can be read before the next poll: note the status as it shows.
        sending()->installEventFilter(this);
        start("READY");
    }

    // From the stdin thread.
    void take(const std::string& line) {
        if (holding_.exchange(false))
            heldLine_ = line, next_.release();
        else
            QMetaObject::invokeMethod(this, [this, line] { queue_.push_back(line), pump(); });
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show)
            lastSending_ = sending()->text().toStdString();
        return false;
    }

private:
    // Starts the queued commands in turn, each once the one before has answered.
    void pump() {
        if (std::exchange(busy_, true))
            return;
        while (pending_ || !queue_.empty()) {
            if (!pending_)
                start(queue_.front()), queue_.erase(queue_.begin());
            if (pending_ && !answer())
                break;
        }
        busy_ = false;
    }

    void start(std::string line) {
        std::istringstream in(line_ = line);
        Args w(std::istream_iterator<std::string>(in), {});
        if (w.empty())
            return;
        command_ = w[0];
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        try {
            if (Poll poll = w[0] == "READY" ? isUp() : (this->*commands().at(w[0]))(w))
                pending_ = std::move(poll);
        } catch (const std::exception& e) {
            say("ERR " + w[0] + " " + e.what());
        }
    }

    bool answer() {
        std::optional<std::string> line;
        try {
            if (const auto detail = pending_())
                line = command_ == "READY"
                           ? command_
                           : "OK " + command_ + (detail->empty() ? "" : " ") + *detail;
            else if (std::chrono::steady_clock::now() > deadline_)
                line = "ERR " + command_ + " timed out";
        } catch (const std::exception& e) {
            line = "ERR " + command_ + " " + e.what();
        }
        if (line)
            say(*line), pending_ = nullptr;
        return line.has_value();
    }

    static void say(const std::string& line) { std::cout << line << std::endl; }

    using Command = Poll (Driver::*)(const Args&);
    static const std::map<std::string, Command>& commands() {
        static const std::map<std::string, Command> table{
            {"login", &Driver::login},     {"choose", &Driver::choose}, {"enter", &Driver::enter},
            {"dismiss", &Driver::close},   {"logout", &Driver::close},  {"tool", &Driver::tool},
            {"drag", &Driver::gesture},    {"click", &Driver::gesture}, {"clear", &Driver::clear},
            {"sync", &Driver::sync},       {"place", &Driver::place},   {"tile", &Driver::tile},
            {"send", &Driver::send},       {"answer", &Driver::box},    {"ok", &Driver::box},
            {"dialog", &Driver::box},      {"view", &Driver::view},     {"areas", &Driver::areas},
            {"session", &Driver::session}, {"hold", &Driver::hold}};
        return table;
    }

    Poll isUp() {
        return [this] { return app_.login().isVisible() ? now()() : std::nullopt; };
    }

    // `then`, once every call queued on the link so far has been made.
    Poll afterLinkCalls(Poll then) {
        auto state = std::make_shared<int>(0); // 1: asked, 2: made
        return [this, state, then]() -> std::optional<std::string> {
            if (*state == 0 && app_.link())
                *state = 1, app_.link()->afterQueuedCalls([state] { *state = 2; });
            return *state == 2 ? then() : std::nullopt;
        };
    }

    TClientArea& area(const std::string& owner) {
        for (TClientArea* area : win_.areas())
            if (area->caption() == owner)
                return *area;
        throw std::runtime_error("no area " + owner);
    }

    std::string captions() const {
        std::string out;
        for (TClientArea* area : win_.areas())
            out += (out.empty() ? "" : ",") + area->caption();
        return out;
    }

    QLabel* sending() const { return win_.findChild<QLabel*>("SendingLabel"); }

    Poll login(const Args& w) {
        const int before = loginAttempts_;
        auto refusal = std::make_shared<std::optional<std::string>>();
        app_.login().Name->setText(QString::fromStdString(w.at(1)));
        app_.login().Registration->click();
        return [this, before, refusal]() -> std::optional<std::string> {
            // The refusal and failure boxes are modal; note and close them.
            if (!*refusal)
                *refusal = press([this](QMessageBox& b) { return b.parent() == &app_.login(); },
                                 QMessageBox::Ok);
            if (loginAttempts_ == before)
                return std::nullopt;
            QStringList names;
            for (int i = 0; i < app_.login().ClientsBox->count(); ++i)
                names << app_.login().ClientsBox->item(i)->text();
            return *refusal ? "refused|" + **refusal
                            : std::to_string(win_.allCount()) + "|" + names.join(',').toStdString();
        };
    }

    Poll choose(const Args& w) {
        for (const QString& name : QString::fromStdString(w.at(1)).split(','))
            for (QListWidgetItem* item : app_.login().ClientsBox->findItems(name, Qt::MatchExactly))
                item->setCheckState(Qt::Checked);
        return now(std::to_string(app_.login().checkedNames().size()));
    }

    Poll enter(const Args&) {
        const std::size_t expected = app_.login().checkedNames().size() + 1;
        // From the event loop: accepting ends the dialog's own loop.
        QTimer::singleShot(0, app_.login().Enter, &QPushButton::click);
        return afterLinkCalls([this, expected] {
            return win_.areas().size() < expected ? std::nullopt : std::optional(captions());
        });
    }

    // As the window manager's close button does on the login dialog, and as
    // the user logs out from the window.
    Poll close(const Args& w) {
        QTimer::singleShot(0, this, [this, dialog = w[0] == "dismiss"] {
            dialog ? void(app_.login().close()) : win_.findChild<QAction*>("Logout1")->trigger();
        });
        return now();
    }

    Poll tool(const Args& w) {
        const int tool = QStringList{"point", "line", "rect", "circle", "fill"}.indexOf(
            QString::fromStdString(w.at(1)));
        win_.toolAction(Tool(tool < 0 ? throw std::invalid_argument("no such tool") : tool))
            ->trigger();
        return now(win_.panelText(1).toStdString());
    }

    TClientArea& activate(const std::string& owner) {
        TClientArea& found = area(owner);
        win_.mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(found.parentWidget()));
        if (!held_)
            QApplication::processEvents();
        return found;
    }

    // To the window as the window system delivers it; when held, straight to
    // the area with no event processing in between.
    void mouse(QWidget& on, QTest::MouseAction action, QPoint at) {
        const auto button = action == QTest::MouseMove ? Qt::NoButton : Qt::LeftButton;
        if (!held_)
            return QTest::mouseEvent(action, on.window()->windowHandle(), button, {},
                                     on.mapTo(on.window(), at));
        const auto type = action == QTest::MouseMove    ? QEvent::MouseMove
                          : action == QTest::MousePress ? QEvent::MouseButtonPress
                                                        : QEvent::MouseButtonRelease;
        QMouseEvent event(type, at, on.mapToGlobal(QPointF(at)), button,
                          action == QTest::MousePress ? button : Qt::NoButton, {});
        QApplication::sendEvent(&on, &event);
    }

    Poll gesture(const Args& w) {
        const bool drag = w[0] == "drag";
        const Tool tool = win_.currentTool();
        if (drag != (tool == Tool::Line || tool == Tool::Rect || tool == Tool::Circle))
            throw std::runtime_error("not a tool to " + w[0] + " with");
        const QPoint from(std::stoi(w.at(2)), std::stoi(w.at(3)));
        const QPoint to = drag ? QPoint(std::stoi(w.at(4)), std::stoi(w.at(5))) : QPoint();
        TClientArea& on = activate(w.at(1));
        const std::size_t before = on.history().size();
        mouse(on, QTest::MouseMove, from);
        mouse(on, QTest::MousePress, from);
        for (QPoint via : drag ? std::vector{(from + to) / 2, to} : std::vector<QPoint>{})
            mouse(on, QTest::MouseMove, via);
        mouse(on, QTest::MouseRelease, drag ? to : from);
        const PaintRecord made{from.x(), from.y(), to.x(), to.y(), PaintKind(int(tool))};
        return [on = QPointer(&on), before, made]() -> std::optional<std::string> {
            if (!on)
                throw std::runtime_error("the area closed");
            const auto& history = on->history();
            if (history.size() <= before ||
                std::find(history.begin() + long(before), history.end(), made) == history.end())
                return std::nullopt;
            return describe({made});
        };
    }

    Poll clear(const Args& w) {
        activate(w.at(1));
        win_.clearAction()->trigger();
        return sync(w);
    }

    Poll sync(const Args&) { return afterLinkCalls(now()); }

    Poll place(const Args& w) {
        win_.move(std::stoi(w.at(1)), std::stoi(w.at(2)));
        win_.resize(std::stoi(w.at(3)), std::stoi(w.at(4)));
        return now();
    }

    Poll tile(const Args&) { return win_.Tile1Click(), now(); }

    Poll send(const Args& w) {
        const std::string text = line_.substr(std::min(line_.size(), 6 + w.at(1).size()));
        QTimer::singleShot(0, win_.sendAction(), &QAction::trigger);
        lastSending_.clear();
        auto filled = std::make_shared<bool>(false);
        return [this, to = QString::fromStdString(w[1]), text = QString::fromStdString(text),
                filled]() -> std::optional<std::string> {
            TCSender& sender = app_.sender();
            if (!*filled && sender.isVisible()) {
                sender.Txt->setText(text);
                sender.BoxClients->setEditText(to);
                sender.Send->click();
                *filled = true;
            }
            // Already showing an earlier message: no Show event this time.
            const std::string shown = lastSending_.empty() && sending()->isVisible()
                                          ? sending()->text().toStdString()
                                          : lastSending_;
            return !*filled || sender.isVisible() || shown.empty() ? std::nullopt
                                                                   : std::optional(shown);
        };
    }

    Poll box(const Args& w) {
        // The login dialog's refusal says "Error".
        const QString caption = w[0] == "ok"       ? "Message from: "
                                : w[0] == "dialog" ? "Error"
                                                   : "New login client...";
        const bool yes = w[0] == "answer" && w.at(1) == "yes";
        auto then = std::make_shared<Poll>();
        return [=, this]() -> std::optional<std::string> {
            if (!*then)
                if (auto seen =
                        press([&](QMessageBox& b) { return b.windowTitle().startsWith(caption); },
                              yes                ? QMessageBox::Yes
                              : w[0] == "answer" ? QMessageBox::No
                                                 : QMessageBox::Ok))
                    // After Yes the area opens and loads its drawing so far.
                    *then = yes && app_.link() ? afterLinkCalls(now(*seen)) : now(*seen);
            return *then ? (*then)() : std::nullopt;
        };
    }

    Poll view(const Args& w) {
        return [this, owner = w.at(1),
                count = std::stoul(w.at(2))]() -> std::optional<std::string> {
            const TClientArea& shown = area(owner);
            if (shown.history().size() != count)
                return std::nullopt;
            const QImage& image = shown.canvas().image();
            Canvas fresh(image.size());
            drawShapes(fresh, shown.history());
            const QByteArray md5 = QCryptographicHash::hash(
                QByteArrayView(image.constBits(), image.sizeInBytes()), QCryptographicHash::Md5);
            return describe(shown.history()) + "|" + md5.toHex().toStdString() +
                   (fresh.image() == image ? "|replay" : "|not a replay");
        };
    }

    Poll areas(const Args&) {
        return [this, expected = line_.substr(std::min(line_.size(), 6ul))] {
            const std::string state =
                QStringList{QString::fromStdString(captions()), win_.panelText(2),
                            win_.panelText(3),
                            sending()->isVisible() ? sending()->text() : QString()}
                    .join('|')
                    .toStdString();
            const bool met =
                expected.empty() || state == expected || state.starts_with(expected + "|");
            return met ? std::optional(state) : std::nullopt;
        };
    }

    Poll session(const Args&) {
        return [this, text = line_.substr(8)]() -> std::optional<std::string> {
            const auto seen = std::find(sessionSeen_.begin(), sessionSeen_.end(), text);
            if (seen == sessionSeen_.end())
                return std::nullopt;
            sessionSeen_.erase(sessionSeen_.begin(), seen + 1);
            return text;
        };
    }

    Poll hold(const Args&) {
        holding_ = true;
        say("OK hold");
        next_.acquire();
        held_ = true;
        start(heldLine_);
        held_ = false;
        return nullptr;
    }

    kolvaro::ClientApp& app_;
    TWinClient& win_;
    QTimer timer_;
    std::vector<std::string> queue_;
    std::string command_, line_, lastSending_, heldLine_;
    Poll pending_;
    std::chrono::steady_clock::time_point deadline_;
    std::vector<std::string> sessionSeen_;
    std::atomic<bool> holding_ = false;
    bool busy_ = false, held_ = false;
    std::binary_semaphore next_{0};
    int loginAttempts_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    kolvaro::SafeApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kolvaro"));
    kolvaro::ClientApp client(argc, argv);
    Driver driver(client);
    std::thread([&driver] {
        for (std::string line; std::getline(std::cin, line);)
            driver.take(line);
        driver.take("logout");
    }).detach();
    client.show();
    const int status = QApplication::exec();
    client.shutdown();
    // The reader may still be waiting on stdin: end here, with what was written.
    std::fflush(stdout);
    std::_Exit(status);
}
