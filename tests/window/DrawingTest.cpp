// The drawing surface and the About picture's JPEG decoder.
#include "Canvas.h"
#include "JpegImage.h"
#include "Shape.h"

#include <QFile>
#include <QTest>

namespace {

using K = PaintKind;
const QRgb white = qRgb(255, 255, 255), blue = qRgb(0, 0, 255), black = qRgb(0, 0, 0);

QImage picture(QSize size, const std::vector<PaintRecord>& shapes) {
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

void band(Canvas& canvas, const PaintRecord& f) {
    canvas.pen() = {Canvas::Yellow, 2, Canvas::PenStyle::Dotted, Canvas::PenMode::Xor};
    canvas.brush().style = Canvas::BrushStyle::Clear;
    canvas.moveTo(f.x1, f.y1);
    if (f.kind == K::Line)
        canvas.lineTo(f.x2, f.y2);
    else
        (canvas.*(f.kind == K::Rect ? &Canvas::rectangle : &Canvas::ellipse))(f.x1, f.y1, f.x2,
                                                                              f.y2);
}

} // namespace

class DrawingTest : public QObject {
    Q_OBJECT
private slots:
    void figuresAreBlueAndStayInsideTheirBox() {
        for (K kind : {K::Rect, K::Circ}) { // corners in any order
            const QImage one = picture({200, 120}, {{110, 60, 10, 10, kind}});
            QCOMPARE(one, picture({200, 120}, {{10, 10, 110, 60, kind}}));
            QCOMPARE(scan(one, blue).first, QRect(10, 10, 100, 50));
        }
        // Two pixels thick, the end point left out.
        QCOMPARE(scan(picture({40, 20}, {{5, 10, 25, 10, K::Line}}), blue),
                 std::pair(QRect(5, 9, 20, 2), 40));
        const auto dot = scan(picture({20, 20}, {{7, 7, 0, 0, K::Point}}), blue);
        QVERIFY(dot.first.contains(7, 7) && dot.first.width() <= 2 && dot.first.height() <= 2);
        QCOMPARE(Canvas::fromRgb(qRgb(0x12, 0x34, 0x56)), Canvas::Colour(0x563412));
    }

    void secondXorBandRestoresThePicture() {
        for (int x2 : {100, 13}) {
            for (K kind : {K::Line, K::Rect, K::Circ}) {
                Canvas canvas({120, 100});
                drawShapes(canvas, {{0, 50, 120, 50, K::Line}, {60, 0, 60, 100, K::Line}});
                const QImage before = canvas.image();
                band(canvas, {10, 8, x2, x2 - 2, kind});
                QVERIFY(scan(canvas.image(), blue).second >
                        scan(before, blue).second); // yellow on white
                band(canvas, {10, 8, x2, x2 - 2, kind});
                QCOMPARE(canvas.image(), before);
            }
        }
    }

    void fillReplacesExactlyTheSeedColourUpToItsWalls() {
        for (K kind : {K::Rect, K::Circ}) {
            const QImage in =
                picture({160, 120}, {{20, 20, 140, 100, kind}, {80, 60, 0, 0, K::Fill}});
            QCOMPARE(in.pixel(80, 60), black);
            QCOMPARE(scan(in, black).first, QRect(20, 20, 120, 80));
            QVERIFY(kind != K::Rect || scan(in, black).second == 116 * 76); // no pockets left
        }
        for (QLine l : {QLine(0, 0, 100, 100), QLine(0, 100, 100, 0), QLine(0, 0, 100, 37)}) {
            const bool rising = l.y1() > l.y2();
            const QImage cut = picture({100, 100}, {{l.x1(), l.y1(), l.x2(), l.y2(), K::Line},
                                                    {rising ? 5 : 90, 5, 0, 0, K::Fill}});
            QCOMPARE(cut.pixel(rising ? 95 : 5, 95), white);
        }
        // On the outline or off the surface nothing changes; a second fill
        // of the same region ends; the rest fills up to the surface's edges.
        const std::vector<PaintRecord> box{{10, 10, 30, 30, K::Rect}};
        const QImage outlined = picture({50, 40}, box);
        auto fills = box;
        for (QPoint at : {QPoint(10, 10), QPoint(-1, 5), QPoint(50, 5)})
            fills.push_back({at.x(), at.y(), 0, 0, K::Fill});
        QCOMPARE(picture({50, 40}, fills), outlined);
        fills.insert(fills.end(),
                     {{20, 20, 0, 0, K::Fill}, {20, 20, 0, 0, K::Fill}, {0, 0, 0, 0, K::Fill}});
        QCOMPARE(scan(picture({50, 40}, fills), black).second,
                 50 * 40 - scan(outlined, blue).second);
        // Comb-shaped walls: runs spill past their parents on both sides.
        for (int seedX : {1, 59}) {
            std::vector<PaintRecord> comb;
            for (int x = 4; x < 60; x += 8)
                comb.push_back({x, (x / 8) % 2 ? 6 : 0, x, (x / 8) % 2 ? 41 : 35, K::Line});
            const int open = scan(picture({61, 41}, comb), white).second;
            comb.push_back({seedX, 1, 0, 0, K::Fill});
            QCOMPARE(scan(picture({61, 41}, comb), black).second, open);
        }
    }

