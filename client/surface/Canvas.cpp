#include "Canvas.h"

#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

namespace kolvaro {

namespace {

QRect boxOf(int x1, int y1, int x2, int y2) {
    return QRect(QPoint(std::min(x1, x2), std::min(y1, y2)),
                 QSize(std::abs(x2 - x1), std::abs(y2 - y1)));
}

void preparePainter(QPainter& painter, Canvas::PenMode mode) {
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setCompositionMode(mode == Canvas::PenMode::Xor
                                   ? QPainter::RasterOp_SourceXorDestination
                                   : QPainter::CompositionMode_SourceOver);
}

QPen qtPen(const Canvas::Pen& pen) {
    QPen result(QColor::fromRgb(Canvas::toRgb(pen.colour)));
    result.setWidth(std::max(1, pen.width));
    result.setStyle(pen.style == Canvas::PenStyle::Dotted ? Qt::DotLine : Qt::SolidLine);
    result.setCapStyle(Qt::FlatCap);
    result.setJoinStyle(Qt::MiterJoin);
    return result;
}

// Pixels compare by colour alone: the alpha byte of an RGB32 surface means nothing.
constexpr QRgb rgbMask = 0x00FFFFFF;

} // namespace

Canvas::Canvas(QSize size) {
    reset(size);
}

Canvas::Batch::Batch(Canvas& canvas) : canvas_(canvas), painter_(std::make_unique<QPainter>()) {
    if (canvas_.batch_.painter)
        return; // an outer batch paints already
    canvas_.batch_.painter = painter_.get();
    canvas_.resumeBatch();
}

Canvas::Batch::~Batch() {
    if (canvas_.batch_.painter != painter_.get())
        return;
    canvas_.suspendBatch();
    canvas_.batch_.painter = nullptr;
}

void Canvas::suspendBatch() {
    if (batch_.painter && batch_.painter->isActive())
        batch_.painter->end();
}

void Canvas::resumeBatch() {
    if (batch_.painter && !image_.isNull())
        batch_.painter->begin(&image_);
}

template <typename Draw> void Canvas::paint(PenMode mode, Draw draw) {
    if (image_.isNull())
        return;
    if (batch_.painter && batch_.painter->isActive()) {
        preparePainter(*batch_.painter, mode);
        draw(*batch_.painter);
        return;
    }
    QPainter painter(&image_);
    preparePainter(painter, mode);
    draw(painter);
}

void Canvas::reset(QSize size) {
    suspendBatch();
    image_ = QImage(size.expandedTo(QSize(0, 0)), QImage::Format_RGB32);
    image_.fill(toRgb(White));
    resumeBatch();
}

void Canvas::setImage(QImage picture) {
    suspendBatch();
    image_ = picture.format() == QImage::Format_RGB32
                 ? std::move(picture)
                 : picture.convertToFormat(QImage::Format_RGB32);
    resumeBatch();
}

QRgb Canvas::toRgb(Colour colour) {
    return qRgb(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

Canvas::Colour Canvas::fromRgb(QRgb rgb) {
    return Colour(qRed(rgb)) | Colour(qGreen(rgb)) << 8 | Colour(qBlue(rgb)) << 16;
}

Canvas::Colour Canvas::pixel(int x, int y) const {
    if (!image_.valid(x, y))
        return White;
    return fromRgb(image_.pixel(x, y));
}

void Canvas::lineTo(int x, int y) {
    const QPoint from = position_;
    position_ = {x, y};
    if (from == position_)
        return;
    paint(pen_.mode, [&](QPainter& painter) {
        painter.setPen(qtPen(pen_));
        // Endpoints on pixel corners make a flat-capped pen stop short of the end point.
        painter.drawLine(QPointF(from), QPointF(position_));
    });
}

void Canvas::rectangle(int x1, int y1, int x2, int y2) {
    outline(Figure::Rectangle, x1, y1, x2, y2);
    if (brush_.style == BrushStyle::Solid) {
        const int w = std::max(1, pen_.width);
        fillBox(boxOf(x1, y1, x2, y2).adjusted(w, w, -w, -w), brush_.colour, PenMode::Copy);
    }
}

void Canvas::ellipse(int x1, int y1, int x2, int y2) {
    if (brush_.style == BrushStyle::Solid) {
        paint(PenMode::Copy, [&](QPainter& painter) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor::fromRgb(toRgb(brush_.colour)));
            painter.drawEllipse(QRectF(boxOf(x1, y1, x2, y2)));
        });
    }
    outline(Figure::Ellipse, x1, y1, x2, y2);
}

void Canvas::fillRect(int x1, int y1, int x2, int y2) {
    fillBox(boxOf(x1, y1, x2, y2), brush_.colour, PenMode::Copy);
}

void Canvas::outline(Figure figure, int x1, int y1, int x2, int y2) {
    const QRect box = boxOf(x1, y1, x2, y2);
    if (image_.isNull() || box.isEmpty())
        return;
    const int w = std::max(1, pen_.width);
    if (box.width() <= 2 * w || box.height() <= 2 * w) {
        // Too small for a hollow figure: the pen covers the whole box.
        fillBox(box, pen_.colour, pen_.mode);
        return;
    }
    // The pen runs centred on a path inset by half its width, so that the
    // figure stays inside the box.
    const qreal half = w / 2.0;
    const QRectF path = QRectF(box).adjusted(half, half, -half, -half);
    paint(pen_.mode, [&](QPainter& painter) {
        painter.setPen(qtPen(pen_));
        painter.setBrush(Qt::NoBrush);
        if (figure == Figure::Rectangle)
            painter.drawRect(path);
        else
            painter.drawEllipse(path);
    });
}

void Canvas::fillBox(const QRect& box, Colour colour, PenMode mode) {
    const QRect clipped = box.intersected(image_.rect());
    if (clipped.isEmpty())
        return;
    paint(mode,
          [&](QPainter& painter) { painter.fillRect(clipped, QColor::fromRgb(toRgb(colour))); });
}

namespace {

// A 4-connected span fill that replaces exactly the pixels of one colour
// reachable from the seed. Each entry on the stack is a painted run [left,
// right] on row y whose neighbours on row y + dy are still to be scanned.
class SpanFill {
public:
    SpanFill(QImage& image, QRgb target, QRgb ink) : image_(image), target_(target), ink_(ink) {}

