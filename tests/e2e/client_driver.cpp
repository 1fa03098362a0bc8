// kolvaro-client-driver: the real client program, driven by commands on stdin
// (one per user, by the end-to-end test and scripts/screenshot.sh). Each
// command answers one line, "OK <command>[ <detail>]", at once; whoever drives
// it asks again until the window has got where it should. Only login (once the
// attempt ended), send (once the text is on its way: the status shown) and sync
// (once the calls queued on the link are made) answer later.
//   login NAME (once the login dialog shows) | choose A,B | enter | dismiss (the login dialog)
//   sync | board [NAME]  the names a board chooser offers, or none; NAME is then chosen
//   do ACTION  the window's action, e.g. Logout1, Tile1 | tool KIND (point, line, ...)
//   drag OWNER X1 Y1 X2 Y2 | click OWNER X Y | place X Y W H | send RECIPIENT TEXT
//   answer yes|no|ok  presses it on a box shown: CAPTION|TEXT, or none
//   view OWNER  SHAPES|replay, each as "KIND X1 Y1 X2 Y2", or "not a replay"
//               when the surface is not what they draw afresh; none without the area
//   state       CAPTIONS|, then every connection status shown so far, '|' apart
#include "app/ClientApp.h"
#include "link/CorbaServerLink.h"
#include "widgets/AreaWindow.h"
#include "widgets/BoardChooser.h"
#include "widgets/LoginDialog.h"
#include "widgets/MainWindow.h"
#include "widgets/SafeApplication.h"
#include "widgets/SendMessageDialog.h"

#include <QtWidgets>

#include <iostream>
#include <thread>

using namespace kolvaro;

namespace {

void say(const QString& verb, const QString& detail = {}) {
    std::cout << "OK " << (detail.isEmpty() ? verb : verb + " " + detail).toStdString()
              << std::endl;
}

AreaWindow* area(MainWindow& win, const QString& owner) {
    for (AreaWindow* area : win.areas())
        if (QString::fromStdString(area->caption()) == owner)
            return area;
    return nullptr;
}

void run(kolvaro::ClientApp& app, const QString& line, const QStringList& statuses) {
    const QStringList w = line.split(' ', Qt::SkipEmptyParts);
    const QString verb = w.value(0);
    MainWindow& win = app.window();
    LoginDialog& login = app.login();
    if (verb == "login" && !login.isVisible()) // the network is still being asked
        return (void)QTimer::singleShot(20, &app,
                                        [&app, line, &statuses] { run(app, line, statuses); });
    if (verb == "board") {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* chooser = qobject_cast<BoardChooser*>(top); chooser && chooser->isVisible()) {
                QStringList names;
                for (int i = 0; i < chooser->Boards->count(); ++i)
                    names << chooser->Boards->item(i)->text();
                const auto picked =
                    chooser->Boards->findItems(line.section(' ', 1), Qt::MatchExactly);
                if (!picked.isEmpty()) {
                    chooser->Boards->setCurrentItem(picked.front());
                    QTimer::singleShot(0, chooser, &QDialog::accept);
                }
                return say("board", names.join('|'));
            }
        return say("board", "none");
    }
    if (verb == "login") {
        QObject::connect(
            &login, &LoginDialog::attemptFinished, &login, [] { say("login"); },
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
    if (verb == "do")
        QTimer::singleShot(0, win.findChild<QAction*>(w.value(1)), &QAction::trigger);
    if (verb == "tool")
        for (const ToolInfo& tool : toolTable)
            if (w.value(1) == kolvaro::kindName(tool.kind))
                win.toolAction(tool.kind)->trigger();
    if (verb == "place")
        win.setGeometry(w.value(1).toInt(), w.value(2).toInt(), w.value(3).toInt(),
                        w.value(4).toInt());
    if (verb == "sync")
        return app.link()->afterQueuedCalls([] { say("sync"); });
    if (verb == "drag" || verb == "click") {
        // Straight to the area: nothing else is handled in between.
        AreaWindow& on = *area(win, w.value(1));
        win.mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(on.parentWidget()));
        const QPoint from(w.value(2).toInt(), w.value(3).toInt());
        const QPoint to = verb == "drag" ? QPoint(w.value(4).toInt(), w.value(5).toInt()) : from;
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
    if (verb == "send") {
        // The second step runs in the dialog's own loop, the third once it is done.
        QTimer::singleShot(0, win.sendAction(), &QAction::trigger);
        QTimer::singleShot(0, &win, [&app, &win, to = w.value(1), text = line.section(' ', 2)] {
            app.sender().Txt->setText(text);
            app.sender().BoxClients->setEditText(to);
            app.sender().Send->click();
            QTimer::singleShot(
                0, &win, [&win] { say("send", win.findChild<QLabel*>("SendingLabel")->text()); });
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
        const AreaWindow* shown = area(win, w.value(1));
        if (!shown)
            return say("view", "none");
        Canvas fresh(shown->canvas().image().size());
        drawShapes(fresh, shown->history());
        QStringList shapes;
        for (const PaintRecord& s : shown->history())
            shapes << QString::asprintf("%s %d %d %d %d", kolvaro::kindName(s.kind), s.x1, s.y1,
                                        s.x2, s.y2);
        const bool same = fresh.image() == shown->canvas().image();
        return say("view", shapes.join(';') + (same ? "|replay" : "|not a replay"));
    }
    if (verb == "state") {
        QStringList captions;
        for (AreaWindow* area : win.areas())
            captions << QString::fromStdString(area->caption());
        return say("state", captions.join(',') + "|" + statuses.join('|'));
    }
    say(verb);
}

} // namespace

int main(int argc, char** argv) {
    kolvaro::SafeApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kolvaro"));
    kolvaro::ClientApp client(argc, argv);
    QStringList statuses;
    QObject::connect(&client, &kolvaro::ClientApp::sessionChanged,
                     [&statuses, last = QString()](const QString& text) mutable {
                         // What the user sees change: a text shown again is no news.
                         if (!text.isEmpty() && text != last)
                             statuses << text;
                         last = text;
                     });
    // Showing queues the login dialog: every command comes after it.
    client.show();
    std::thread([&] {
        for (std::string line; std::getline(std::cin, line);)
            QMetaObject::invokeMethod(
                &client, [&, line] { run(client, QString::fromStdString(line), statuses); });
    }).detach();
    const int status = QApplication::exec();
    client.shutdown();
    // The reader may still be waiting on stdin: end here, with what was written.
    std::fflush(stdout);
    std::_Exit(status);
}
