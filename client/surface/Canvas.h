#pragma once

#include <QImage>
#include <QPoint>
#include <QSize>

#include <cstdint>
#include <memory>

class QPainter;

namespace kolvaro {

// A drawing surface with the small pen-and-brush model the drawing areas use.
// Geometry follows the classic raster conventions: a line leaves out its end
// point, and a rectangle or ellipse lies inside the box [left, right) x
// [top, bottom) whatever order its corners come in.
class Canvas {
public:
    // Colours travel as 0x00BBGGRR.
    using Colour = std::uint32_t;
    static constexpr Colour Blue = 0xFF0000;
    static constexpr Colour Yellow = 0x00FFFF;
    static constexpr Colour White = 0xFFFFFF;
    static constexpr Colour Black = 0x000000;

    enum class PenStyle { Solid, Dotted };
    enum class PenMode { Copy, Xor };
    enum class BrushStyle { Solid, Clear };

    struct Pen {
        Colour colour = Black;
        int width = 1;
        PenStyle style = PenStyle::Solid;
        PenMode mode = PenMode::Copy;
    };
    struct Brush {
        Colour colour = White;
        BrushStyle style = BrushStyle::Solid;
    };

    explicit Canvas(QSize size = {});

    // Starts over with a white surface of the given size.
    void reset(QSize size);
    // Goes on from the given picture, which becomes the surface; pen and brush stay.
    void setImage(QImage picture);
    QSize size() const { return image_.size(); }
    const QImage& image() const { return image_; }
    Colour pixel(int x, int y) const;

    Pen& pen() { return pen_; }
    const Pen& pen() const { return pen_; }
    Brush& brush() { return brush_; }
    const Brush& brush() const { return brush_; }

    void moveTo(int x, int y) { position_ = {x, y}; }
    void lineTo(int x, int y);
    void rectangle(int x1, int y1, int x2, int y2);
    void ellipse(int x1, int y1, int x2, int y2);
    // Paints [left, right) x [top, bottom) with the brush colour.
    void fillRect(int x1, int y1, int x2, int y2);
    // Replaces the 4-connected region of `surface` around (x, y) with the
    // brush colour; a seed of any other colour changes nothing.
    void floodFill(int x, int y, Colour surface);

    static QRgb toRgb(Colour colour);
    static Colour fromRgb(QRgb rgb);

    // While a Batch lives, every figure is drawn with one painter: opening a
    // painter costs far more than drawing a short line, which counts when a
    // whole history is redrawn. Flood fills work on the pixels, so the
    // painter is closed around each of them. A batch inside another leaves
    // the outer one in charge.
    class Batch {
    public:
        explicit Batch(Canvas& canvas);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        Canvas& canvas_;
        std::unique_ptr<QPainter> painter_;
    };

private:
    enum class Figure { Rectangle, Ellipse };
    // The painter of the Batch in progress; a copy of the canvas has none.
    struct BatchPainter {
        QPainter* painter = nullptr;
        BatchPainter() = default;
        BatchPainter(const BatchPainter&) {}
        BatchPainter& operator=(const BatchPainter&) { return *this; }
    };
    // Runs draw(painter) with a painter prepared for `mode`.
    template <typename Draw> void paint(PenMode mode, Draw draw);
    void outline(Figure figure, int x1, int y1, int x2, int y2);
    void fillBox(const QRect& box, Colour colour, PenMode mode);
    void suspendBatch();
    void resumeBatch();

    QImage image_;
    Pen pen_;
    Brush brush_;
    QPoint position_;
    BatchPainter batch_;
};

} // namespace kolvaro