    void historyDrawnInOneBatchMatchesShapeByShape() {
        const std::vector<PaintRecord> shapes{
            {10, 10, 110, 90, K::Rect}, {60, 50, 0, 0, K::Fill},      {20, 20, 100, 80, K::Circ},
            {60, 50, 0, 0, K::Fill},    {0, 95, 160, 5, K::Line},     {5, 5, 0, 0, K::Fill},
            {130, 20, 0, 0, K::Point},  {120, 30, 150, 110, K::Circ}, {135, 70, 0, 0, K::Fill}};
        Canvas each({160, 120});
        for (const PaintRecord& shape : shapes)
            drawShape(each, shape);
        Canvas batched({40, 30});
        {
            Canvas::Batch batch(batched);
            drawShape(batched, {0, 0, 40, 30, K::Line});
            batched.reset({160, 120}); // a reset inside a batch paints on the new surface
            drawShapes(batched, shapes);
        }
        QCOMPARE(batched.image(), each.image());
    }

    void jpegDecodesTheAboutPictureAndRefusesDamagedData() {
        QFile file(QStringLiteral(ABOUT_JPEG));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray good = file.readAll();
        QString error;
        const QImage image = kolvaro::decodeJpeg(good, &error);
        QCOMPARE(image.size(), QSize(400, 493));
        QCOMPARE(image.format(), QImage::Format_RGB32);
        // A pale yellow sun and a blue lake: catches swapped channels.
        const QColor sun = image.pixelColor(300, 110), lake = image.pixelColor(200, 440);
        QVERIFY(sun.red() > 230 && sun.green() > 215 && sun.blue() < 200);
        QVERIFY(lake.blue() > lake.red() + 80);
        // Where the frame header and the scan header end.
        qsizetype sof = 0, scan = 0;
        for (qsizetype i = 2; i + 4 <= good.size() && !scan;) {
            const qsizetype end = i + 2 + (uchar(good[i + 2]) << 8 | uchar(good[i + 3]));
            sof = uchar(good[i + 1]) == 0xC0 ? end : sof;
            scan = uchar(good[i + 1]) == 0xDA ? end : 0;
            i = end;
        }
        QByteArray flat = good, wide = good, scrambled = good;
        flat[sof - 14] = flat[sof - 13] = 0;   // height 0
        wide.replace(sof - 12, 2, "\xEA\x60"); // 60000 pixels wide
        scrambled.replace(scan + 200, 64, QByteArray(64, char(0xFF)));
        for (const QByteArray& bad : {QByteArray(), good.left(2), good.left(scan - 3),
                                      good.left(scan), good.left((scan + good.size()) / 2),
                                      good.left(good.size() - 2), flat, wide, scrambled}) {
            error.clear();
            QVERIFY(kolvaro::decodeJpeg(bad, &error).isNull());
            QVERIFY(!error.isEmpty());
        }
        QVERIFY(kolvaro::decodeJpeg("GIF89a", &error).isNull());
        QVERIFY2(error.contains("Not a JPEG file"), qPrintable(error)); // libjpeg's own words
    }
};

QTEST_MAIN(DrawingTest)
#include "DrawingTest.moc"
