// kolvaro-client-driver: the real client program, driven by commands on stdin.
//
// The end-to-end tests and scripts/screenshot.sh run one of these per user.
// Each command answers with one line on stdout: "OK <command>[ <detail>]" or
// "ERR <command> <reason>". Fields of a detail are separated by '|'.
//   login NAME            type NAME, press Registration; OK login COUNT|NAME,NAME...
//                         or OK login refused|CAPTION|TEXT
//   choose A,B            tick those names in the login dialog's list
//   enter                 press Enter; answers when the areas are open and loaded
//   tool point|line|rect|circle|fill
//   drag OWNER X1 Y1 X2 Y2
//   click OWNER X Y       mouse events on that area (its window activated first);
//                         both answer once the server's echo is in the history
//   clear OWNER           Clear all on that area
//   send RECIPIENT TEXT   through the send dialog; OK send STATUS-TEXT
//   sent                  waits until no message is on its way
//   answer yes|no         the newcomer question: OK answer CAPTION|TEXT
//   ok                    closes a received message: OK ok CAPTION|TEXT
//   history OWNER [N]     (waits for N shapes) OK history N|K X1 Y1 X2 Y2;...
//   pixels OWNER [PATH]   OK pixels WxH|MD5 of the surface; PATH gets a PNG
//   areas [A,B]           (waits for exactly those) OK areas A,B
//   panels                OK panels P0|P1|P2|P3|SENDING
//   hold                  OK hold, then nothing runs until the next command,
//                         which then runs at once (a click without event
//                         processing): what was queued meanwhile comes after it
//   dismiss               closes the login dialog
//   session TEXT          waits until the connection status has shown TEXT since
//                         the last session command
//   dialog                the login dialog back with a box: OK dialog CAPTION|TEXT
//   place X Y W H | tile | sync | logout
// "READY" comes first, once the login dialog is up. End of input logs out.

#include "Area.h"
#include "ClientApp.h"
#include "Clientsender.h"
#include "CorbaServerLink.h"
#include "Loginclient.h"
#include "SafeApplication.h"
#include "Winpaint.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Poll = std::function<std::optional<std::string>()>;

void say(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

std::string joined(const QStringList& list, const char* separator) {
    return list.join(QString::fromUtf8(separator)).toStdString();
}

QStringList namesOf(const std::string& commaList) {
    return QString::fromStdString(commaList).split(',', Qt::SkipEmptyParts);
}

int number(const std::string& text) {
    std::size_t used = 0;
    const int value = std::stoi(text, &used);
    if (used != text.size())
        throw std::invalid_argument("not a number: " + text);
    return value;
}

// The visible message box whose caption starts with `caption`, if any.
QMessageBox* visibleBox(const QString& caption) {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(top);
        if (box && box->isVisible() && box->windowTitle().startsWith(caption))
            return box;
    }
    return nullptr;
}

std::string boxText(const QMessageBox& box) {
    return box.windowTitle().toStdString() + "|" + box.text().toStdString();
}

// Mouse events on an area, given in the area's coordinates, delivered to its
// top-level window as the window system would: to the widget under the
// pointer, or to the one holding the mouse while a button is down.
class Mouse {
public:
    explicit Mouse(QWidget& area) : area_(area), window_(area.window()->windowHandle()) {
        if (!window_)
            throw std::runtime_error("the window is not shown");
    }
    void move(QPoint at) { QTest::mouseMove(window_, map(at)); }
    void press(QPoint at) { QTest::mousePress(window_, Qt::LeftButton, {}, map(at)); }
    void release(QPoint at) { QTest::mouseRelease(window_, Qt::LeftButton, {}, map(at)); }

private:
    QPoint map(QPoint at) const { return area_.mapTo(area_.window(), at); }
    QWidget& area_;
    QWindow* window_;
};

// Straight to the area, no event processing in between.
void clickAtOnce(QWidget& area, QPoint at) {
    const QPointF global = area.mapToGlobal(QPointF(at));
    QMouseEvent move(QEvent::MouseMove, at, global, Qt::NoButton, Qt::NoButton, {});
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, {});
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, {});
    for (QMouseEvent* event : {&move, &press, &release})
        QApplication::sendEvent(&area, event);
}

std::string describe(const PaintRecord& shape) {
    std::ostringstream out;
    out << int(shape.kind) << ' ' << shape.x1 << ' ' << shape.y1 << ' ' << shape.x2 << ' '
        << shape.y2;
    return out.str();
}

