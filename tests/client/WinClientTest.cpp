#include "Area.h"
#include "ClientTestSupport.h"
#include "Helper.h"
#include "Winpaint.h"

#include <QAction>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <chrono>
#include <future>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Runs callbacks on a thread of their own, as the ORB would.
std::future<void> fromOrbThread(std::function<void()> calls) {
    return std::async(std::launch::async, std::move(calls));
}

// True when the callbacks finished while this (window) thread did no event work.
bool finishedWithoutWindowThread(std::future<void>& done) {
    return done.wait_for(10s) == std::future_status::ready;
}

std::vector<QMessageBox*> boxes(const TWinClient& win) {
    std::vector<QMessageBox*> shown;
    for (QMessageBox* box : win.findChildren<QMessageBox*>())
        if (box->isVisible())
            shown.push_back(box);
    return shown;
}

QMessageBox* boxTitled(const TWinClient& win, const QString& title) {
    for (QMessageBox* box : boxes(win))
        if (box->windowTitle() == title)
            return box;
    return nullptr;
}

std::vector<std::string> captions(const TWinClient& win) {
    std::vector<std::string> names;
    for (TClientArea* area : win.areas())
        names.push_back(area->caption());
    return names;
}

} // namespace

class WinClientTest : public QObject {
    Q_OBJECT

    FakeServerLink link;
    std::unique_ptr<TWinClient> win;

    THelper& servant() { return static_cast<THelper&>(*win->servant()); }

    // Logs in as A with `count` users in all and shows A plus `others`.
    void startAs(int count, const std::vector<std::string>& others) {
        win->loginAnswered("A", count);
        win->startWork(others);
        link.calls.clear();
    }

private slots:
    void init() {
        link.calls.clear();
        win = std::make_unique<TWinClient>(&link);
        win->adoptServant(new THelper(*win));
        win->show();
        QVERIFY(QTest::qWaitForWindowExposed(win.get()));
    }
    void cleanup() { win.reset(); }

    void toolChoiceStaysInStepBetweenMenuAndToolbar() {
        win->toolAction(Tool::Line)->trigger(); // from the menu
        auto* line = win->findChild<QToolButton*>("CLine");
        auto* point = win->findChild<QToolButton*>("CPoint");
        QVERIFY(line->isChecked() && !point->isChecked());
        QCOMPARE(win->panelText(1), QString("Paint: Line"));
        QTest::mouseClick(win->findChild<QToolButton*>("CRect"), Qt::LeftButton);
        QVERIFY(win->toolAction(Tool::Rect)->isChecked());
        QVERIFY(!win->toolAction(Tool::Line)->isChecked() && !line->isChecked());
        QCOMPARE(win->panelText(1), QString("Paint: Rectangle"));
        // In the window's own font, and whole.
        auto* panel = win->findChild<QLabel*>("Panel1");
        QCOMPARE(panel->font(), win->font());
        QVERIFY(panel->fontMetrics().horizontalAdvance(panel->text()) <=
                panel->contentsRect().width());
        QCOMPARE(win->currentTool(), Tool::Rect);
        win->toolAction(Tool::Fill)->trigger();
        QCOMPARE(win->panelText(1), QString("Paint: Fill area"));
        QCOMPARE(win->currentTool(), Tool::Fill);
    }

    void loginOpensTheChosenAreasAndSetsTheRules() {
        // Newcomers answered before Enter, when there is no link yet: E is
        // shown at Enter, F has left by then.
        win->setServerLink(nullptr);
        win->loginAnswered("D", 4);
        THelper& helper = servant();
        auto joined = fromOrbThread([&] {
            helper.AddNewClient("E");
            helper.AddNewClient("F");
        });
        QVERIFY(finishedWithoutWindowThread(joined));
        QTRY_COMPARE(boxes(*win).size(), std::size_t(2));
        for (QMessageBox* box : boxes(*win))
            box->button(QMessageBox::Yes)->click();
        QVERIFY(win->areas().empty());
        helper.CloseClient("F");
        QTRY_COMPARE(win->allCount(), 5);
        win->setServerLink(&link);
        win->startWork({"B"});
        QCOMPARE(win->windowTitle(), QString("Kolvaro - D"));
        QCOMPARE(captions(*win), (std::vector<std::string>{"D", "B", "E"}));
        QCOMPARE(link.calls, (std::vector<std::string>{"loadArea D B", "loadArea D E"}));
        QCOMPARE(win->panelText(2), QString("Count of displayed clients: 3"));
        QCOMPARE(win->panelText(3), QString("Count of all clients: 5"));

        // Cascade: each caption below the one before in sight, the workspace used.
        win->Cascade1Click();
        const QList<QMdiSubWindow*> stack = win->mdiArea()->subWindowList(QMdiArea::StackingOrder);
        for (qsizetype i = 1; i < stack.size(); ++i)
            QVERIFY(stack[i]->y() >= stack[i - 1]->y() + stack[i - 1]->widget()->y());
        QCOMPARE(stack.back()->geometry().bottomRight(),
                 win->mdiArea()->viewport()->rect().bottomRight());
        QVERIFY(win->sendAction()->isEnabled());
    }

