#pragma once

#include "surface/Canvas.h"
#include "surface/Shape.h"
#include "surface/SurfaceBuilder.h"
#include "surface/Tool.h"

#include <QWidget>

#include <array>
#include <string>
#include <vector>

namespace kolvaro {

class AreaHost;
class ServerLink;

// The window that shows one user's drawing. Its caption is the owner's name.
// The history holds exactly the shapes the server relayed for that owner, in
// the order received; the surface is their picture, plus whatever the user's
// own strokes show until the server's echo arrives.
class AreaWindow : public QWidget {
    Q_OBJECT
public:
    AreaWindow(AreaHost& host, ServerLink& link, QWidget* parent = nullptr);

    std::string caption() const;
    void setCaption(const std::string& owner);

    // Draws a shape that the server relayed and records it.
    void drawRelayed(const PaintRecord& shape);
    void clearShapes();
    // Paints the whole surface white; the history is left alone.
    void clearSurface();

    const std::vector<PaintRecord>& history() const { return history_; }
    const Canvas& canvas() const { return canvas_; }
    // What the area shows at its size: the surface, or while the surface is
    // still being redrawn for a new size, a fresh drawing of the history.
    QImage picture() const;
    QSize sizeHint() const override { return {320, 240}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    static constexpr std::size_t maxWaiting = 64;

    void placeMark();
    PaintRecord dragged(PaintKind kind) const { return {startX_, startY_, curX_, curY_, kind}; }
    void drawPreview(const PaintRecord& figure);
    void drawNow(const PaintRecord& shape);
    void rebuildSurface();
    void surfaceBuilt(std::uint64_t ticket, QImage picture);
    void catchUp();

    AreaHost& host_;
    ServerLink& link_;
    Canvas canvas_;
    std::vector<PaintRecord> history_;
    // A resize has the surface redrawn off the window thread; until the new
    // one comes, the old picture stays on show and takes what arrives.
    SurfaceBuilder builder_;
    std::uint64_t ticket_ = 0; // of the redraw the area waits for, if any
    bool rebuilding_ = false;
    std::size_t builtUpTo_ = 0; // shapes of the history the redraw holds
    // Previews left on the surface at release, each erased when its echo comes.
    std::vector<PaintRecord> leftPreviews_;
    // Points and fills drawn at the click, each until its echo comes.
    std::vector<PaintRecord> unechoed_;
    // Another shape came while the user's own marks waited for their echo, so
    // the surface no longer shows the server's order.
    bool overtaken_ = false;
    int curX_ = 0;
    int curY_ = 0;
    int startX_ = 0;
    int startY_ = 0;
    bool dragging_ = false;
    // Per dragging tool: its outline of the drag so far is on the surface.
    std::array<bool, paintKindCount> previewShown_{};
    bool leftPressed_ = false;
};

} // namespace kolvaro