class Driver : public QObject {
public:
    explicit Driver(kolvaro::ClientApp& app) : app_(app), win_(app.window()) {
        connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start(15);
        connect(&app_.login(), &TCLogin::attemptFinished, this, [this] { ++loginAttempts_; });
        connect(&app_, &kolvaro::ClientApp::sessionChanged, this,
                [this](const QString& text) { sessionSeen_.push_back(text.toStdString()); });
        // A message can be read before the next poll: note the status as it shows.
        if (auto* label = win_.findChild<QLabel*>(QStringLiteral("SendingLabel")))
            label->installEventFilter(this);
        // READY once the login dialog is up.
        wait("READY", std::chrono::seconds(30), [this]() -> std::optional<std::string> {
            if (!app_.login().isVisible())
                return std::nullopt;
            return std::string();
        });
    }

    void enqueue(const std::string& line) {
        queue_.push_back(line);
        pump();
    }

    // From the stdin thread: true when a held window thread takes the line.
    bool handOver(const std::string& line) {
        std::lock_guard lock(holdMutex_);
        if (!holding_)
            return false;
        heldLine_ = line;
        holdDone_.notify_one();
        return true;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show)
            if (auto* label = qobject_cast<QLabel*>(watched))
                lastSending_ = label->text().toStdString();
        return false;
    }

