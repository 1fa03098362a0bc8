// The drawing surface, an area, the main window and the dialogs, with a link
// that records calls instead of an ORB.
#include "link/ClientCallback.h"
#include "surface/ServerLink.h"
#include "widgets/AboutDialog.h"
#include "widgets/AreaWindow.h"
#include "widgets/JpegImage.h"
#include "widgets/LoginDialog.h"
#include "widgets/MainWindow.h"
#include "widgets/SendMessageDialog.h"

#include <QPrinter>
#include <malloc.h>
#include <QTest>
#include <QtWidgets>

using namespace std::chrono_literals;
using namespace kolvaro;
using K = PaintKind;
using Lines = std::vector<std::string>;
using Shapes = std::vector<PaintRecord>;
using S = const std::string&;

namespace {

const QRgb white = qRgb(255, 255, 255), blue = qRgb(0, 0, 255), black = qRgb(0, 0, 0);

// The server, recording the calls it gets, and the window that holds the lone area.
struct Fakes : ServerLink, AreaHost {
    Lines calls;
    PaintKind tool = PaintKind::Point;
    QPoint position;
    template <typename... N> void note(std::string line, S last, N... n) {
        ((line += " " + std::to_string(n)), ...);
        calls.push_back(line + " " + last);
    }
    void paint(const PaintRecord& r, S o) override {
        hasSecondCorner(r.kind) ? note(operationName(r.kind), o, r.x1, r.y1, r.x2, r.y2)
                                : note(operationName(r.kind), o, r.x1, r.y1);
    }
    void clearAll(S o) override { note("clearAll", o); }
    void loadArea(S name, S o) override { note("loadArea " + name, o); }
    void logout(S name) override { note("logout", name); }
    void resend(const PaintRecord&, S) override {}
    void sendTxt(S, S, S, Done) override {}
    PaintKind currentTool() const override { return tool; }
    void showPosition(int x, int y) override { position = {x, y}; }
    std::string activeAreaName() const override { return "A"; }
    void areaClosed(AreaWindow&) override {}
};

QImage picture(QSize size, const Shapes& shapes) {
    Canvas canvas(size);
    drawShapes(canvas, shapes);
    return canvas.image();
}

// The box around what is not white, and how many pixels are `colour`.
std::pair<QRect, int> scan(const QImage& image, QRgb colour) {
    std::pair<QRect, int> found;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            found.first |= image.pixel(x, y) != white ? QRect(x, y, 1, 1) : QRect();
            found.second += image.pixel(x, y) == colour;
        }
    return found;
}

// The boxes or dialogs of `type` that `parent` shows.
template <typename Box = QMessageBox>
QList<Box*> boxes(const QWidget& parent, const char* type = "QDialog") {
    QList<Box*> shown = parent.findChildren<Box*>();
    shown.removeIf([type](Box* box) { return !box->isVisible() || !box->inherits(type); });
    return shown;
}

Lines captions(const MainWindow& win) {
    Lines names;
    for (AreaWindow* area : win.areas())
        names.push_back(area->caption());
    return names;
}

// Answers the next modal box with OK once it shows, keeping its text.
void answerNextBox(QString* text) {
    QTimer::singleShot(10, [text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        box ? (*text = box->text(), box->button(QMessageBox::Ok)->click()) : answerNextBox(text);
    });
}

struct WatchedWindow : MainWindow {
    using MainWindow::MainWindow;
    int alerts = 0;
    void requestAttention(QWidget*) override { ++alerts; }
};

