#include "Area.h"

#include "AreaHost.h"
#include "ServerLink.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

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
    history_.push_back(shape);
    const auto left = std::find(leftPreviews_.begin(), leftPreviews_.end(), shape);
    const auto own = std::find(unechoed_.begin(), unechoed_.end(), shape);
    const bool preview = left != leftPreviews_.end();
    if (!preview && own == unechoed_.end()) {
        overtaken_ = overtaken_ || !leftPreviews_.empty() || !unechoed_.empty();
        drawNow(shape);
        return;
    }
    if (preview)
        leftPreviews_.erase(left);
    else // echoes come in the order sent: marks before this one lost theirs
        unechoed_.erase(unechoed_.begin(), own + 1);
    if (overtaken_) {
        catchUp();
        return;
    }
    if (preview)
        drawPreview(shape); // the second XOR takes it off
    drawNow(shape);
}

void TClientArea::AddShape(int x1, int y1, int x2, int y2, int code) {
    if (kolvaro::validCode(code))
        history_.push_back(PaintRecord::fromCode(code, x1, y1, x2, y2));
}

void TClientArea::ClearShapes() {
    history_.clear();
}

void TClientArea::ClearSurface() {
    canvas_.brush() = {Canvas::White, Canvas::BrushStyle::Solid};
    canvas_.fillRect(0, 0, canvas_.size().width(), canvas_.size().height());
    leftPreviews_.clear();
    unechoed_.clear();
    overtaken_ = false;
    update();
}

void TClientArea::drawNow(const PaintRecord& shape) {
    drawShape(canvas_, shape);
    update();
}

void TClientArea::rebuildSurface() {
    canvas_.reset(size());
    drawShapes(canvas_, history_);
    // Previews and marks were on the old surface only.
    previewShown_ = {};
    leftPreviews_.clear();
    unechoed_.clear();
    overtaken_ = false;
    update();
}

void TClientArea::catchUp() {
    // Only when needed: this costs a replay of the whole history.
    canvas_.reset(size());
    drawShapes(canvas_, history_);
    for (const PaintRecord& mark : unechoed_)
        drawShape(canvas_, mark);
    for (const PaintRecord& preview : leftPreviews_)
        drawPreview(preview);
    for (const ToolInfo& drag : toolTable) {
        if (previewShown_[static_cast<std::size_t>(drag.tool)])
            drawPreview(dragged(drag.kind));
    }
    overtaken_ = false;
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
    if (toolInfo(host_.currentTool()).drags()) {
        dragging_ = true;
        startX_ = curX_ = event->position().toPoint().x();
        startY_ = curY_ = event->position().toPoint().y();
    }
}

void TClientArea::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    host_.showPosition(at.x(), at.y());
    const ToolInfo& drag = toolInfo(host_.currentTool());
    if (!drag.drags()) {
        curX_ = at.x();
        curY_ = at.y();
    }
    if (drag.drags() && dragging_) {
        bool& shown = previewShown_[static_cast<std::size_t>(drag.tool)];
        if (shown)
            drawPreview(dragged(drag.kind)); // the second XOR erases the old one
        shown = true;
        curX_ = at.x();
        curY_ = at.y();
        drawPreview(dragged(drag.kind));
    }
}

void TClientArea::mouseReleaseEvent(QMouseEvent* event) {
    const ToolInfo& drag = toolInfo(host_.currentTool());
    if (drag.drags() && dragging_) {
        // The last preview stays until the server's echo draws the shape.
        dragging_ = false;
        bool& shown = previewShown_[static_cast<std::size_t>(drag.tool)];
        if (shown) {
            if (leftPreviews_.size() == maxWaiting)
                leftPreviews_.erase(leftPreviews_.begin());
            leftPreviews_.push_back(dragged(drag.kind));
        }
        shown = false;
        link_.paint(dragged(drag.kind), host_.activeAreaName());
    }
    const bool click = leftPressed_ && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    leftPressed_ = false;
    if (click)
        FormClick();
}

void TClientArea::FormClick() {
    // The shape is shown at once; the history gets it from the server's echo.
    const ToolInfo& tool = toolInfo(host_.currentTool());
    if (tool.drags())
        return;
    const PaintRecord mark{curX_, curY_, 0, 0, tool.kind};
    // A dragged shape still on its way shows only as a dotted band, which a
    // fill would leak through: such a fill is drawn at its echo, after it.
    if (tool.kind != PaintKind::Fill || leftPreviews_.empty()) {
        drawNow(mark);
        if (unechoed_.size() == maxWaiting)
            unechoed_.erase(unechoed_.begin());
        unechoed_.push_back(mark);
    }
    link_.paint(mark, host_.activeAreaName());
}

void TClientArea::drawPreview(const PaintRecord& figure) {
    Canvas::Pen& pen = canvas_.pen();
    pen.width = 2;
    pen.colour = Canvas::Yellow;
    const Canvas::Pen saved = pen;
    const Canvas::BrushStyle savedBrush = canvas_.brush().style;
    pen.mode = Canvas::PenMode::Xor;
    pen.style = Canvas::PenStyle::Dotted;
    canvas_.brush().style = Canvas::BrushStyle::Clear;
    if (const auto outline = toolDrawing(figure.kind).preview)
        outline(canvas_, figure);
    pen = saved;
    canvas_.brush().style = savedBrush;
    update();
}

void TClientArea::closeEvent(QCloseEvent* event) {
    host_.areaClosed(*this);
    event->accept();
}
