#include "JpegImage.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

QByteArray aboutJpeg() {
    QFile f(QStringLiteral(ABOUT_JPEG));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

// Offset of the first byte after the marker segment `marker` (0xFFxx).
qsizetype segmentEnd(const QByteArray& jpeg, unsigned char marker) {
    qsizetype i = 2;
    while (i + 4 <= jpeg.size()) {
        const auto m = static_cast<unsigned char>(jpeg[i + 1]);
        const int len = (static_cast<unsigned char>(jpeg[i + 2]) << 8) |
                        static_cast<unsigned char>(jpeg[i + 3]);
        if (m == marker)
            return i + 2 + len;
        i += 2 + len;
    }
    return -1;
}

void expectError(const QByteArray& data, const char* what) {
    QString error;
    QImage image = kolvaro::decodeJpeg(data, &error);
    EXPECT_TRUE(image.isNull()) << what;
    EXPECT_FALSE(error.isEmpty()) << what;
}

TEST(JpegImage, DecodesTheAboutPictureWithItsColours) {
    QString error;
    QImage image = kolvaro::decodeJpeg(aboutJpeg(), &error);
    ASSERT_FALSE(image.isNull()) << error.toStdString();
    EXPECT_EQ(image.size(), QSize(400, 493));
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    // The pale yellow sun and the blue lake: catches swapped channels.
    QColor sun = image.pixelColor(300, 110);
    EXPECT_GT(sun.red(), 230);
    EXPECT_GT(sun.green(), 215);
    EXPECT_LT(sun.blue(), 200);
    QColor lake = image.pixelColor(200, 440);
    EXPECT_GT(lake.blue(), lake.red() + 80);
    EXPECT_EQ(lake.alpha(), 255);
}

TEST(JpegImage, TruncatedDataIsAnErrorAtEveryStage) {
    const QByteArray good = aboutJpeg();
    const qsizetype scanStart = segmentEnd(good, 0xDA);
    ASSERT_GT(scanStart, 0);
    expectError(good.left(2), "only the start marker");
    expectError(good.left(scanStart - 3), "inside the headers");
    expectError(good.left(scanStart), "no picture data");
    expectError(good.left(scanStart + (good.size() - scanStart) / 2), "half the picture data");
    expectError(good.left(good.size() - 2), "no end marker");
}

TEST(JpegImage, CorruptOrForeignDataIsAnError) {
    expectError(QByteArray(), "empty");
    expectError(QByteArray("GIF89a\x01\x00\x01\x00", 10), "not a JPEG");

    const QByteArray good = aboutJpeg();
    const qsizetype sof = segmentEnd(good, 0xC0);
    ASSERT_GT(sof, 0);
    // SOF0 body: length(2) precision(1) height(2) width(2) components(1) ...
    const qsizetype sofBody = sof - 17 + 2;

    QByteArray noHeight = good;
    noHeight[sofBody + 1] = 0;
    noHeight[sofBody + 2] = 0;
    expectError(noHeight, "height 0");

    QByteArray huge = good;
    huge[sofBody + 3] = char(0xEA);
    huge[sofBody + 4] = char(0x60);
    expectError(huge, "60000 pixels wide");

    QByteArray scrambled = good;
    const qsizetype scanStart = segmentEnd(good, 0xDA);
    for (qsizetype i = 0; i < 64; ++i)
        scrambled[scanStart + 200 + i] = char(0xFF);
    expectError(scrambled, "a run of 0xFF in the picture data");
}

} // namespace
