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

const std::array<ToolInfo, toolCount> toolTable{{
    {Tool::Point, PaintKind::Point, "&Point", "Point1", "CPoint", ":/icons/point.svg",
     "Paint: Point", "P", nullptr},
    {Tool::Line, PaintKind::Line, "&Line", "Line1", "CLine", ":/icons/line.svg", "Paint: Line", "L",
     lineOutline},
    {Tool::Rect, PaintKind::Rect, "&Rectangle", "Rectangle1", "CRect", ":/icons/rect.svg",
     "Paint: Rectangle", "R", rectOutline},
    {Tool::Circle, PaintKind::Circ, "&Circle", "Circle1", "CCirc", ":/icons/circle.svg",
     "Paint: Circle", "C", circleOutline},
    {Tool::Fill, PaintKind::Fill, "&Fill area", "Fillarea1", "CFill", ":/icons/fill.svg",
     "Paint: Fill area", "F", nullptr},
}};

const ToolInfo& toolDrawing(PaintKind kind) {
    for (const ToolInfo& info : toolTable) {
        if (info.kind == kind)
            return info;
    }
    return toolTable.front();
}

} // namespace kolvaro
