// kolvaro-client-driver: the real client program, driven by commands on stdin.
//
// The end-to-end tests and scripts/screenshot.sh run one of these per user.
// Each command answers one line, "OK <command>[ <detail>]", at once: whoever
// drives it asks again until the window has got where it should. Only these
// answer later: login, once the attempt ended (COUNT|OFFERED,NAMES); send, once
// the text is on its way (the status shown); sync, once the calls queued on
// the link are made. Fields are split by '|'.
//   login NAME | choose A,B | enter | dismiss (the login dialog) | sync
//   do ACTION [OWNER]  the window's action, e.g. Logout1, Tile1, Rectangle1, or
//                      Clearall1 on OWNER's area
//   drag OWNER X1 Y1 X2 Y2 | click OWNER X Y | place X Y W H | send RECIPIENT TEXT
//   answer yes|no|ok   presses it on a box shown: CAPTION|TEXT, or none
//   view OWNER         SHAPES|replay, or "not a replay" when the surface is
//                      not what the shapes draw afresh; none without the area
//   state              CAPTIONS|DISPLAYED|ALL|SENDING|SESSION, the last the
//                      connection statuses shown since last asked
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

#include <QtWidgets>

#include <iostream>
#include <semaphore>
#include <thread>

namespace {

void say(const QString& verb, const QString& detail = {}) {
    std::cout << "OK " << (detail.isEmpty() ? verb : verb + " " + detail).toStdString()
              << std::endl;
}

class Driver : public QObject {
public:
    explicit Driver(kolvaro::ClientApp& app) : app_(app), win_(app.window()) {
        connect(&app, &kolvaro::ClientApp::sessionChanged, this, [this](const QString& text) {
            // What the user sees change: a text shown again is no news.
            if (!text.isEmpty() && text != shownSession_)
                session_ << text;
            shownSession_ = text;
        });
    }