struct FakeRegistrar : Registrar {
    std::function<void(LoginOutcome)> pending;
    void registerName(const QString&, std::function<void(LoginOutcome)> done) override {
        pending = std::move(done);
    }
};

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

    Fakes fake;
    std::unique_ptr<AreaWindow> area;
    std::unique_ptr<WatchedWindow> win;

    QImage surface() const { return area->canvas().image(); }
    // Presses at `from`, moves through `path`, releases `button` elsewhere, then the left one.
    void stroke(PaintKind tool, QPoint from, QList<QPoint> path,
                Qt::MouseButton end = Qt::LeftButton) {
        fake.tool = tool, fake.calls.clear();
        QTest::mousePress(area.get(), Qt::LeftButton, {}, from);
        for (QPoint at : path)
            QTest::mouseMove(area.get(), at);
        QTest::mouseRelease(area.get(), end, {}, {7, 7});
        QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {7, 7});
    }
    void click(QPoint at) {
        QTest::mouseMove(area.get(), at);
        QTest::mouseClick(area.get(), Qt::LeftButton, {}, at);
    }
    // Callbacks arrive on ORB threads; the window thread does no event work meanwhile.
    static void fromOrb(std::function<void()> calls) { std::thread(std::move(calls)).join(); }
    ClientCallback& servant() { return static_cast<ClientCallback&>(*win->servant()); }
    static bool activate(QWidget* w) { return w->activateWindow(), QTest::qWaitForWindowActive(w); }

