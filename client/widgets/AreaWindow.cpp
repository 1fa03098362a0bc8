#include "AreaWindow.h"

#include "AreaHost.h"
#include "surface/ServerLink.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

namespace kolvaro {

namespace {

// Shapes that came during a redraw are drawn on its picture on the window
// thread when they are few; more go to the builder again.
constexpr std::size_t drawnOnArrival = 512;

} // namespace

AreaWindow::AreaWindow(AreaHost& host, ServerLink& link, QWidget* parent)
    : QWidget(parent), host_(host), link_(link),
      builder_([this](std::uint64_t ticket, QImage picture) {
          // The builder is stopped before the area goes, so `this` is alive.
          QMetaObject::invokeMethod(
              this,
              [this, ticket, picture = std::move(picture)]() mutable {
                  surfaceBuilt(ticket, std::move(picture));
              },
              Qt::QueuedConnection);
      }) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::CrossCursor);
    setMouseTracking(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    canvas_.reset(size());
}

std::string AreaWindow::caption() const {
    return windowTitle().toStdString();
}

void AreaWindow::setCaption(const std::string& owner) {
    setWindowTitle(QString::fromStdString(owner));
}

void AreaWindow::drawRelayed(const PaintRecord& shape) {
    history_.push_back(shape);
    if (rebuilding_) {
        // The old picture is on show for a moment only: the redraw replaces it.
        drawNow(shape);
        return;
    }
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

void AreaWindow::clearShapes() {
    history_.clear();
    if (rebuilding_) { // an empty history needs no redraw
        builder_.cancel();
        ++ticket_;
        rebuilding_ = false;
        canvas_.reset(size());
        update();
    }
}

void AreaWindow::clearSurface() {
    canvas_.brush() = {Canvas::White, Canvas::BrushStyle::Solid};
    canvas_.fillRect(0, 0, canvas_.size().width(), canvas_.size().height());
    leftPreviews_.clear();
    unechoed_.clear();
    overtaken_ = false;
    update();
}

void AreaWindow::drawNow(const PaintRecord& shape) {
    drawShape(canvas_, shape);
    update();
}

void AreaWindow::rebuildSurface() {
    ++ticket_;
    if (history_.empty()) {
        builder_.cancel();
        rebuilding_ = false;
        surfaceBuilt(ticket_, {});
        return;
    }
    // Each resize replaces the redraw in hand, so a drag ends in one redraw
    // at the last size.
    rebuilding_ = true;
    builtUpTo_ = history_.size();
    builder_.build({ticket_, size(), {}, history_});
}

void AreaWindow::surfaceBuilt(std::uint64_t ticket, QImage picture) {
    if (ticket != ticket_)
        return;
    if (rebuilding_) {
        const auto from = history_.begin() + static_cast<std::ptrdiff_t>(builtUpTo_);
        if (history_.end() - from > static_cast<std::ptrdiff_t>(drawnOnArrival)) {
            builtUpTo_ = history_.size();
            builder_.build({++ticket_, {}, std::move(picture), {from, history_.end()}});
            return;
        }
        canvas_.setImage(std::move(picture));
        Canvas::Batch batch(canvas_);
        for (auto shape = from; shape != history_.end(); ++shape)
            drawShape(canvas_, *shape);
    } else {
        canvas_.reset(size());
    }
    rebuilding_ = false;
    // Previews and marks were on the old surface only.
    previewShown_ = {};
    leftPreviews_.clear();
    unechoed_.clear();
    overtaken_ = false;
    update();
}

QImage AreaWindow::picture() const {
    if (!rebuilding_)
        return canvas_.image();
    Canvas fresh(size());
    drawShapes(fresh, history_);
    return fresh.image();
}

void AreaWindow::catchUp() {
    // Only when needed: this costs a replay of the whole history.
    canvas_.reset(size());
    drawShapes(canvas_, history_);
    for (const PaintRecord& mark : unechoed_)
        drawShape(canvas_, mark);
    for (const PaintRecord& preview : leftPreviews_)
        drawPreview(preview);
    for (const ToolInfo& drag : toolTable) {
        if (previewShown_[static_cast<std::size_t>(drag.kind)])
            drawPreview(dragged(drag.kind));
    }
    overtaken_ = false;
    update();
}

void AreaWindow::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QImage& image = canvas_.image();
    const QRect shown = event->rect() & image.rect();
    painter.drawImage(shown.topLeft(), image, shown);
    // Grown, and the redraw not there yet: the rest is background meanwhile.
    for (const QRect& rest : QRegion(event->rect()) - QRegion(image.rect()))
        painter.fillRect(rest, Qt::white);
}

void AreaWindow::resizeEvent(QResizeEvent*) {
    rebuildSurface();
}

void AreaWindow::mousePressEvent(QMouseEvent* event) {
    leftPressed_ = event->button() == Qt::LeftButton;
    if (!leftPressed_)
        return;
    if (toolInfo(host_.currentTool()).drags()) {
        dragging_ = true;
        startX_ = curX_ = event->position().toPoint().x();
        startY_ = curY_ = event->position().toPoint().y();
    }
}

void AreaWindow::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    host_.showPosition(at.x(), at.y());
    const ToolInfo& drag = toolInfo(host_.currentTool());
    if (!drag.drags()) {
        curX_ = at.x();
        curY_ = at.y();
    }
    if (drag.drags() && dragging_) {
        bool& shown = previewShown_[static_cast<std::size_t>(drag.kind)];
        if (shown)
            drawPreview(dragged(drag.kind)); // the second XOR erases the old one
        shown = true;
        curX_ = at.x();
        curY_ = at.y();
        drawPreview(dragged(drag.kind));
    }
}

void AreaWindow::mouseReleaseEvent(QMouseEvent* event) {
    const ToolInfo& drag = toolInfo(host_.currentTool());
    if (drag.drags() && dragging_) {
        // The last preview stays until the server's echo draws the shape.
        dragging_ = false;
        bool& shown = previewShown_[static_cast<std::size_t>(drag.kind)];
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
        placeMark();
}

void AreaWindow::placeMark() {
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

void AreaWindow::drawPreview(const PaintRecord& figure) {
    Canvas::Pen& pen = canvas_.pen();
    pen.width = 2;
    pen.colour = Canvas::Yellow;
    const Canvas::Pen saved = pen;
    const Canvas::BrushStyle savedBrush = canvas_.brush().style;
    pen.mode = Canvas::PenMode::Xor;
    pen.style = Canvas::PenStyle::Dotted;
    canvas_.brush().style = Canvas::BrushStyle::Clear;
    if (const auto outline = toolInfo(figure.kind).preview)
        outline(canvas_, figure);
    pen = saved;
    canvas_.brush().style = savedBrush;
    update();
}

void AreaWindow::closeEvent(QCloseEvent* event) {
    host_.areaClosed(*this);
    event->accept();
}

} // namespace kolvaro