    // From the stdin thread.
    void take(const std::string& line) {
        if (holding_.exchange(false))
            held_ = line, next_.release();
        else
            QMetaObject::invokeMethod(this, [this, line] { run(QString::fromStdString(line)); });
    }

private:
    void run(const QString& line) {
        const QStringList w = line.split(' ', Qt::SkipEmptyParts);
        const QString verb = w.value(0);
        TCLogin& login = app_.login();
        QLabel* sending = win_.findChild<QLabel*>("SendingLabel");
        if (verb == "login") {
            connect(
                &login, &TCLogin::attemptFinished, this,
                [this, &login] {
                    QStringList names;
                    for (int i = 0; i < login.ClientsBox->count(); ++i)
                        names << login.ClientsBox->item(i)->text();
                    say("login", QString::number(win_.allCount()) + "|" + names.join(','));
                },
                Qt::SingleShotConnection);
            login.Name->setText(w.value(1));
            return login.Registration->click();
        }
        if (verb == "choose")
            for (const QString& name : w.value(1).split(','))
                for (QListWidgetItem* item : login.ClientsBox->findItems(name, Qt::MatchExactly))
                    item->setCheckState(Qt::Checked);
        if (verb == "enter") // from the event loop: accepting ends the dialog's own
            QTimer::singleShot(0, login.Enter, &QPushButton::click);
        if (verb == "dismiss") // as the window manager's close button
            QTimer::singleShot(0, &login, &QDialog::close);
        if (verb == "do") { // the window's action of that name, on OWNER's area if given
            if (w.size() > 2)
                area(w.value(2), true);
            QTimer::singleShot(0, win_.findChild<QAction*>(w.value(1)), &QAction::trigger);
        }
        if (verb == "drag" || verb == "click") {
            // Straight to the area: nothing else is handled in between.
            TClientArea& on = *area(w.value(1), true);
            const QPoint from(w.value(2).toInt(), w.value(3).toInt());
            const QPoint to =
                verb == "drag" ? QPoint(w.value(4).toInt(), w.value(5).toInt()) : from;
            const std::pair<QEvent::Type, QPoint> steps[] = {{QEvent::MouseMove, from},
                                                             {QEvent::MouseButtonPress, from},
                                                             {QEvent::MouseMove, to},
                                                             {QEvent::MouseButtonRelease, to}};
            for (auto [type, at] : steps) {
                const auto button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
                QMouseEvent event(type, at, on.mapToGlobal(QPointF(at)), button,
                                  type == QEvent::MouseButtonPress ? button : Qt::NoButton, {});
                QApplication::sendEvent(&on, &event);
            }
        }
        if (verb == "sync")
            return app_.link()->afterQueuedCalls([] { say("sync"); });
        if (verb == "place")
            win_.setGeometry(w.value(1).toInt(), w.value(2).toInt(), w.value(3).toInt(),
                             w.value(4).toInt());
        if (verb == "send") {
            // The second step runs in the dialog's own loop, the third once it is done.
            QTimer::singleShot(0, win_.sendAction(), &QAction::trigger);
            QTimer::singleShot(0, this, [=, this, text = line.section(' ', 2)] {
                app_.sender().Txt->setText(text);
                app_.sender().BoxClients->setEditText(w.value(1));
                app_.sender().Send->click();
                QTimer::singleShot(0, this, [sending] { say("send", sending->text()); });
            });
            return;
        }
        if (verb == "answer") {
            const auto button = w.value(1) == "yes"  ? QMessageBox::Yes
                                : w.value(1) == "no" ? QMessageBox::No
                                                     : QMessageBox::Ok;
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(top);
                    box && box->isVisible() && box->button(button)) {
                    const QString seen = box->windowTitle() + "|" + box->text();
                    box->button(button)->click();
                    return say("answer", seen);
                }
            return say("answer", "none");
        }
        if (verb == "view") {
            const TClientArea* shown = area(w.value(1));
            if (!shown)
                return say("view", "none");
            Canvas fresh(shown->canvas().image().size());
            drawShapes(fresh, shown->history());
            QStringList shapes;
            for (const PaintRecord& s : shown->history())
                shapes << QString::asprintf("%d %d %d %d %d", int(s.kind), s.x1, s.y1, s.x2, s.y2);
            return say("view", shapes.join(';') + (fresh.image() == shown->canvas().image()
                                                       ? "|replay"
                                                       : "|not a replay"));
        }
        if (verb == "state") {
            QStringList captions;
            for (TClientArea* area : win_.areas())
                captions << QString::fromStdString(area->caption());
            return say("state",
                       QStringList{captions.join(','), win_.panelText(2), win_.panelText(3),
                                   sending->isHidden() ? "" : sending->text(),
                                   std::exchange(session_, {}).join(',')}
                           .join('|'));
        }
        holding_ = verb == "hold";
        say(verb);
        if (verb == "hold")
            next_.acquire(), run(QString::fromStdString(held_));
    }

    TClientArea* area(const QString& owner, bool activate = false) {
        for (TClientArea* area : win_.areas())
            if (QString::fromStdString(area->caption()) == owner) {
                if (activate)
                    win_.mdiArea()->setActiveSubWindow(
                        qobject_cast<QMdiSubWindow*>(area->parentWidget()));
                return area;
            }
        return nullptr;
    }

    kolvaro::ClientApp& app_;
    TWinClient& win_;
    std::string held_;
    QStringList session_;
    QString shownSession_;
    std::atomic<bool> holding_ = false;
    std::binary_semaphore next_{0};
};

} // namespace

int main(int argc, char** argv) {
    kolvaro::SafeApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kolvaro"));
    kolvaro::ClientApp client(argc, argv);
    Driver driver(client);
    // Showing queues the login dialog: every command comes after it.
    client.show();
    std::thread([&driver] {
        for (std::string line; std::getline(std::cin, line);)
            driver.take(line);
        driver.take("do Logout1");
    }).detach();
    const int status = QApplication::exec();
    client.shutdown();
    // The reader may still be waiting on stdin: end here, with what was written.
    std::fflush(stdout);
    std::_Exit(status);
}