private slots:
    void init() {
        fake.tool = PaintKind::Point, fake.position = {};
        area = std::make_unique<AreaWindow>(fake, fake);
        area->resize(200, 150), area->show();
        win = std::make_unique<WatchedWindow>(&fake);
        win->adoptServant(new ClientCallback(*win)), win->show();
        QVERIFY(QTest::qWaitForWindowExposed(win.get()));
        fake.calls.clear();
    }

    void surfaceDrawsFiguresFillsAndBatchesAlike() {
        for (K kind : {K::Rect, K::Circ}) { // corners in any order
            const QImage one = picture({200, 120}, {{110, 60, 10, 10, kind}});
            QCOMPARE(one, picture({200, 120}, {{10, 10, 110, 60, kind}}));
            QCOMPARE(scan(one, blue).first, QRect(10, 10, 100, 50));
            auto in = picture({160, 120}, {{20, 20, 140, 100, kind}, {80, 60, 0, 0, K::Fill}});
            QCOMPARE(scan(in, black).first, QRect(20, 20, 120, 80));
            QVERIFY(kind != K::Rect || scan(in, black).second == 116 * 76); // no pockets left
        }
        // Two pixels thick, the end point left out; a point is a dot where it is.
        QCOMPARE(scan(picture({40, 20}, {{5, 10, 25, 10, K::Line}}), blue),
                 std::pair(QRect(5, 9, 20, 2), 40));
        QCOMPARE(scan(picture({20, 20}, {{7, 7, 0, 0, K::Point}}), blue),
                 std::pair(QRect(6, 6, 2, 2), 3));
        QCOMPARE(Canvas::fromRgb(qRgb(0x12, 0x34, 0x56)), Canvas::Colour(0x563412));
        // On the outline or off the surface a fill changes nothing; a second fill
        // of the same region ends; the rest fills up to the surface's edges.
        Shapes fills{{10, 10, 30, 30, K::Rect}};
        const QImage outlined = picture({50, 40}, fills);
        for (QPoint at : {QPoint(10, 10), QPoint(-1, 5), QPoint(50, 5)})
            fills.push_back({at.x(), at.y(), 0, 0, K::Fill});
        QCOMPARE(picture({50, 40}, fills), outlined);
        fills.insert(fills.end(),
                     {{20, 20, 0, 0, K::Fill}, {20, 20, 0, 0, K::Fill}, {0, 0, 0, 0, K::Fill}});
        QCOMPARE(scan(picture({50, 40}, fills), black).second,
                 50 * 40 - scan(outlined, blue).second);
        // Comb-shaped walls: runs spill past their parents on both sides.
        for (int seedX : {1, 59}) {
            Shapes comb;
            for (int x = 4; x < 60; x += 8)
                comb.push_back({x, (x / 8) % 2 ? 6 : 0, x, (x / 8) % 2 ? 41 : 35, K::Line});
            const int open = scan(picture({61, 41}, comb), white).second;
            comb.push_back({seedX, 1, 0, 0, K::Fill});
            QCOMPARE(scan(picture({61, 41}, comb), black).second, open);
        }
        // A surface reset inside a batch paints on the new one; relayed areas
        // (drawn shape by shape) are compared with batched pictures below.
        Canvas batched({40, 30});
        {
            Canvas::Batch batch(batched);
            drawShape(batched, {0, 0, 40, 30, K::Line});
            batched.reset({50, 40});
            drawShapes(batched, fills);
        }
        QCOMPARE(batched.image(), picture({50, 40}, fills));
    }

    void dragShowsItsBandSendsPressToLastMoveAndWaitsForTheEcho() {
        const PaintRecord cross{0, 30, 200, 30, K::Line}; // the band is XOR over blue too
        for (auto [tool, kind, call, x2] :
             {std::tuple(PaintKind::Line, K::Line, "PaintLine", 50),
              std::tuple(PaintKind::Rect, K::Rect, "PaintRect", 50),
              std::tuple(PaintKind::Circ, K::Circ, "PaintCirc", 13)}) {
            init();
            area->drawRelayed(cross);
            // Outside the area and back; each move erases the last band.
            stroke(tool, {10, 20}, {{120, 90}, {-20, 140}, {x2, 60}});
            QCOMPARE(fake.calls, Lines{call + (" 10 20 " + std::to_string(x2)) + " 60 A"});
            QCOMPARE(fake.position, QPoint(x2, 60));
            QVERIFY(surface() != picture(area->size(), {cross})); // the band
            QCOMPARE(area->history(), Shapes{cross}); // only the server's echo is history
            area->drawRelayed({10, 20, x2, 60, kind});
            QCOMPARE(surface(), picture(area->size(), {cross, {10, 20, x2, 60, kind}}));
        }
        // Any release ends the drag; only the left button starts one.
        stroke(PaintKind::Line, {5, 6}, {{70, 80}}, Qt::RightButton);
        const QImage after = surface();
        QTest::mouseMove(area.get(), {100, 20});
        QTest::mousePress(area.get(), Qt::RightButton, {}, {10, 10});
        QTest::mouseMove(area.get(), {40, 40});
        QTest::mouseRelease(area.get(), Qt::RightButton, {}, {40, 40});
        QCOMPARE(surface(), after);
        QCOMPARE(fake.calls, Lines{"PaintLine 5 6 70 80 A"});
    }

    void ownMarksShowAtOnceAndEndInTheServersOrder() {
        click({15, 25});
        fake.tool = PaintKind::Fill;
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {80, 70});
        QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {-5, 10}); // released outside
        click({80, 70});
        QCOMPARE(fake.calls, (Lines{"PaintPoint 15 25 A", "PaintFill 80 70 A"}));
        QCOMPARE(surface().pixel(100, 100), black);
        stroke(PaintKind::Line, {10, 20}, {{190, 20}});
        // A box stored before the fill and the line overtakes them on its way.
        const Shapes all{{15, 25, 0, 0, K::Point},     {40, 40, 120, 100, K::Rect},
                         {80, 70, 0, 0, K::Fill},      {10, 20, 190, 20, K::Line},
                         {200, 40, 300, 140, K::Rect}, {250, 90, 0, 0, K::Fill}};
        const Shapes stored(all.begin(), all.begin() + 4);
        for (const PaintRecord& shape : stored)
            area->drawRelayed(shape);
        QCOMPARE(surface(), picture(area->size(), stored));
        // A resize redraws the history only: not a dot awaiting its echo, nor a band.
        stroke(PaintKind::Point, {190, 5}, {{190, 5}});
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {5, 5});
        area->resize(320, 160);
        QCOMPARE(surface().size(), QSize(200, 150)); // shown until the redraw comes
        QCOMPARE(area->picture(), picture({320, 160}, stored));
        QTRY_COMPARE(surface(), picture({320, 160}, stored));
        // A fill clicked inside a box still on its way must not leak out of it.
        QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {-5, 5}); // outside: no click
        stroke(PaintKind::Rect, {200, 40}, {{300, 140}});
        fake.tool = PaintKind::Fill;
        click({250, 90});
        area->drawRelayed(all[4]), area->drawRelayed(all[5]);
        QCOMPARE(surface(), picture({320, 160}, all));
        // Resizes in a row, shapes arriving meanwhile: in the end exactly a
        // fresh drawing at the last size. A clear brings nothing back.
        Shapes many = all;
        for (int i = 0, x = 0, y = 0; many.size() < 4000; ++i, x = i * 7 % 400, y = i * 13 % 250)
            many.push_back({x, y, x + i % 9, y + i % 7, K(i % 5)});
        for (std::size_t i = all.size(); i < many.size(); ++i) {
            if (i == 2000 || i == 3900) // more shapes than the window draws at once, then fewer
                area->resize(400, 300), area->resize(150, 100), area->resize(int(i) / 10, 220);
            area->drawRelayed(many[i]);
            if (i == 3000)
                QTRY_COMPARE(surface(), picture({200, 220}, Shapes(&many[0], &many[i + 1])));
        }
        QTRY_COMPARE(surface(), picture({390, 220}, many));
        area->resize(380, 230), area->clearSurface(), area->clearShapes(),
            area->drawRelayed(all[1]);
        QTest::qWait(100);
        QCOMPARE(surface(), picture({380, 230}, {all[1]}));
    }

    void commandsRunByMenuAndKeyOnTheActiveArea() {
        int sends = 0;
        win->setHooks({{}, [&] { ++sends; }, {}, {}});
        win->loginAnswered("A", 2), win->startWork({"B"});
        AreaWindow* b = win->areas()[1];
        for (PaintRecord s : Shapes{{0, 0, 0, 0, K::Fill}, {9, 9, 99, 70, K::Rect}})
            b->drawRelayed(s); // black, a blue box on it
        QVERIFY(activate(win.get()));
        for (const ToolInfo& entry : toolTable) { // a plain key, shown in the tooltip
            QTest::keyClick(win.get(), entry.key[0]);
            QVERIFY(
                win->currentTool() == entry.kind &&
                win->toolAction(entry.kind)->toolTip().endsWith(QString(" (%1)").arg(entry.key)));
        }
        // Worked from the keyboard after Alt, the menu bar takes its own letters,
        // and the Send command runs at its letter every time.
        for (int i = 0; i < 2; ++i) {
            QTest::keyClick(win.get(), Qt::Key_Alt);
            QTest::keyClick(QApplication::focusWidget(), 'r');
            QTest::keyClick(QApplication::focusWidget(), 's');
        }
        QTest::keyClick(win.get(), Qt::Key_S, Qt::AltModifier);
        QTRY_COMPARE(sends, 3);
        QCOMPARE(win->currentTool(), PaintKind::Fill);
        QTest::keyClick(win.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32),
                 b->picture());
        for (auto [key, dialog] :
             {std::pair(Qt::Key_P, "QPrintDialog"), {Qt::Key_S, "QFileDialog"}}) {
            QTest::keyClick(win.get(), key, Qt::ControlModifier);
            const QList<QDialog*> open = boxes<QDialog>(*win, dialog);
            QCOMPARE(open.size(), qsizetype(1));
            open[0]->reject();
        }
        // Printed to a PDF: one page, the picture as large as fits, its shape kept.
        QTemporaryDir dir;
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFileName(dir.filePath("area.pdf"));
        QVERIFY(win->printArea(*b, printer));
        QProcess::execute("pdftoppm",
                          {"-r", "60", "-png", printer.outputFileName(), dir.filePath("p")});
        QCOMPARE(QDir(dir.path()).entryList({"p*"}), QStringList{"p-1.png"});
        const QImage page = QImage(dir.filePath("p-1.png")).convertToFormat(QImage::Format_RGB32);
        const QRect inked = scan(page, 0).first;
        const QSizeF room = printer.pageLayout().paintRect(QPageLayout::Inch).size() * 60;
        const QSize gap = inked.size() - b->size().scaled(room.toSize(), Qt::KeepAspectRatio);
        QVERIFY(qAbs(gap.width()) + qAbs(gap.height()) < 3);
        const QImage got = page.copy(inked), want = b->picture().scaled(inked.size());
        int off = 0;
        for (int i = 0, w = got.width(); i < w * got.height(); ++i)
            off += qAbs(qBlue(got.pixel(i % w, i / w)) - qBlue(want.pixel(i % w, i / w))) > 100;
        QVERIFY(off * 50 < got.width() * got.height());
        // The Send dialog opens on its window and offers the other areas sorted:
        // case does not decide the order; only an exact match is the own name.
        SendMessageDialog send(win.get());
        win->move(0, 0); // a screen of 800 pixels has room for it
        send.prepare({"carl", "Me", "Bob", "me", "alice"}, "Me"), send.show();
        QVERIFY(QTest::qWaitForWindowActive(&send));
        QVERIFY((send.geometry().center() - win->geometry().center()).manhattanLength() < 4);
        QStringList listed;
        for (int i = 0; i < send.BoxClients->count(); ++i)
            listed << send.BoxClients->itemText(i);
        QCOMPARE(listed, (QStringList{"alice", "Bob", "carl", "me"}));
        QCOMPARE(send.recipient(), QString("carl")); // the first in child order
        QTest::keyClicks(send.Txt, "plrc");          // typing there is no command
        QVERIFY(send.text() == "plrc" && win->currentTool() == PaintKind::Fill);
        send.BoxClients->lineEdit()->selectAll();
        QTest::keyClicks(send.BoxClients->lineEdit(), "Zed");
        QTest::keyClick(send.BoxClients->lineEdit(), Qt::Key_Return);
        QVERIFY(!send.isVisible() && send.result() == QDialog::Accepted);
        QCOMPARE(send.recipient(), QString("Zed"));
        send.prepare({"Me", "Ann"}, "Me"), send.show(); // rebuilt on every show, the text kept
        QCOMPARE(send.BoxClients->count(), 1);
        QCOMPARE(send.text(), QString("plrc"));
        QTest::mouseClick(send.Close, Qt::LeftButton);
        QVERIFY(!send.isVisible() && send.result() == QDialog::Rejected);
        // News asks for attention while another window is active, not while here.
        for (int n = 0; n < 3; ++n) {
            QWidget* active = n < 2 ? static_cast<QWidget*>(area.get()) : win.get();
            QVERIFY(activate(active));
            n == 1 ? void(win->messageArrived("hi", "B")) : win->clientJoined("N");
            QTRY_COMPARE(boxes(*win).size(), qsizetype(n + 1));
            QCOMPARE(win->alerts, std::min(n + 1, 2));
        }
        // A box takes keys only once none has come for a moment: a Return or
        // Escape typed for something else must not answer it unseen.
        win->messageArrived("typed over", "C");
        QTRY_COMPARE(boxes(*win).size(), qsizetype(4));
        QPointer<QMessageBox> typedOver = boxes(*win).back();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            QTest::keyClick(typedOver, key);
            QTest::qWait(200);
            QVERIFY(typedOver && typedOver->isVisible());
        }
        QTest::qWait(1500);
        QTest::keyClick(typedOver, Qt::Key_Return);
        QTRY_VERIFY(!typedOver);
        for (QMessageBox* box : boxes(*win))
            box->button(box->buttons().size() == 1 ? QMessageBox::Ok : QMessageBox::No)->click();
        QVERIFY(activate(win.get()));
        QTest::keyClick(win.get(), Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(fake.calls, (Lines{"loadArea A B", "logout A"}));
    }

    void loginOpensTheChosenAreasAndRelayedDrawingReachesThem() {
        win->clearActiveArea();      // no area to clear
        win->setServerLink(nullptr); // no link yet before Enter
        win->loginAnswered("D", 4);
        ClientCallback& helper = servant();
        fromOrb([&] { helper.AddNewClient("E"), helper.AddNewClient("F"); });
        QTRY_COMPARE(boxes(*win).size(), qsizetype(2));
        for (QMessageBox* box : boxes(*win)) { // [E] or [F]
            QCOMPARE(box->windowTitle() + box->text().remove(12, 1),
                     QString("New login client...New client [] login. Show this client ?"));
            box->button(QMessageBox::Yes)->click();
        }
        helper.CloseClient("F"); // gone before Enter
        QTRY_COMPARE(win->allCount(), 5);
        win->setServerLink(&fake), win->startWork({"B"});
        QCOMPARE(win->windowTitle(), QString("Kolvaro - D"));
        QCOMPARE(captions(*win), (Lines{"D", "B", "E"}));
        QCOMPARE(win->panelText(2) + win->panelText(3),
                 QString("Count of displayed clients: 3Count of all clients: 5"));
        QCOMPARE(win->mdiArea()->width(), win->width()); // the workspace spans the window
        win->cascadeAreas();
        QMdiSubWindow* top = win->mdiArea()->subWindowList(QMdiArea::StackingOrder).back();
        QCOMPARE(top->geometry().bottomRight(), win->mdiArea()->viewport()->rect().bottomRight());
        // The tool stays in step between menu, toolbar and status bar.
        win->toolAction(PaintKind::Line)->trigger();
        QVERIFY(win->findChild<QToolButton*>("CLine")->isChecked());
        QTest::mouseClick(win->findChild<QToolButton*>("CRect"), Qt::LeftButton);
        QVERIFY(!win->toolAction(PaintKind::Line)->isChecked() &&
                win->currentTool() == PaintKind::Rect);
        QCOMPARE(win->panelText(1), QString("Paint: Rectangle"));
        auto* panel = win->findChild<QLabel*>("Panel1"); // whole, in the window's font
        QVERIFY(panel->fontMetrics().horizontalAdvance(panel->text()) <=
                panel->contentsRect().width());
        // Relayed drawing reaches every area of its owner, in order.
        win->showNewArea("B"); // a second window on the same owner
        fromOrb([&] {
            helper.PaintCirc(5, 5, 120, 90, "B");
            helper.PaintLine(1, 1, 50, 50, "C"); // no area: ignored
            helper.PaintFill(60, 45, "B"), helper.PaintLine(-10, 30, 300, 30, "B");
            helper.PaintPoint(7, 8, "B"), helper.PaintRect(100, 20, 20, 60, "B");
            helper.PaintFill(1, 40, "B");
            helper.PaintRect(10, 10, 80, 60, "E"), helper.ClearAll("E");
        });
        const Shapes shapes{{5, 5, 120, 90, K::Circ},    {60, 45, 0, 0, K::Fill},
                            {-10, 30, 300, 30, K::Line}, {7, 8, 0, 0, K::Point},
                            {100, 20, 20, 60, K::Rect},  {1, 40, 0, 0, K::Fill}};
        QTRY_COMPARE(win->areas()[3]->history().size(), shapes.size());
        for (AreaWindow* each : win->areas()) {
            const auto seen = each->caption() == "B" ? shapes : Shapes{};
            QCOMPARE(each->history(), seen);
            QCOMPARE(each->canvas().image(), picture(each->size(), seen));
        }
        // The Clear command clears the active area.
        win->mdiArea()->setActiveSubWindow(
            qobject_cast<QMdiSubWindow*>(win->areas()[0]->parentWidget()));
        win->clearAction()->trigger();
        QCOMPARE(fake.calls, (Lines{"loadArea D B", "loadArea D E", "loadArea D B", "clearAll D"}));
    }

    void noticesArrivingTogetherAreAllCarriedOut() {
        win->loginAnswered("A", 4), win->startWork({"B", "C"});
        fake.calls.clear();
        emit win->usersMenu()->aboutToShow();
        ClientCallback& helper = servant();
        auto other = std::async(std::launch::async, [&] { helper.CloseClient("C"); });
        fromOrb([&] {
            helper.CloseClient("B"), helper.AddNewClient("E"), helper.AddNewClient("F");
            // G, gone before the answer, is no longer asked.
            helper.AddNewClient("G"), helper.CloseClient("G");
        });
        other.wait();
        QTRY_COMPARE(win->allCount(), 1);
        QVERIFY(!win->findChild<QToolButton*>("Send1")->isEnabled());
        QTRY_COMPARE(boxes(*win).size(), qsizetype(2)); // Yes opens and loads, No does not
        for (QMessageBox* box : boxes(*win))
            box->button(box->text().contains("[E]") ? QMessageBox::Yes : QMessageBox::No)->click();
        QCOMPARE(captions(*win), (Lines{"A", "E"}));
        QCOMPARE(fake.calls, Lines{"loadArea A E"});
        QVERIFY(win->sendAction()->isEnabled());
        emit win->usersMenu()->aboutToShow(); // each user listed once
        QStringList entries;
        for (QAction* entry : win->usersMenu()->actions())
            entries << entry->text();
        QCOMPARE(entries, (QStringList{"&Tile", "&Cascade", "", "&1 A", "&2 E"}));
        // Closing an area by hand keeps the total and forgets the name.
        qobject_cast<QMdiSubWindow*>(win->areas()[1]->parentWidget())->close();
        QCOMPARE(helper.nameCount(), std::size_t(0));
        QCOMPARE(win->panelText(3), QString("Count of all clients: 2"));
        // The window's logout button ends the session.
        helper.addName("A");
        win->findChild<QToolButton*>("ToolButton10")->click();
        QCOMPARE(fake.calls, (Lines{"loadArea A E", "logout A"}));
        QCOMPARE(helper.nameCount(), std::size_t(0));
    }

    void messagesWaitForTheirReaderWithoutHoldingTheWindow() {
        win->loginAnswered("A", 2), win->startWork({"B"});
        ClientCallback* helper = &servant();
        helper->_add_ref(); // the ORB's hold on the servant outlives the window
        const QString sender(60, 's');
        auto hello = std::async(std::launch::async, [&] { helper->PrintTxt("hello", "B"); });
        auto essay =
            std::async(std::launch::async, [&] { helper->PrintTxt("a b", qPrintable(sender)); });
        QTRY_COMPARE(boxes(*win).size(), qsizetype(2));
        bool fits = true; // checked once no reader waits: a failure must not hang
        for (QMessageBox* box : boxes(*win)) {
            const bool fromB = box->windowTitle() == "Message from: B";
            QVERIFY(fromB || box->windowTitle() == "Message from: " + sender);
            QCOMPARE(box->text(), QString(fromB ? "Message: hello" : "Message: a b"));
            // The title bar alone names the sender: it must show whole.
            const QFont bold(box->font().family(), box->font().pointSize(), QFont::Bold);
            fits = fits && box->width() >= QFontMetrics(bold).horizontalAdvance(box->windowTitle());
            if (fromB)
                box->button(QMessageBox::Ok)->click();
        }
        QVERIFY(hello.wait_for(10s) == std::future_status::ready);
        helper->PaintPoint(9, 9, "B"); // drawing goes on while a box is open
        QTRY_COMPARE(win->areas()[1]->history().size(), std::size_t(1));
        QVERIFY(essay.wait_for(50ms) == std::future_status::timeout);
        win.reset(); // the window goes with the box still open
        QVERIFY(essay.wait_for(10s) == std::future_status::ready);
        helper->PaintPoint(1, 1, "B"); // dropped, no window to reach
        QVERIFY(fits);
        helper->_remove_ref();
    }

    void loginDialogRefusesATakenNameUntilOneIsFree() {
        FakeRegistrar registrar;
        QStringList answers;
        int resets = 0;
        const QStringList known{"Ann", "Bob", "Cid", "Dora"};
        LoginHooks hooks{[&] { ++resets; }, [&](int i) { return known.value(i, "Error"); },
                         [&](const QString& n, int r) { answers << n + QString::number(r); }};
        LoginDialog dialog(registrar, hooks);
        dialog.show();
        QTest::keyClicks(dialog.Name, "A name longer than twenty");
        QCOMPARE(dialog.Name->text(), QString("A name longer than t"));
        // Neither Return nor Escape ends it yet.
        QTest::keyClick(dialog.Name, Qt::Key_Return), QTest::keyClick(dialog.Name, Qt::Key_Escape);
        QVERIFY(dialog.isVisible() && !registrar.pending);
        QString said;
        for (auto [outcome, text] :
             {std::pair(LoginOutcome::failed("unreachable"), "unreachable"),
              std::pair(LoginOutcome::answered(-1),
                        "This Login Name already exist. Please enter other Name.")}) {
            dialog.Name->setText("Ann");
            QTest::mouseClick(dialog.Registration, Qt::LeftButton);
            QVERIFY(dialog.Busy->isVisible() && !dialog.Registration->isEnabled() &&
                    !dialog.Name->isEnabled());
            answerNextBox(&said);
            registrar.pending(outcome);
            QCOMPARE(said, QString(text));
            QVERIFY(dialog.Name->isEnabled() && !dialog.Enter->isEnabled());
        }
        dialog.Name->setText("Dora");
        QTest::mouseClick(dialog.Registration, Qt::LeftButton);
        registrar.pending(LoginOutcome::answered(4));
        QCOMPARE(resets, 3);
        QCOMPARE(answers, (QStringList{"Ann-1", "Dora4"}));
        QVERIFY(!dialog.Name->isEnabled() && dialog.Enter->isEnabled());
        QCOMPARE(dialog.ClientsBox->count(), 3);
        dialog.ClientsBox->item(1)->setCheckState(Qt::Checked);
        QCOMPARE(dialog.checkedNames(), QStringList{"Bob"});
        QTest::keyClick(&dialog, Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void aboutShowsItsJpegPictureAndRefusesDamagedOnes() {
        AboutDialog about;
        const QImage image = about.Image1->pixmap().toImage(); // decoded from the JPEG
        QCOMPARE(image.size(), QSize(400, 493));
        // A pale yellow sun and a blue lake: catches swapped channels.
        const QColor sun = image.pixelColor(300, 110), lake = image.pixelColor(200, 440);
        QVERIFY(sun.red() > 230 && sun.green() > 215 && sun.blue() < 200);
        QVERIFY(lake.blue() > lake.red() + 80);
        QVERIFY(about.Image1->hasScaledContents());
        about.show();
        QTest::keyClick(&about, Qt::Key_Return);
        QVERIFY(!about.isVisible() && about.result() == QDialog::Accepted);
        QFile file(":/about/about.jpg");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray good = file.readAll();
        QString error;
        const QByteArray wide = // 60000 pixels wide
            QByteArray(good).replace(good.indexOf("\xFF\xC0") + 7, 2, "\xEA\x60");
        const std::size_t heldBefore = mallinfo2().uordblks;
        for (int round = 0; round < 40; ++round) { // and gives back what each refusal took
            for (const QByteArray& bad : {QByteArray(), good.left(2), good.left(good.size() / 2),
                                          good.left(good.size() - 2), wide, QByteArray("GIF89a")}) {
                error.clear();
                QVERIFY(kolvaro::decodeJpeg(bad, &error).isNull() && !error.isEmpty());
            }
        }
        QVERIFY(mallinfo2().uordblks < heldBefore + 256 * 1024);
        QVERIFY2(error.contains("Not a JPEG file"), qPrintable(error)); // libjpeg's own words
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
