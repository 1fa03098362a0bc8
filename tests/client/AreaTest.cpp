#include "Area.h"
#include "AreaHost.h"
#include "ClientTestSupport.h"

#include <QTest>

namespace {

class FakeHost : public AreaHost {
public:
    Tool tool = Tool::Point;
    QPoint position{-1, -1};
    std::string active = "A";
    int closed = 0;

    Tool currentTool() const override { return tool; }
    void showPosition(int x, int y) override { position = {x, y}; }
    std::string activeAreaName() const override { return active; }
    void areaClosed(TClientArea&) override { ++closed; }
};

} // namespace

class AreaTest : public QObject {
    Q_OBJECT

    FakeHost host;
    FakeServerLink link;
    std::unique_ptr<TClientArea> area;

    QImage surface() const { return area->canvas().image(); }
    void drag(Qt::MouseButton release, std::initializer_list<QPoint> path) {
        auto at = path.begin();
        QTest::mousePress(area.get(), Qt::LeftButton, {}, *at);
        for (++at; at != path.end(); ++at)
            QTest::mouseMove(area.get(), *at);
        QTest::mouseRelease(area.get(), release, {}, QPoint(7, 7));
        if (release != Qt::LeftButton) // let go of the left button too, after the fact
            QTest::mouseRelease(area.get(), Qt::LeftButton, {}, QPoint(7, 7));
    }

private slots:
    void init() {
        host = FakeHost();
        link.calls.clear();
        area = std::make_unique<TClientArea>(host, link);
        area->resize(200, 150);
        area->show();
        QVERIFY(QTest::qWaitForWindowExposed(area.get()));
    }
    void cleanup() { area.reset(); }

    void dragSendsPressToLastMoveAndWaitsForTheEcho_data() {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<int>("kind");
        QTest::newRow("line") << int(Tool::Line) << "paintLine 10 20 50 60 A"
                              << int(PaintKind::Line);
        QTest::newRow("rect") << int(Tool::Rect) << "paintRect 10 20 50 60 A"
                              << int(PaintKind::Rect);
        QTest::newRow("circle") << int(Tool::Circle) << "paintCirc 10 20 50 60 A"
                                << int(PaintKind::Circ);
    }
    void dragSendsPressToLastMoveAndWaitsForTheEcho() {
        QFETCH(int, tool);
        QFETCH(QString, sent);
        QFETCH(int, kind);
        host.tool = Tool(tool);
        drag(Qt::LeftButton, {{10, 20}, {30, 40}, {50, 60}});
        QCOMPARE(link.calls, std::vector<std::string>{sent.toStdString()});
        QCOMPARE(host.position, QPoint(50, 60));
        // Only the server's echo goes into the history; until then the last preview shows.
        QVERIFY(area->history().empty());
        QVERIFY(surface() != picture(area->size(), {}));
        const PaintRecord shape{10, 20, 50, 60, PaintKind(kind)};
        area->DrawShape(shape);
        QCOMPARE(area->history(), std::vector<PaintRecord>{shape});
        QCOMPARE(surface(), picture(area->size(), {shape}));
    }

