// An area, the main window and the dialogs, with a link that records calls.
#include "Area.h"
#include "AreaHost.h"
#include "ClientResources.h"
#include "Clientabout.h"
#include "Clientsender.h"
#include "Helper.h"
#include "Loginclient.h"
#include "ServerLink.h"
#include "Winpaint.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace std::chrono_literals;
using K = PaintKind;
using Lines = std::vector<std::string>;
using S = const std::string&;

namespace {

struct RecordingLink : ServerLink {
    Lines calls;
    template <typename... N> void note(std::string line, S last, N... n) {
        ((line += " " + std::to_string(n)), ...);
        calls.push_back(line + " " + last);
    }
    void paintPoint(int x, int y, S o) override { note("paintPoint", o, x, y); }
    void paintLine(int a, int b, int c, int d, S o) override { note("paintLine", o, a, b, c, d); }
    void paintRect(int a, int b, int c, int d, S o) override { note("paintRect", o, a, b, c, d); }
    void paintCirc(int a, int b, int c, int d, S o) override { note("paintCirc", o, a, b, c, d); }
    void paintFill(int x, int y, S o) override { note("paintFill", o, x, y); }
    void clearAll(S o) override { note("clearAll", o); }
    void loadArea(S name, S o) override { note("loadArea " + name, o); }
    void logout(S name) override { note("logout", name); }
    void resend(int, int, int, int, int, S) override {}
    void sendTxt(S, S, S, Done) override {}
};

struct FakeHost : AreaHost {
    Tool tool = Tool::Point;
    QPoint position;
    Tool currentTool() const override { return tool; }
    void showPosition(int x, int y) override { position = {x, y}; }
    std::string activeAreaName() const override { return "A"; }
    void areaClosed(TClientArea&) override {}
};

QImage picture(QSize size, const std::vector<PaintRecord>& shapes) {
    Canvas canvas(size);
    drawShapes(canvas, shapes);
    return canvas.image();
}

// Callbacks arrive on ORB threads; the window thread does no event work meanwhile.
void fromOrb(std::function<void()> calls) {
    QVERIFY(std::async(std::launch::async, std::move(calls)).wait_for(10s) ==
            std::future_status::ready);
}

std::vector<QMessageBox*> boxes(const QWidget& parent) {
    std::vector<QMessageBox*> shown;
    for (QMessageBox* box : parent.findChildren<QMessageBox*>())
        if (box->isVisible())
            shown.push_back(box);
    return shown;
}

Lines captions(const TWinClient& win) {
    Lines names;
    for (TClientArea* area : win.areas())
        names.push_back(area->caption());
    return names;
}

// Answers the next modal box with OK once it shows, keeping its text.
void answerNextBox(QString* text) {
    QTimer::singleShot(10, [text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return answerNextBox(text);
        *text = box->text();
        box->button(QMessageBox::Ok)->click();
    });
}

struct FakeRegistrar : Registrar {
    QStringList asked;
    std::function<void(LoginOutcome)> pending;
    void registerName(const QString& name, std::function<void(LoginOutcome)> done) override {
        asked << name;
        pending = std::move(done);
    }
};

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

    FakeHost host;
    RecordingLink link;
    std::unique_ptr<TClientArea> area;
    std::unique_ptr<TWinClient> win;

    QImage surface() const { return area->canvas().image(); }
    void use(Tool tool) {
        host.tool = tool;
        link.calls.clear();
    }
    void click(QPoint at) {
        QTest::mouseMove(area.get(), at);
        QTest::mouseClick(area.get(), Qt::LeftButton, {}, at);
    }
    void drag(QPoint from, QPoint to, Qt::MouseButton release = Qt::LeftButton) {
        QTest::mousePress(area.get(), Qt::LeftButton, {}, from);
        QTest::mouseMove(area.get(), to);
        QTest::mouseRelease(area.get(), release, {}, {7, 7});
        QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {7, 7});
    }
    void startAs(int count, const Lines& others) {
        win->loginAnswered("A", count);
        win->startWork(others);
        link.calls.clear();
    }

