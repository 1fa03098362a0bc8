#include "Canvas.h"
#include "Shape.h"

#include <QTest>

namespace {

// Bounding box of the pixels that are not white.
QRect inked(const Canvas& canvas) {
    QRect box;
    for (int y = 0; y < canvas.size().height(); ++y)
        for (int x = 0; x < canvas.size().width(); ++x)
            if (canvas.pixel(x, y) != Canvas::White)
                box |= QRect(x, y, 1, 1);
    return box;
}

int count(const Canvas& canvas, Canvas::Colour colour) {
    int n = 0;
    for (int y = 0; y < canvas.size().height(); ++y)
        for (int x = 0; x < canvas.size().width(); ++x)
            n += canvas.pixel(x, y) == colour;
    return n;
}

void fill(Canvas& canvas, int x, int y) {
    drawShape(canvas, {x, y, 0, 0, PaintKind::Fill});
}

void xorPreview(Canvas& canvas, PaintKind figure, int x1, int y1, int x2, int y2) {
    canvas.pen() = {Canvas::Yellow, 2, Canvas::PenStyle::Dotted, Canvas::PenMode::Xor};
    canvas.brush().style = Canvas::BrushStyle::Clear;
    if (figure == PaintKind::Line) {
        canvas.moveTo(x1, y1);
        canvas.lineTo(x2, y2);
    } else if (figure == PaintKind::Rect) {
        canvas.rectangle(x1, y1, x2, y2);
    } else {
        canvas.ellipse(x1, y1, x2, y2);
    }
}

} // namespace

class CanvasTest : public QObject {
    Q_OBJECT
private slots:
    void coloursKeepTheirByteOrder() {
        QCOMPARE(Canvas::toRgb(Canvas::Blue), qRgb(0, 0, 255));
        QCOMPARE(Canvas::toRgb(Canvas::Yellow), qRgb(255, 255, 0));
        QCOMPARE(Canvas::fromRgb(qRgb(0x12, 0x34, 0x56)), Canvas::Colour(0x563412));
        Canvas canvas({20, 20});
        drawShape(canvas, {2, 5, 12, 5, PaintKind::Line});
        QCOMPARE(canvas.image().pixel(4, 5), qRgb(0, 0, 255));
    }

    void figuresStayInsideTheirBox() {
        // Corners in any order give the same figure, inside [left, right) x [top, bottom).
        for (PaintKind kind : {PaintKind::Rect, PaintKind::Circ}) {
            Canvas a({200, 120});
            Canvas b({200, 120});
            drawShape(a, {110, 60, 10, 10, kind});
            drawShape(b, {10, 10, 110, 60, kind});
            QCOMPARE(inked(a), QRect(10, 10, 100, 50));
            QCOMPARE(a.image(), b.image());
        }
        // A line leaves out its end point; the width-2 pen makes it two pixels thick.
        Canvas line({40, 20});
        drawShape(line, {5, 10, 25, 10, PaintKind::Line});
        QCOMPARE(inked(line), QRect(5, 9, 20, 2));
        // A point is a dot at the clicked pixel.
        Canvas dot({20, 20});
        drawShape(dot, {7, 7, 0, 0, PaintKind::Point});
        QVERIFY(dot.pixel(7, 7) == Canvas::Blue);
        QVERIFY(inked(dot).width() <= 2 && inked(dot).height() <= 2);
    }

    void secondXorRestoresThePicture_data() {
        QTest::addColumn<int>("figure");
        QTest::newRow("line") << int(PaintKind::Line);
        QTest::newRow("rectangle") << int(PaintKind::Rect);
        QTest::newRow("ellipse") << int(PaintKind::Circ);
        QTest::newRow("small box") << int(PaintKind::Rect) + 10;
    }
    void secondXorRestoresThePicture() {
        QFETCH(int, figure);
        const bool small = figure >= 10;
        const auto kind = PaintKind(figure % 10);
        Canvas canvas({120, 100});
        // Something under the preview, so restoring is more than repainting white.
        drawShape(canvas, {0, 50, 120, 50, PaintKind::Line});
        drawShape(canvas, {60, 0, 60, 100, PaintKind::Line});
        const QImage before = canvas.image();
        const int x2 = small ? 13 : 100;
        const int y2 = small ? 11 : 90;
        xorPreview(canvas, kind, 10, 8, x2, y2);
        QVERIFY(canvas.image() != before);
        // Yellow over white shows the finished shapes' blue.
        QVERIFY(count(canvas, Canvas::Blue) > count(Canvas(before.size()), Canvas::Blue));
        xorPreview(canvas, kind, 10, 8, x2, y2);
        QCOMPARE(canvas.image(), before);
    }