private:
    struct Pending {
        std::string command;
        Poll poll;
        Clock::time_point deadline;
    };

    void pump() {
        while (!pending_ && !queue_.empty() && !busy_) {
            const std::string line = queue_.front();
            queue_.pop_front();
            busy_ = true;
            run(line);
            busy_ = false;
        }
    }

    void tick() {
        if (!pending_ || busy_)
            return;
        busy_ = true;
        std::optional<std::string> detail;
        std::string error;
        try {
            detail = pending_->poll();
        } catch (const std::exception& e) {
            error = e.what();
        }
        const std::string command = pending_->command;
        if (!error.empty()) {
            pending_.reset();
            say("ERR " + command + " " + error);
        } else if (detail) {
            pending_.reset();
            say(command == "READY" ? command
                                   : "OK " + command + (detail->empty() ? "" : " ") + *detail);
        } else if (Clock::now() > pending_->deadline) {
            pending_.reset();
            say("ERR " + command + " timed out");
        }
        busy_ = false;
        pump();
    }

    void wait(std::string command, Clock::duration limit, Poll poll) {
        pending_ = Pending{std::move(command), std::move(poll), Clock::now() + limit};
    }

    void done(const std::string& command, const std::string& detail = {}) {
        say("OK " + command + (detail.empty() ? "" : " " + detail));
    }

    void run(const std::string& line) {
        const std::vector<std::string> w = words(line);
        if (w.empty())
            return;
        try {
            dispatch(w, line);
        } catch (const std::exception& e) {
            say("ERR " + w[0] + " " + e.what());
        }
    }

    TClientArea& areaOf(const std::string& owner) {
        for (TClientArea* area : win_.areas())
            if (area->caption() == owner)
                return *area;
        throw std::runtime_error("no area " + owner);
    }

    TClientArea& activate(const std::string& owner) {
        TClientArea& area = areaOf(owner);
        win_.mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(area.parentWidget()));
        if (!held_)
            QApplication::processEvents();
        return area;
    }

    static constexpr auto standard = std::chrono::seconds(20);

    // Waits until `expected` is in the area's history past index `from`.
    void awaitEcho(const std::string& command, const std::string& owner, std::size_t from,
                   PaintRecord expected) {
        QPointer<TClientArea> area(&areaOf(owner));
        wait(command, standard, [area, from, expected]() -> std::optional<std::string> {
            if (!area)
                throw std::runtime_error("the area closed");
            const auto& history = area->history();
            for (std::size_t i = from; i < history.size(); ++i)
                if (history[i] == expected)
                    return describe(expected);
            return std::nullopt;
        });
    }

    // Waits until every call queued on the link so far has been made.
    Poll afterLinkCalls(Poll then) {
        auto flushed = std::make_shared<bool>(false);
        auto asked = std::make_shared<bool>(false);
        return [this, flushed, asked, then]() -> std::optional<std::string> {
            if (!app_.link())
                return std::nullopt;
            if (!*asked) {
                *asked = true;
                app_.link()->afterQueuedCalls([flushed] { *flushed = true; });
            }
            return *flushed ? then() : std::nullopt;
        };
    }

    std::string captions() const {
        QStringList names;
        for (TClientArea* area : win_.areas())
            names << QString::fromStdString(area->caption());
        return joined(names, ",");
    }

    void dispatch(const std::vector<std::string>& w, const std::string& line) {
        const std::string& cmd = w[0];
        auto need = [&](std::size_t n) {
            if (w.size() < n + 1)
                throw std::invalid_argument("needs " + std::to_string(n) + " arguments");
        };
        if (cmd == "login") {
            TCLogin& login = app_.login();
            login.Name->setText(w.size() > 1 ? QString::fromStdString(w[1]) : QString());
            const int before = loginAttempts_;
            auto refusal = std::make_shared<std::string>();
            login.Registration->click();
            wait(cmd, standard, [this, before, refusal]() -> std::optional<std::string> {
                // The refusal and failure boxes are modal; note and close them.
                if (QMessageBox* box = visibleBox(QString())) {
                    if (box->parentWidget() == &app_.login() && refusal->empty()) {
                        *refusal = boxText(*box);
                        box->button(QMessageBox::Ok)->click();
                    }
                }
                if (loginAttempts_ == before)
                    return std::nullopt;
                if (!refusal->empty())
                    return "refused|" + *refusal;
                QStringList names;
                for (int i = 0; i < app_.login().ClientsBox->count(); ++i)
                    names << app_.login().ClientsBox->item(i)->text();
                return std::to_string(win_.allCount()) + "|" + joined(names, ",");
            });
        } else if (cmd == "choose") {
            need(1);
            const QStringList wanted = namesOf(w[1]);
            QListWidget* box = app_.login().ClientsBox;
            for (const QString& name : wanted) {
                const auto found = box->findItems(name, Qt::MatchExactly);
                if (found.isEmpty())
                    throw std::runtime_error("not offered: " + name.toStdString());
                found.first()->setCheckState(Qt::Checked);
            }
            done(cmd);
        } else if (cmd == "enter") {
            if (!app_.login().Enter->isEnabled())
                throw std::runtime_error("Enter is disabled");
            const std::size_t expected = std::size_t(app_.login().checkedNames().size()) + 1;
            // Clicked from the event loop: accepting ends the dialog's own loop.
            QTimer::singleShot(0, app_.login().Enter, &QPushButton::click);
            wait(cmd, standard, afterLinkCalls([this, expected]() -> std::optional<std::string> {
                     if (win_.areas().size() < expected)
                         return std::nullopt;
                     return captions();
                 }));
        } else if (cmd == "tool") {
            need(1);
            static const std::map<std::string, Tool> tools{{"point", Tool::Point},
                                                           {"line", Tool::Line},
                                                           {"rect", Tool::Rect},
                                                           {"circle", Tool::Circle},
                                                           {"fill", Tool::Fill}};
            const auto tool = tools.find(w[1]);
            if (tool == tools.end())
                throw std::invalid_argument("no tool " + w[1]);
            win_.toolAction(tool->second)->trigger();
            done(cmd, win_.panelText(1).toStdString());
        } else if (cmd == "drag") {
            need(5);
            static const std::map<Tool, PaintKind> kinds{{Tool::Line, PaintKind::Line},
                                                         {Tool::Rect, PaintKind::Rect},
                                                         {Tool::Circle, PaintKind::Circ}};
            const auto kind = kinds.find(win_.currentTool());
            if (kind == kinds.end())
                throw std::runtime_error("the tool does not drag");
            const QPoint from(number(w[2]), number(w[3]));
            const QPoint to(number(w[4]), number(w[5]));
            TClientArea& area = activate(w[1]);
            const std::size_t before = area.history().size();
            Mouse mouse(area);
            mouse.move(from);
            mouse.press(from);
            mouse.move((from + to) / 2);
            mouse.move(to);
            mouse.release(to);
            awaitEcho(cmd, w[1], before, {from.x(), from.y(), to.x(), to.y(), kind->second});
        } else if (cmd == "click") {
            need(3);
            const Tool tool = win_.currentTool();
            if (tool != Tool::Point && tool != Tool::Fill)
                throw std::runtime_error("the tool does not click");
            const QPoint at(number(w[2]), number(w[3]));
            TClientArea& area = activate(w[1]);
            const std::size_t before = area.history().size();
            if (held_) {
                clickAtOnce(area, at);
            } else {
                Mouse mouse(area);
                mouse.move(at);
                mouse.press(at);
                mouse.release(at);
            }
            awaitEcho(
                cmd, w[1], before,
                {at.x(), at.y(), 0, 0, tool == Tool::Point ? PaintKind::Point : PaintKind::Fill});
        } else if (cmd == "clear") {
            need(1);
            activate(w[1]);
            win_.clearAction()->trigger();
            wait(cmd, standard, afterLinkCalls([] { return std::optional<std::string>(""); }));
        } else if (cmd == "send") {
            need(1);
            const QString recipient = QString::fromStdString(w[1]);
            const std::size_t at = line.find(w[1], line.find("send") + 4) + w[1].size();
            const QString text =
                QString::fromStdString(at < line.size() ? line.substr(at + 1) : "");
            QTimer::singleShot(0, win_.sendAction(), &QAction::trigger);
            auto filled = std::make_shared<bool>(false);
            lastSending_.clear();
            wait(cmd, standard, [this, recipient, text, filled]() -> std::optional<std::string> {
                TCSender& sender = app_.sender();
                if (!*filled) {
                    if (!sender.isVisible())
                        return std::nullopt;
                    sender.Txt->setText(text);
                    sender.BoxClients->setEditText(recipient);
                    sender.Send->click();
                    *filled = true;
                    return std::nullopt;
                }
                if (sender.isVisible())
                    return std::nullopt;
                // Already showing an earlier message: no Show event this time.
                if (lastSending_.empty())
                    lastSending_ = sendingText();
                if (lastSending_.empty())
                    return std::nullopt;
                return lastSending_;
            });
        } else if (cmd == "sent") {
            wait(cmd, std::chrono::seconds(60), [this]() -> std::optional<std::string> {
                if (!sendingText().empty())
                    return std::nullopt;
                return std::string();
            });
        } else if (cmd == "answer") {
            need(1);
            const bool yes = w[1] == "yes";
            auto asked = std::make_shared<std::string>();
            auto name = std::make_shared<std::string>();
            wait(cmd, standard, [this, yes, asked, name]() -> std::optional<std::string> {
                if (asked->empty()) {
                    QMessageBox* box = visibleBox(QStringLiteral("New login client..."));
                    if (!box)
                        return std::nullopt;
                    *asked = boxText(*box);
                    const QString text = box->text();
                    *name = text.section('[', 1).section(']', 0, 0).toStdString();
                    box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
                    if (!yes || !app_.link()) // before Enter nothing opens yet
                        return *asked;
                    // After Yes: the area opens and its drawing so far loads.
                    pendingPoll_ = afterLinkCalls([asked] { return std::optional(*asked); });
                    return std::nullopt;
                }
                return pendingPoll_();
            });
        } else if (cmd == "ok") {
            wait(cmd, standard, []() -> std::optional<std::string> {
                QMessageBox* box = visibleBox(QStringLiteral("Message from: "));
                if (!box)
                    return std::nullopt;
                const std::string seen = boxText(*box);
                box->button(QMessageBox::Ok)->click();
                return seen;
            });
        } else if (cmd == "history") {
            need(1);
            const std::string owner = w[1];
            const std::optional<std::size_t> count =
                w.size() > 2 ? std::optional(std::size_t(number(w[2]))) : std::nullopt;
            wait(cmd, standard, [this, owner, count]() -> std::optional<std::string> {
                const auto& history = areaOf(owner).history();
                if (count && history.size() != *count)
                    return std::nullopt;
                std::string out = std::to_string(history.size()) + "|";
                for (std::size_t i = 0; i < history.size(); ++i)
                    out += (i ? ";" : "") + describe(history[i]);
                return out;
            });
        } else if (cmd == "pixels") {
            need(1);
            const QImage& image = areaOf(w[1]).canvas().image();
            if (w.size() > 2 && !image.save(QString::fromStdString(w[2]), "PNG"))
                throw std::runtime_error("cannot write " + w[2]);
            QCryptographicHash hash(QCryptographicHash::Md5);
            for (int y = 0; y < image.height(); ++y)
                hash.addData(QByteArrayView(image.constScanLine(y), image.width() * 4));
            done(cmd, std::to_string(image.width()) + "x" + std::to_string(image.height()) + "|" +
                          hash.result().toHex().toStdString());
        } else if (cmd == "areas") {
            const std::optional<std::string> expected =
                w.size() > 1 ? std::optional(w[1]) : std::nullopt;
            wait(cmd, standard, [this, expected]() -> std::optional<std::string> {
                const std::string now = captions();
                if (expected && now != *expected)
                    return std::nullopt;
                return now;
            });
        } else if (cmd == "panels") {
            std::string out;
            for (int i = 0; i < 4; ++i)
                out += win_.panelText(i).toStdString() + "|";
            done(cmd, out + sendingText());
        } else if (cmd == "hold") {
            std::unique_lock lock(holdMutex_);
            holding_ = true;
            done(cmd);
            holdDone_.wait_for(lock, std::chrono::seconds(60),
                               [this] { return heldLine_.has_value(); });
            holding_ = false;
            const std::optional<std::string> next = std::exchange(heldLine_, std::nullopt);
            lock.unlock();
            if (next) {
                held_ = true;
                run(*next);
                held_ = false;
            }
        } else if (cmd == "dismiss") {
            done(cmd);
            // As the window manager's close button does.
            QTimer::singleShot(0, &app_.login(), [this] { app_.login().close(); });
        } else if (cmd == "session") {
            const std::string text = line.substr(line.find(' ') + 1);
            wait(cmd, std::chrono::seconds(60), [this, text]() -> std::optional<std::string> {
                const auto seen = std::find(sessionSeen_.begin(), sessionSeen_.end(), text);
                if (seen == sessionSeen_.end())
                    return std::nullopt;
                sessionSeen_.erase(sessionSeen_.begin(), seen + 1);
                return text;
            });
        } else if (cmd == "dialog") {
            wait(cmd, std::chrono::seconds(60), [this]() -> std::optional<std::string> {
                QMessageBox* box = visibleBox(QString());
                if (!box || box->parentWidget() != &app_.login() || !app_.login().isVisible())
                    return std::nullopt;
                const std::string seen = boxText(*box);
                box->button(QMessageBox::Ok)->click();
                return seen;
            });
        } else if (cmd == "place") {
            need(4);
            win_.move(number(w[1]), number(w[2]));
            win_.resize(number(w[3]), number(w[4]));
            done(cmd);
        } else if (cmd == "tile") {
            win_.Tile1Click();
            done(cmd);
        } else if (cmd == "sync") {
            wait(cmd, standard, afterLinkCalls([] { return std::optional<std::string>(""); }));
        } else if (cmd == "logout") {
            done(cmd);
            // Logout1, as the user would: the window closes and logs out.
            QTimer::singleShot(0, win_.findChild<QAction*>("Logout1"), &QAction::trigger);
        } else {
            throw std::invalid_argument("unknown command");
        }
    }

    std::string sendingText() const {
        auto* label = win_.findChild<QLabel*>(QStringLiteral("SendingLabel"));
        return label && label->isVisible() ? label->text().toStdString() : std::string();
    }

    kolvaro::ClientApp& app_;
    TWinClient& win_;
    QTimer timer_;
    std::deque<std::string> queue_;
    std::optional<Pending> pending_;
    Poll pendingPoll_;
    std::string lastSending_;
    std::vector<std::string> sessionSeen_;
    bool busy_ = false;
    int loginAttempts_ = 0;
    std::mutex holdMutex_;
    std::condition_variable holdDone_;
    bool holding_ = false;
    std::optional<std::string> heldLine_;
    bool held_ = false;
};

} // namespace

int main(int argc, char** argv) {
    kolvaro::SafeApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kolvaro"));
    kolvaro::ClientApp client(argc, argv);
    Driver driver(client);

    // Lines from stdin go to the window thread in order; the end of input
    // logs out like closing the window.
    std::thread reader([&driver] {
        for (std::string line; std::getline(std::cin, line);)
            if (!driver.handOver(line))
                QMetaObject::invokeMethod(
                    &driver, [&driver, line] { driver.enqueue(line); }, Qt::QueuedConnection);
        QMetaObject::invokeMethod(
            &driver, [&driver] { driver.enqueue("logout"); }, Qt::QueuedConnection);
    });
    reader.detach();

    client.show();
    const int status = QApplication::exec();
    client.shutdown();
    // The reader may still be waiting on stdin (holding its lock), with the
    // driver in its hands: end here, flushing only what was written.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}