    void relayedShapesReachEveryAreaOfTheirOwnerInOrder() {
        startAs(3, {"B"});
        win->ShowNewArea("A"); // a second window on the same owner
        const std::vector<PaintRecord> shapes{{5, 5, 120, 90, PaintKind::Circ},
                                              {60, 45, 0, 0, PaintKind::Fill},
                                              {-10, 30, 300, 30, PaintKind::Line},
                                              {7, 8, 0, 0, PaintKind::Point},
                                              {100, 20, 20, 60, PaintKind::Rect}};
        THelper& helper = servant();
        auto done = fromOrbThread([&] {
            helper.PaintCirc(5, 5, 120, 90, "A");
            helper.PaintLine(1, 1, 50, 50, "C"); // no area: ignored
            helper.PaintFill(60, 45, "A");
            helper.PaintLine(-10, 30, 300, 30, "A");
            helper.PaintPoint(7, 8, "A");
            helper.PaintRect(100, 20, 20, 60, "A");
        });
        QVERIFY(finishedWithoutWindowThread(done));
        QTRY_COMPARE(win->areas()[0]->history().size(), shapes.size());
        for (TClientArea* area : win->areas()) {
            const bool owned = area->caption() == "A";
            QCOMPARE(area->history(), owned ? shapes : std::vector<PaintRecord>{});
            QCOMPARE(area->canvas().image(),
                     picture(area->size(), owned ? shapes : std::vector<PaintRecord>{}));
        }
    }

    void clearAllStaysClearAfterAResize() {
        startAs(2, {"B"});
        THelper& helper = servant();
        auto done = fromOrbThread([&] {
            helper.PaintRect(10, 10, 80, 60, "B");
            helper.PaintFill(30, 30, "B");
            helper.ClearAll("B");
            helper.PaintPoint(5, 5, "A");
        });
        QVERIFY(finishedWithoutWindowThread(done));
        QTRY_COMPARE(win->areas()[0]->history().size(), std::size_t(1));
        TClientArea* b = win->areas()[1];
        QVERIFY(b->history().empty());
        b->parentWidget()->resize(b->parentWidget()->size() + QSize(40, 30));
        QCOMPARE(b->canvas().image(), picture(b->size(), {}));
    }