    void fillStaysInsideClosedFigures() {
        for (PaintKind kind : {PaintKind::Rect, PaintKind::Circ}) {
            Canvas canvas({160, 120});
            drawShape(canvas, {20, 20, 140, 100, kind});
            fill(canvas, 80, 60);
            QCOMPARE(canvas.pixel(80, 60), Canvas::Black);
            QCOMPARE(canvas.pixel(5, 5), Canvas::White);
            QCOMPARE(canvas.pixel(150, 110), Canvas::White);
            QVERIFY(inked(canvas) == QRect(20, 20, 120, 80));
            // Every pixel inside the outline turned black: no white pockets left behind.
            if (kind == PaintKind::Rect)
                QCOMPARE(count(canvas, Canvas::Black), (120 - 4) * (80 - 4));
        }
    }

    void fillDoesNotCrossADiagonalLine() {
        for (const QLine& l :
             {QLine(0, 0, 100, 100), QLine(0, 100, 100, 0), QLine(0, 0, 100, 37)}) {
            Canvas canvas({100, 100});
            drawShape(canvas, {l.x1(), l.y1(), l.x2(), l.y2(), PaintKind::Line});
            const bool rising = l.y1() > l.y2();
            fill(canvas, rising ? 5 : 90, 5);
            QCOMPARE(canvas.pixel(rising ? 95 : 5, 95), Canvas::White);
            QCOMPARE(canvas.pixel(rising ? 5 : 90, 5), Canvas::Black);
        }
    }

    void fillReplacesOnlyTheSeedColour() {
        Canvas canvas({50, 40});
        drawShape(canvas, {10, 10, 30, 30, PaintKind::Rect});
        const QImage before = canvas.image();
        fill(canvas, 10, 10); // on the blue outline
        QCOMPARE(canvas.image(), before);
        fill(canvas, -1, 5); // off the surface
        fill(canvas, 50, 5);
        QCOMPARE(canvas.image(), before);
        fill(canvas, 20, 20);
        const QImage filled = canvas.image();
        fill(canvas, 20, 20); // inside a black region now
        QCOMPARE(canvas.image(), filled);
        // The whole surface fills up to its edges, around the figure.
        fill(canvas, 0, 0);
        QCOMPARE(count(canvas, Canvas::White), 0);
        QCOMPARE(canvas.pixel(10, 10), Canvas::Blue);
    }

    void fillFindsEveryPocketOfAWindingRegion() {
        // Comb-shaped walls force runs that spill past their parents on both sides.
        // Seeded at either end, the fill has to wind both ways.
        for (int seedX : {1, 59}) {
            Canvas canvas({61, 41});
            for (int x = 4; x < 60; x += 8) {
                const bool fromTop = (x / 8) % 2 == 0;
                drawShape(canvas, {x, fromTop ? 0 : 6, x, fromTop ? 35 : 41, PaintKind::Line});
            }
            const int white = count(canvas, Canvas::White);
            fill(canvas, seedX, 1);
            QCOMPARE(count(canvas, Canvas::White), 0);
            QCOMPARE(count(canvas, Canvas::Black), white);
        }
    }

    void historyDrawnInOneBatchMatchesShapeByShape() {
        // Fills between figures must see what the batch drew before them, and
        // figures after a fill must land on the filled pixels.
        const std::vector<PaintRecord> shapes{
            {10, 10, 110, 90, PaintKind::Rect}, {60, 50, 0, 0, PaintKind::Fill},
            {20, 20, 100, 80, PaintKind::Circ}, {60, 50, 0, 0, PaintKind::Fill},
            {0, 95, 160, 5, PaintKind::Line},   {130, 20, 0, 0, PaintKind::Point},
            {5, 5, 0, 0, PaintKind::Fill},      {120, 30, 150, 110, PaintKind::Circ},
            {135, 70, 0, 0, PaintKind::Fill},   {125, 100, 155, 115, PaintKind::Rect}};
        Canvas each({160, 120});
        for (const PaintRecord& shape : shapes)
            drawShape(each, shape);
        Canvas batched({160, 120});
        drawShapes(batched, shapes);
        QCOMPARE(batched.image(), each.image());
        // A reset inside a batch paints on the new surface, not the old one.
        Canvas again({40, 30});
        {
            Canvas::Batch batch(again);
            drawShape(again, {0, 0, 40, 30, PaintKind::Line});
            again.reset({160, 120});
            drawShapes(again, shapes);
        }
        QCOMPARE(again.image(), each.image());
    }
};

QTEST_MAIN(CanvasTest)
#include "CanvasTest.moc"