    void eachMoveErasesThePreviousPreview() {
        host.tool = Tool::Rect;
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {20, 20});
        QTest::mouseMove(area.get(), {120, 90});
        QTest::mouseMove(area.get(), {60, 140});
        QTest::mouseMove(area.get(), {80, 50});
        const QImage wandered = surface();
        // The same drag straight to the end leaves the same picture.
        init();
        host.tool = Tool::Rect;
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {20, 20});
        QTest::mouseMove(area.get(), {80, 50});
        QCOMPARE(wandered, surface());
    }

    void dragMayEndOutsideTheArea() {
        host.tool = Tool::Line;
        host.active = "B";
        drag(Qt::LeftButton, {{30, 30}, {-20, -10}});
        QCOMPARE(link.calls, std::vector<std::string>{"paintLine 30 30 -20 -10 B"});
    }

    void onlyTheLeftButtonDragsButAnyReleaseEndsIt() {
        host.tool = Tool::Line;
        QTest::mousePress(area.get(), Qt::RightButton, {}, {10, 10});
        QTest::mouseMove(area.get(), {40, 40});
        QTest::mouseRelease(area.get(), Qt::RightButton, {}, {40, 40});
        QVERIFY(link.calls.empty());
        QCOMPARE(surface(), picture(area->size(), {}));

        drag(Qt::RightButton, {{5, 6}, {70, 80}});
        QCOMPARE(link.calls, std::vector<std::string>{"paintLine 5 6 70 80 A"});
        // The drag is over: later moves draw no preview.
        const QImage after = surface();
        QTest::mouseMove(area.get(), {100, 20});
        QCOMPARE(surface(), after);
    }

    void pointAndFillActOnTheClickAtTheLastMove() {
        host.tool = Tool::Point;
        QTest::mouseMove(area.get(), {15, 25});
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {15, 25});
        QVERIFY(link.calls.empty()); // a press alone does nothing
        QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {15, 25});
        QCOMPARE(link.calls, std::vector<std::string>{"paintPoint 15 25 A"});
        QCOMPARE(area->canvas().pixel(15, 25), Canvas::Blue);
        QVERIFY(area->history().empty());

        // A box around the next click: the fill shows at once and stays inside.
        area->DrawShape({40, 40, 120, 100, PaintKind::Rect});
        link.calls.clear();
        host.tool = Tool::Fill;
        QTest::mouseMove(area.get(), {80, 70});
        QTest::mouseClick(area.get(), Qt::LeftButton, {}, {80, 70});
        QCOMPARE(link.calls, std::vector<std::string>{"paintFill 80 70 A"});
        QCOMPARE(area->canvas().pixel(80, 70), Canvas::Black);
        QCOMPARE(area->canvas().pixel(20, 20), Canvas::White);

        // Pressed inside and released outside: no click.
        link.calls.clear();
        QTest::mouseMove(area.get(), {10, 10});
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {10, 10});
        QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {-5, 10});
        QTest::mouseClick(area.get(), Qt::RightButton, {}, {10, 10});
        QVERIFY(link.calls.empty());
        QCOMPARE(area->canvas().pixel(10, 10), Canvas::White);
    }

    void ownMarksOvertakenOnTheirWayEndInTheServersOrder() {
        // A fill shown at the click, and a line's last preview, while a box
        // stored before both reaches this area after them.
        host.tool = Tool::Fill;
        QTest::mouseMove(area.get(), {80, 70});
        QTest::mouseClick(area.get(), Qt::LeftButton, {}, {80, 70});
        host.tool = Tool::Line;
        drag(Qt::LeftButton, {{10, 20}, {190, 20}});
        const std::vector<PaintRecord> stored{{40, 40, 120, 100, PaintKind::Rect},
                                              {80, 70, 0, 0, PaintKind::Fill},
                                              {10, 20, 190, 20, PaintKind::Line}};
        for (const PaintRecord& shape : stored)
            area->DrawShape(shape);
        QCOMPARE(surface(), picture(area->size(), stored));
    }

    void resizeRedrawsTheHistoryOnly() {
        const std::vector<PaintRecord> shapes{{10, 10, 150, 120, PaintKind::Circ},
                                              {80, 65, 0, 0, PaintKind::Fill},
                                              {0, 140, 300, 140, PaintKind::Line}};
        for (const PaintRecord& shape : shapes)
            area->DrawShape(shape);
        // A dot not yet echoed, and a drag in progress, belong to the old surface only.
        host.tool = Tool::Point;
        QTest::mouseMove(area.get(), {190, 5});
        QTest::mouseClick(area.get(), Qt::LeftButton, {}, {190, 5});
        host.tool = Tool::Line;
        QTest::mousePress(area.get(), Qt::LeftButton, {}, {5, 5});
        QTest::mouseMove(area.get(), {30, 5});
        area->resize(320, 160);
        QCOMPARE(surface(), picture({320, 160}, shapes));
        // The next move draws a fresh preview instead of erasing a lost one.
        QTest::mouseMove(area.get(), {40, 5});
        QTest::mouseMove(area.get(), {30, 5});
        QTest::mouseRelease(area.get(), Qt::LeftButton, {}, {30, 5});
        area->DrawShape({5, 5, 30, 5, PaintKind::Line});
        QCOMPARE(
            surface(),
            picture({320, 160}, {shapes[0], shapes[1], shapes[2], {5, 5, 30, 5, PaintKind::Line}}));
        // Clearing empties the history, so a rebuild stays white.
        area->ClearSurface();
        area->ClearShapes();
        area->resize(200, 150);
        QCOMPARE(surface(), picture({200, 150}, {}));
    }
};

QTEST_MAIN(AreaTest)
#include "AreaTest.moc"