private slots:
    void init() {
        host = FakeHost();
        link.calls.clear();
        area = std::make_unique<TClientArea>(host, link);
        area->resize(200, 150);
        area->show();
        win = std::make_unique<TWinClient>(&link);
        win->show();
        QVERIFY(QTest::qWaitForWindowExposed(win.get()));
    }

    void dragSendsPressToLastMoveShowsItsBandAndWaitsForTheEcho() {
        for (auto [tool, kind, call] : {std::tuple(Tool::Line, K::Line, "paintLine"),
                                        std::tuple(Tool::Rect, K::Rect, "paintRect"),
                                        std::tuple(Tool::Circle, K::Circ, "paintCirc")}) {
            init();
            use(tool);
            QTest::mousePress(area.get(), Qt::LeftButton, {}, {10, 20});
            QTest::mouseMove(area.get(), {120, 90});
            QTest::mouseMove(area.get(), {-20, 140}); // outside; each move erases the last band
            QTest::mouseMove(area.get(), {50, 60});
            QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {7, 7});
            QCOMPARE(link.calls, Lines{std::string(call) + " 10 20 50 60 A"});
            QCOMPARE(host.position, QPoint(50, 60));
            const PaintRecord shape{10, 20, 50, 60, kind};
            Canvas band(area->size());
            band.pen() = {Canvas::Yellow, 2, Canvas::PenStyle::Dotted, Canvas::PenMode::Xor};
            band.brush().style = Canvas::BrushStyle::Clear;
            band.moveTo(10, 20);
            kind == K::Line   ? band.lineTo(50, 60)
            : kind == K::Rect ? band.rectangle(10, 20, 50, 60)
                              : band.ellipse(10, 20, 50, 60);
            QCOMPARE(surface(), band.image());
            QVERIFY(area->history().empty()); // only the server's echo is history
            area->DrawShape(shape);
            QCOMPARE(area->history(), std::vector<PaintRecord>{shape});
            QCOMPARE(surface(), picture(area->size(), {shape}));
        }
        // Only the left button drags, but any release ends the drag.
        use(Tool::Line);
        QTest::mousePress(area.get(), Qt::RightButton, {}, {10, 10});
        QTest::mouseMove(area.get(), {40, 40});
        QTest::mouseRelease(area.get(), Qt::RightButton, {}, {40, 40});
        QVERIFY(link.calls.empty());
        drag({5, 6}, {70, 80}, Qt::RightButton);
        QCOMPARE(link.calls, Lines{"paintLine 5 6 70 80 A"});
        const QImage after = surface();
        QTest::mouseMove(area.get(), {100, 20});
        QCOMPARE(surface(), after);
    }

    void ownMarksShowAtOnceAndEndInTheServersOrder() {
        use(Tool::Point);
        QTest::mouseMove(area.get(), {15, 25});
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {15, 25});
        QVERIFY(link.calls.empty()); // a press alone does nothing
        QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {15, 25});
        QCOMPARE(link.calls, Lines{"paintPoint 15 25 A"});
        use(Tool::Fill);
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {80, 70});
        QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {-5, 10}); // released outside
        click({80, 70});
        QCOMPARE(link.calls, Lines{"paintFill 80 70 A"});
        QCOMPARE(surface().pixel(100, 100), qRgb(0, 0, 0));
        use(Tool::Line);
        drag({10, 20}, {190, 20});
        // A box stored before the fill and the line overtakes them on its way.
        const std::vector<PaintRecord> stored{{15, 25, 0, 0, K::Point},
                                              {40, 40, 120, 100, K::Rect},
                                              {80, 70, 0, 0, K::Fill},
                                              {10, 20, 190, 20, K::Line}};
        for (const PaintRecord& shape : stored)
            area->DrawShape(shape);
        QCOMPARE(surface(), picture(area->size(), stored));
        // A resize redraws the history only: not a dot awaiting its echo, nor a band.
        use(Tool::Point);
        click({190, 5});
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {5, 5});
        area->resize(320, 160);
        QCOMPARE(surface(), picture({320, 160}, stored));
        area->ClearSurface();
        area->ClearShapes();
        area->resize(200, 150);
        QCOMPARE(surface(), picture({200, 150}, {}));
    }

    void toolChoiceStaysInStepBetweenMenuToolbarAndStatusBar() {
        win->toolAction(Tool::Line)->trigger();
        QVERIFY(win->findChild<QToolButton*>("CLine")->isChecked());
        QVERIFY(!win->findChild<QToolButton*>("CPoint")->isChecked());
        QTest::mouseClick(win->findChild<QToolButton*>("CRect"), Qt::LeftButton);
        QVERIFY(win->toolAction(Tool::Rect)->isChecked() &&
                !win->toolAction(Tool::Line)->isChecked());
        QCOMPARE(win->currentTool(), Tool::Rect);
        QCOMPARE(win->panelText(1), QString("Paint: Rectangle"));
        auto* panel = win->findChild<QLabel*>("Panel1"); // whole, in the window's font
        QCOMPARE(panel->font(), win->font());
        QVERIFY(panel->fontMetrics().horizontalAdvance(panel->text()) <=
                panel->contentsRect().width());
        win->toolAction(Tool::Fill)->trigger();
        QCOMPARE(win->panelText(1), QString("Paint: Fill area"));
    }

    void loginOpensTheChosenAreasAndNewcomersAcceptedBeforeEnter() {
        win->setServerLink(nullptr); // no link yet before Enter
        win->loginAnswered("D", 4);
        THelper& helper = win->servant();
        fromOrb([&] {
            helper.AddNewClient("E");
            helper.AddNewClient("F");
        });
        QTRY_COMPARE(boxes(*win).size(), std::size_t(2));
        for (QMessageBox* box : boxes(*win)) {
            QCOMPARE(box->windowTitle(), QString("New login client..."));
            QVERIFY(box->text().contains(
                QRegularExpression("^New client \\[[EF]\\] login. Show this client \\?$")));
            box->button(QMessageBox::Yes)->click();
        }
        QVERIFY(win->areas().empty());
        helper.CloseClient("F"); // gone before Enter
        QTRY_COMPARE(win->allCount(), 5);
        win->setServerLink(&link);
        win->startWork({"B"});
        QCOMPARE(win->windowTitle(), QString("Kolvaro - D"));
        QCOMPARE(captions(*win), (Lines{"D", "B", "E"}));
        QCOMPARE(link.calls, (Lines{"loadArea D B", "loadArea D E"}));
        QCOMPARE(win->panelText(2), QString("Count of displayed clients: 3"));
        QCOMPARE(win->panelText(3), QString("Count of all clients: 5"));
        // Cascade: each caption below the one before, the workspace filled.
        win->Cascade1Click();
        const auto stack = win->mdiArea()->subWindowList(QMdiArea::StackingOrder);
        for (qsizetype i = 1; i < stack.size(); ++i)
            QVERIFY(stack[i]->y() >= stack[i - 1]->y() + stack[i - 1]->widget()->y());
        QCOMPARE(stack.back()->geometry().bottomRight(),
                 win->mdiArea()->viewport()->rect().bottomRight());
    }

    void relayedDrawingReachesEveryAreaOfItsOwnerInOrder() {
        win->CClearClick(); // no area to clear
        QVERIFY(link.calls.empty());
        startAs(3, {"B"});
        win->ShowNewArea("A"); // a second window on the same owner
        THelper& helper = win->servant();
        fromOrb([&] {
            helper.PaintCirc(5, 5, 120, 90, "A");
            helper.PaintLine(1, 1, 50, 50, "C"); // no area: ignored
            helper.PaintFill(60, 45, "A");
            helper.PaintLine(-10, 30, 300, 30, "A");
            helper.PaintPoint(7, 8, "A");
            helper.PaintRect(100, 20, 20, 60, "A");
            helper.PaintRect(10, 10, 80, 60, "B");
            helper.ClearAll("B");
        });
        const std::vector<PaintRecord> shapes{{5, 5, 120, 90, K::Circ},
                                              {60, 45, 0, 0, K::Fill},
                                              {-10, 30, 300, 30, K::Line},
                                              {7, 8, 0, 0, K::Point},
                                              {100, 20, 20, 60, K::Rect}};
        QTRY_COMPARE(win->areas()[2]->history().size(), shapes.size());
        for (TClientArea* each : win->areas()) {
            const auto seen = each->caption() == "A" ? shapes : std::vector<PaintRecord>{};
            QCOMPARE(each->history(), seen);
            QCOMPARE(each->canvas().image(), picture(each->size(), seen));
        }
        // The Clear command clears the active area.
        TClientArea* a = win->areas()[0];
        win->mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(a->parentWidget()));
        win->clearAction()->trigger();
        QCOMPARE(link.calls, (Lines{"loadArea A A", "clearAll A"}));
        a->parentWidget()->resize(a->parentWidget()->size() + QSize(40, 30));
        QCOMPARE(a->canvas().image(), picture(a->size(), {}));
    }

    void noticesArrivingTogetherAreAllCarriedOut() {
        startAs(4, {"B", "C"});
        THelper& helper = win->servant();
        auto other = std::async(std::launch::async, [&] { helper.CloseClient("C"); });
        fromOrb([&] {
            helper.CloseClient("B");
            helper.AddNewClient("E");
            helper.AddNewClient("F");
            helper.AddNewClient("G");
            helper.CloseClient("G"); // gone before the answer: no longer asked
        });
        other.wait();
        QTRY_COMPARE(win->allCount(), 1);
        QCOMPARE(captions(*win), Lines{"A"});
        QCOMPARE(win->panelText(2), QString("Count of displayed clients: 1"));
        QVERIFY(!win->sendAction()->isEnabled());
        QVERIFY(!win->findChild<QToolButton*>("Send1")->isEnabled());
        QTRY_COMPARE(boxes(*win).size(), std::size_t(2)); // Yes opens and loads, No does not
        for (QMessageBox* box : boxes(*win))
            box->button(box->text().contains("[E]") ? QMessageBox::Yes : QMessageBox::No)->click();
        QCOMPARE(captions(*win), (Lines{"A", "E"}));
        QCOMPARE(link.calls, Lines{"loadArea A E"});
        QCOMPARE(win->panelText(3), QString("Count of all clients: 2"));
        QVERIFY(win->sendAction()->isEnabled());
        QCOMPARE(win->servant().NameAt(0), std::string("E"));
        // Closing an area by hand keeps the total and forgets the name.
        qobject_cast<QMdiSubWindow*>(win->areas()[1]->parentWidget())->close();
        QCOMPARE(win->servant().NameCount(), std::size_t(0));
        QCOMPARE(win->panelText(3), QString("Count of all clients: 2"));
        // The window's logout button ends the session.
        win->servant().AddName("A");
        win->findChild<QToolButton*>("ToolButton10")->click();
        QCOMPARE(link.calls, (Lines{"loadArea A E", "logout A"}));
        QCOMPARE(win->servant().NameCount(), std::size_t(0));
    }

    void messagesWaitForTheirReaderWithoutHoldingTheWindow() {
        startAs(2, {"B"});
        THelper* helper = &win->servant();
        helper->_add_ref(); // the ORB's hold on the servant outlives the window
        const std::string sender(60, 's');
        auto hello = std::async(std::launch::async, [&] { helper->PrintTxt("hello", "B"); });
        auto essay =
            std::async(std::launch::async, [&] { helper->PrintTxt("a b", sender.c_str()); });
        QTRY_COMPARE(boxes(*win).size(), std::size_t(2));
        for (QMessageBox* box : boxes(*win)) {
            const bool fromB = box->windowTitle() == "Message from: B";
            QVERIFY(fromB ||
                    box->windowTitle() == QString::fromStdString("Message from: " + sender));
            QCOMPARE(box->text(), QString(fromB ? "Message: hello" : "Message: a b"));
            QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
            if (fromB)
                box->button(QMessageBox::Ok)->click();
        }
        QVERIFY(hello.wait_for(10s) == std::future_status::ready);
        win->servant().PaintPoint(9, 9, "B"); // drawing goes on while a box is open
        QTRY_COMPARE(win->areas()[1]->history().size(), std::size_t(1));
        QVERIFY(essay.wait_for(50ms) == std::future_status::timeout);
        win.reset(); // the window goes with the box still open
        QVERIFY(essay.wait_for(10s) == std::future_status::ready);
        helper->PaintPoint(1, 1, "B"); // dropped, no window to reach
        helper->_remove_ref();
    }

    void loginDialogRefusedNameThenAFreeOne() {
        FakeRegistrar registrar;
        QStringList known{"Ann", "Bob", "Cid", "Dora"};
        QList<QPair<QString, int>> answers;
        int resets = 0;
        LoginHooks hooks;
        hooks.beforeLogin = [&] { ++resets; };
        hooks.nameAt = [&](int i) { return i < known.size() ? known[i] : "Error"; };
        hooks.loginAnswered = [&](const QString& n, int r) { answers << qMakePair(n, r); };
        TCLogin dialog(registrar, hooks);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::keyClicks(dialog.Name, "A name longer than twenty");
        QCOMPARE(dialog.Name->text(), QString("A name longer than t"));
        QTest::keyClick(dialog.Name, Qt::Key_Return); // neither Return nor Escape ends it yet
        QTest::keyClick(dialog.Name, Qt::Key_Escape);
        QVERIFY(dialog.isVisible() && registrar.asked.isEmpty());
        dialog.Name->setText("Ann");
        QTest::mouseClick(dialog.Registration, Qt::LeftButton);
        QVERIFY(dialog.Busy->isVisible() && !dialog.Registration->isEnabled() &&
                !dialog.Name->isEnabled());
        QString said;
        answerNextBox(&said);
        registrar.pending(LoginOutcome::failed("the server cannot be reached"));
        QCOMPARE(said, QString("the server cannot be reached"));
        QTest::mouseClick(dialog.Registration, Qt::LeftButton);
        answerNextBox(&said);
        registrar.pending(LoginOutcome::answered(-1));
        QCOMPARE(said, QString("This Login Name already exist. Please enter other Name."));
        QVERIFY(dialog.Name->isEnabled() && dialog.Registration->isEnabled() &&
                !dialog.Enter->isEnabled());
        dialog.Name->setText("Dora");
        QTest::mouseClick(dialog.Registration, Qt::LeftButton);
        registrar.pending(LoginOutcome::answered(4));
        QCOMPARE(registrar.asked, (QStringList{"Ann", "Ann", "Dora"}));
        QCOMPARE(answers, (QList<QPair<QString, int>>{{"Ann", -1}, {"Dora", 4}}));
        QCOMPARE(resets, 3);
        QVERIFY(!dialog.Name->isEnabled() && dialog.ClientsBox->isEnabled() &&
                dialog.Enter->isEnabled());
        QCOMPARE(dialog.ClientsBox->count(), 3);
        dialog.ClientsBox->item(1)->setCheckState(Qt::Checked);
        QCOMPARE(dialog.checkedNames(), QStringList{"Bob"});
        QTest::keyClick(&dialog, Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void sendDialogOffersTheOtherAreasSorted() {
        TCSender dialog;
        auto listed = [&] {
            QStringList names;
            for (int i = 0; i < dialog.BoxClients->count(); ++i)
                names << dialog.BoxClients->itemText(i);
            return names;
        };
        // Case does not decide the order; only an exact match is the own name.
        dialog.prepare({"carl", "Me", "Bob", "me", "alice"}, "Me");
        dialog.show();
        QCOMPARE(listed(), (QStringList{"alice", "Bob", "carl", "me"}));
        QCOMPARE(dialog.recipient(), QString("carl")); // the first in child order
        QTest::keyClicks(dialog.Txt, "hello");
        dialog.BoxClients->lineEdit()->selectAll();
        QTest::keyClicks(dialog.BoxClients->lineEdit(), "Zed");
        QTest::keyClick(dialog.BoxClients->lineEdit(), Qt::Key_Return);
        QVERIFY(!dialog.isVisible() && dialog.result() == QDialog::Accepted);
        QCOMPARE(dialog.recipient(), QString("Zed"));
        dialog.prepare({"Me", "Ann"}, "Me"); // rebuilt on every show, the text kept
        dialog.show();
        QCOMPARE(listed(), QStringList{"Ann"});
        QCOMPARE(dialog.text(), QString("hello"));
        QTest::keyClick(dialog.Txt, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible() && dialog.result() == QDialog::Rejected);
        dialog.show();
        dialog.setResult(QDialog::Accepted);
        QTest::mouseClick(dialog.Close, Qt::LeftButton);
        QVERIFY(!dialog.isVisible() && dialog.result() == QDialog::Rejected);
    }

    void aboutShowsItsPictureAndEveryIconRenders() {
        TAbout about;
        QCOMPARE(about.Image1->pixmap().size(), QSize(400, 493));
        QVERIFY(about.Image1->hasScaledContents());
        for (bool byKey : {true, false}) {
            about.show();
            byKey ? QTest::keyClick(&about, Qt::Key_Return) : about.Button1->click();
            QVERIFY(!about.isVisible() && about.result() == QDialog::Accepted);
        }
        kolvaro::initClientResources();
        for (const char* name :
             {"point", "line", "rect", "circle", "fill", "clear", "send", "logout"}) {
            const QImage image =
                QIcon(QString(":/icons/%1.svg").arg(name)).pixmap(32, 32).toImage();
            int inked = 0;
            for (int y = 0; y < 32; ++y)
                for (int x = 0; x < 32; ++x)
                    inked += qAlpha(image.pixel(x, y)) > 0;
            QVERIFY2(inked > 20 && inked < 32 * 32, name);
        }
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
