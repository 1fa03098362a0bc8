#include "Area.h"

#include "AreaHost.h"
#include "ServerLink.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

struct TClientArea::DragTool {
    Tool tool;
    bool TClientArea::*previewShown;
    void (TClientArea::*drawPreview)();
    void (ServerLink::*send)(int, int, int, int, const std::string&);
};

const std::vector<TClientArea::DragTool>& TClientArea::dragTools() {
    static const std::vector<DragTool> tools{
        {Tool::Line, &TClientArea::linePreviewShown_, &TClientArea::DrawLinePreview,
         &ServerLink::paintLine},
        {Tool::Rect, &TClientArea::rectPreviewShown_, &TClientArea::DrawRectPreview,
         &ServerLink::paintRect},
        {Tool::Circle, &TClientArea::circPreviewShown_, &TClientArea::DrawCircPreview,
         &ServerLink::paintCirc},
    };
    return tools;
}

TClientArea::TClientArea(AreaHost& host, ServerLink& link, QWidget* parent)
    : QWidget(parent), host_(host), link_(link) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::CrossCursor);
    setMouseTracking(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    canvas_.reset(size());
}

std::string TClientArea::caption() const {
    return windowTitle().toStdString();
}

void TClientArea::setCaption(const std::string& owner) {
    setWindowTitle(QString::fromStdString(owner));
}

void TClientArea::DrawShape(const PaintRecord& shape) {
    drawNow(shape);
    history_.push_back(shape);
}

void TClientArea::AddShape(int x1, int y1, int x2, int y2, int code) {
    if (PaintRecord::validCode(code))
        history_.push_back(PaintRecord::fromCode(code, x1, y1, x2, y2));
}

void TClientArea::ClearShapes() {
    history_.clear();
}

void TClientArea::ClearSurface() {
    canvas_.brush() = {Canvas::White, Canvas::BrushStyle::Solid};
    canvas_.fillRect(0, 0, canvas_.size().width(), canvas_.size().height());
    update();
}

void TClientArea::drawNow(const PaintRecord& shape) {
    drawShape(canvas_, shape);
    update();
}

void TClientArea::rebuildSurface() {
    canvas_.reset(size());
    for (const PaintRecord& shape : history_)
        drawShape(canvas_, shape);
    // Previews were on the old surface only.
    linePreviewShown_ = rectPreviewShown_ = circPreviewShown_ = false;
    update();
}

void TClientArea::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.drawImage(event->rect(), canvas_.image(), event->rect());
}

void TClientArea::resizeEvent(QResizeEvent*) {
    rebuildSurface();
}

void TClientArea::mousePressEvent(QMouseEvent* event) {
    leftPressed_ = event->button() == Qt::LeftButton;
    if (!leftPressed_)
        return;
    const Tool tool = host_.currentTool();
    for (const DragTool& drag : dragTools()) {
        if (tool != drag.tool)
            continue;
        dragging_ = true;
        startX_ = curX_ = event->position().toPoint().x();
        startY_ = curY_ = event->position().toPoint().y();
    }
}

void TClientArea::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    host_.showPosition(at.x(), at.y());
    const Tool tool = host_.currentTool();
    if (tool == Tool::Point || tool == Tool::Fill) {
        curX_ = at.x();
        curY_ = at.y();
    }
    for (const DragTool& drag : dragTools()) {
        if (tool != drag.tool || !dragging_)
            continue;
        if (this->*drag.previewShown)
            (this->*drag.drawPreview)(); // the second XOR erases the old one
        this->*drag.previewShown = true;
        curX_ = at.x();
        curY_ = at.y();
        (this->*drag.drawPreview)();
    }
}

void TClientArea::mouseReleaseEvent(QMouseEvent* event) {
    const Tool tool = host_.currentTool();
    for (const DragTool& drag : dragTools()) {
        if (tool != drag.tool || !dragging_)
            continue;
        // The last preview stays until the server's echo draws the shape.
        dragging_ = false;
        this->*drag.previewShown = false;
        (link_.*drag.send)(startX_, startY_, curX_, curY_, host_.activeAreaName());
    }
    const bool click = leftPressed_ && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    leftPressed_ = false;
    if (click)
        FormClick();
}

void TClientArea::FormClick() {
    // The shape is shown at once; the history gets it from the server's echo.
    const Tool tool = host_.currentTool();
    if (tool == Tool::Point) {
        drawNow({curX_, curY_, 0, 0, PaintKind::Point});
        link_.paintPoint(curX_, curY_, host_.activeAreaName());
    }
    if (tool == Tool::Fill) {
        drawNow({curX_, curY_, 0, 0, PaintKind::Fill});
        link_.paintFill(curX_, curY_, host_.activeAreaName());
    }
}

void TClientArea::drawPreview(PaintKind figure) {
    Canvas::Pen& pen = canvas_.pen();
    pen.width = 2;
    pen.colour = Canvas::Yellow;
    const Canvas::Pen saved = pen;
    const Canvas::BrushStyle savedBrush = canvas_.brush().style;
    pen.mode = Canvas::PenMode::Xor;
    pen.style = Canvas::PenStyle::Dotted;
    canvas_.brush().style = Canvas::BrushStyle::Clear;
    if (figure == PaintKind::Line) {
        canvas_.moveTo(startX_, startY_);
        canvas_.lineTo(curX_, curY_);
    } else if (figure == PaintKind::Rect) {
        canvas_.rectangle(startX_, startY_, curX_, curY_);
    } else {
        canvas_.ellipse(startX_, startY_, curX_, curY_);
    }
    pen = saved;
    canvas_.brush().style = savedBrush;
    update();
}

void TClientArea::closeEvent(QCloseEvent* event) {
    host_.areaClosed(*this);
    event->accept();
}
