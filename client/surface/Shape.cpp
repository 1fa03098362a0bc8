#include "Shape.h"

#include "Canvas.h"

namespace kolvaro {

namespace {

void finishedPen(Canvas& canvas) {
    Canvas::Pen& pen = canvas.pen();
    pen.colour = Canvas::Blue;
    pen.width = 2;
    pen.style = Canvas::PenStyle::Solid;
    pen.mode = Canvas::PenMode::Copy;
}

} // namespace

void drawShape(Canvas& canvas, const PaintRecord& shape) {
    switch (shape.kind) {
    case PaintKind::Point:
        finishedPen(canvas);
        canvas.moveTo(shape.x1, shape.y1);
        canvas.lineTo(shape.x1 + 1, shape.y1 + 1);
        break;
    case PaintKind::Line:
        finishedPen(canvas);
        canvas.moveTo(shape.x1, shape.y1);
        canvas.lineTo(shape.x2, shape.y2);
        break;
    case PaintKind::Rect:
    case PaintKind::Circ:
        finishedPen(canvas);
        canvas.brush().style = Canvas::BrushStyle::Clear;
        if (shape.kind == PaintKind::Rect)
            canvas.rectangle(shape.x1, shape.y1, shape.x2, shape.y2);
        else
            canvas.ellipse(shape.x1, shape.y1, shape.x2, shape.y2);
        break;
    case PaintKind::Fill:
        canvas.brush() = {Canvas::Black, Canvas::BrushStyle::Solid};
        canvas.floodFill(shape.x1, shape.y1, Canvas::White);
        break;
    }
}

void drawShapes(Canvas& canvas, const std::vector<PaintRecord>& shapes) {
    Canvas::Batch batch(canvas);
    for (const PaintRecord& shape : shapes)
        drawShape(canvas, shape);
}

} // namespace kolvaro
