#include "Tool.h"

#include "Canvas.h"

namespace kolvaro {

namespace {

void lineOutline(Canvas& canvas, const PaintRecord& figure) {
    canvas.moveTo(figure.x1, figure.y1);
    canvas.lineTo(figure.x2, figure.y2);
}

void rectOutline(Canvas& canvas, const PaintRecord& figure) {
    canvas.rectangle(figure.x1, figure.y1, figure.x2, figure.y2);
}

void circleOutline(Canvas& canvas, const PaintRecord& figure) {
    canvas.ellipse(figure.x1, figure.y1, figure.x2, figure.y2);
}

} // namespace

constexpr std::array<ToolInfo, paintKindCount> toolTable{{
    {PaintKind::Point, "&Point", "Point1", "CPoint", ":/icons/point.svg", "Paint: Point", "P",
     nullptr},
    {PaintKind::Line, "&Line", "Line1", "CLine", ":/icons/line.svg", "Paint: Line", "L",
     lineOutline},
    {PaintKind::Rect, "&Rectangle", "Rectangle1", "CRect", ":/icons/rect.svg", "Paint: Rectangle",
     "R", rectOutline},
    {PaintKind::Circ, "&Circle", "Circle1", "CCirc", ":/icons/circle.svg", "Paint: Circle", "C",
     circleOutline},
    {PaintKind::Fill, "&Fill area", "Fillarea1", "CFill", ":/icons/fill.svg", "Paint: Fill area",
     "F", nullptr},
}};

static_assert([] {
    for (std::size_t i = 0; i < toolTable.size(); ++i)
        if (static_cast<std::size_t>(toolTable[i].kind) != i)
            return false;
    return true;
}());

} // namespace kolvaro