    void from(int x, int y) {
        if (!inside(row(y), x))
            return;
        const auto [seedLeft, seedRight] = paintRun(row(y), x);
        std::vector<Span> stack;
        stack.push_back({seedLeft, seedRight, y, 1});
        stack.push_back({seedLeft, seedRight, y, -1});
        while (!stack.empty()) {
            const Span span = stack.back();
            stack.pop_back();
            scanBeside(span, stack);
        }
    }

private:
    struct Span {
        int left, right, y, dy;
    };

    QRgb* row(int y) { return reinterpret_cast<QRgb*>(image_.scanLine(y)); }
    bool inside(const QRgb* line, int x) const { return (line[x] & rgbMask) == target_; }

    // Paints the run of the target colour through x; returns its ends.
    std::pair<int, int> paintRun(QRgb* line, int x) {
        int left = x;
        while (left > 0 && inside(line, left - 1))
            --left;
        int right = x;
        while (right + 1 < image_.width() && inside(line, right + 1))
            ++right;
        std::fill(line + left, line + right + 1, ink_);
        return std::pair{left, right};
    }

    // Paints the runs on the row beside `span` and queues their own neighbours.
    void scanBeside(const Span& span, std::vector<Span>& stack) {
        const int ny = span.y + span.dy;
        if (ny < 0 || ny >= image_.height())
            return;
        QRgb* line = row(ny);
        for (int nx = span.left; nx <= span.right; ++nx) {
            if (!inside(line, nx))
                continue;
            const auto [left, right] = paintRun(line, nx);
            stack.push_back({left, right, ny, span.dy});
            // A run wider than its parent also borders unscanned pixels on
            // the parent's row.
            if (left < span.left - 1)
                stack.push_back({left, span.left - 2, ny, -span.dy});
            if (right > span.right + 1)
                stack.push_back({span.right + 2, right, ny, -span.dy});
            nx = right;
        }
    }

    QImage& image_;
    const QRgb target_;
    const QRgb ink_;
};

} // namespace

void Canvas::floodFill(int x, int y, Colour surface) {
    if (!image_.valid(x, y))
        return;
    const QRgb target = toRgb(surface) & rgbMask;
    const QRgb ink = toRgb(brush_.colour);
    if ((ink & rgbMask) == target)
        return; // nothing would change, and the scan would never end
    // The fill writes the pixels itself; a painter must not be open on them.
    suspendBatch();
    struct Resume {
        Canvas& canvas;
        ~Resume() { canvas.resumeBatch(); }
    } resume{*this};
    SpanFill(image_, target, ink).from(x, y);
}

} // namespace kolvaro