    void clearAllCommandNeedsAnActiveArea() {
        win->CClearClick();
        QVERIFY(link.calls.empty());
        startAs(2, {"B"});
        TClientArea* b = win->areas()[1];
        win->DrawOnArea(3, 10, 10, 80, 60, "B");
        win->mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(b->parentWidget()));
        win->clearAction()->trigger();
        QCOMPARE(link.calls, std::vector<std::string>{"clearAll B"});
        QVERIFY(b->history().empty());
        QCOMPARE(b->canvas().image(), picture(b->size(), {}));
        QCOMPARE(win->areas()[0]->canvas().image(), picture(win->areas()[0]->size(), {}));
    }

    void noticesArrivingTogetherAreAllCarriedOut() {
        startAs(4, {"B", "C"});
        THelper& helper = servant();
        auto first = fromOrbThread([&] { helper.CloseClient("B"); });
        auto second = fromOrbThread([&] { helper.CloseClient("C"); });
        auto third = fromOrbThread([&] {
            helper.AddNewClient("E");
            helper.AddNewClient("F");
            helper.AddNewClient("G");
            helper.CloseClient("G"); // gone before the answer: no longer asked
        });
        QVERIFY(finishedWithoutWindowThread(first) && finishedWithoutWindowThread(second) &&
                finishedWithoutWindowThread(third));
        QTRY_COMPARE(win->allCount(), 1);
        QCOMPARE(captions(*win), std::vector<std::string>{"A"});
        QCOMPARE(win->panelText(2), QString("Count of displayed clients: 1"));
        QCOMPARE(win->panelText(3), QString("Count of all clients: 1"));

        // The others are asked about; Yes opens and loads, No changes nothing.
        QTRY_COMPARE(boxes(*win).size(), std::size_t(2));
        for (QMessageBox* box : boxes(*win)) {
            QCOMPARE(box->windowTitle(), QString("New login client..."));
            const bool e = box->text() == "New client [E] login. Show this client ?";
            QVERIFY(e || box->text() == "New client [F] login. Show this client ?");
            box->button(e ? QMessageBox::Yes : QMessageBox::No)->click();
        }
        QCOMPARE(captions(*win), (std::vector<std::string>{"A", "E"}));
        QCOMPARE(link.calls, std::vector<std::string>{"loadArea A E"});
        QCOMPARE(win->allCount(), 2);
        QCOMPARE(servant().NameAt(0), std::string("E"));
        QCOMPARE(servant().NameAt(1), std::string("Error"));
    }

    void closingAnAreaByHandKeepsTheTotal() {
        startAs(3, {"B"});
        servant().AddName("B");
        qobject_cast<QMdiSubWindow*>(win->areas()[1]->parentWidget())->close();
        QCOMPARE(captions(*win), std::vector<std::string>{"A"});
        QCOMPARE(win->panelText(2), QString("Count of displayed clients: 1"));
        QCOMPARE(win->panelText(3), QString("Count of all clients: 3"));
        QCOMPARE(servant().NameCount(), std::size_t(0));
        // The owner's drawing finds no area; its logout still lowers the total.
        servant().PaintPoint(5, 5, "B");
        servant().CloseClient("B");
        QTRY_COMPARE(win->allCount(), 2);
        QVERIFY(win->sendAction()->isEnabled());
        servant().CloseClient("X");
        QTRY_COMPARE(win->allCount(), 1);
        QVERIFY(!win->sendAction()->isEnabled());
        QVERIFY(!win->findChild<QToolButton*>("Send1")->isEnabled());
    }

    void messagesWaitForTheirReaderWithoutHoldingTheWindow() {
        startAs(2, {"B"});
        THelper& helper = servant();
        const std::string longText = std::string(600, 'w') + " end of a long message";
        const std::string longSender = std::string(60, 's');
        auto hello = fromOrbThread([&] { helper.PrintTxt("hello", "B"); });
        auto essay = fromOrbThread([&] { helper.PrintTxt(longText.c_str(), longSender.c_str()); });
        QTRY_COMPARE(boxes(*win).size(), std::size_t(2));
        QMessageBox* short_ = boxTitled(*win, "Message from: B");
        QMessageBox* long_ = boxTitled(*win, QString::fromStdString("Message from: " + longSender));
        QVERIFY(short_ && long_);
        QCOMPARE(short_->text(), QString("Message: hello"));
        QCOMPARE(long_->text(), QString::fromStdString("Message: " + longText));
        QCOMPARE(short_->buttons().size(), qsizetype(1));
        QCOMPARE(short_->standardButton(short_->buttons()[0]), QMessageBox::Ok);
        QVERIFY(hello.wait_for(50ms) == std::future_status::timeout);

        // With both boxes open, drawing still reaches the areas.
        servant().PaintPoint(9, 9, "B");
        QTRY_COMPARE(win->areas()[1]->history().size(), std::size_t(1));

        short_->button(QMessageBox::Ok)->click();
        QVERIFY(hello.wait_for(10s) == std::future_status::ready);
        QVERIFY(essay.wait_for(50ms) == std::future_status::timeout);
        long_->button(QMessageBox::Ok)->click();
        QVERIFY(essay.wait_for(10s) == std::future_status::ready);
    }

    void messageLeftOpenWhenTheWindowGoesDoesNotHang() {
        THelper* helper = &servant();
        helper->_add_ref(); // the ORB's hold on the servant outlives the window
        auto waiting = fromOrbThread([helper] { helper->PrintTxt("bye", "B"); });
        QTRY_COMPARE(boxes(*win).size(), std::size_t(1));
        win.reset();
        QVERIFY(waiting.wait_for(10s) == std::future_status::ready);
        helper->PaintPoint(1, 1, "B"); // dropped, no window to reach
        helper->_remove_ref();
    }

    void closingTheWindowLogsOut() {
        startAs(2, {"B"});
        servant().AddName("A");
        win->findChild<QToolButton*>("ToolButton10")->click();
        QCOMPARE(link.calls, std::vector<std::string>{"logout A"});
        QCOMPARE(servant().NameCount(), std::size_t(0));
    }
};

QTEST_MAIN(WinClientTest)
#include "WinClientTest.moc"
