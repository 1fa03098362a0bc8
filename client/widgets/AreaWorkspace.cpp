#include "AreaWorkspace.h"

#include "AreaWindow.h"

#include <QMdiSubWindow>
#include <QMenu>

#include <algorithm>

namespace kolvaro {

AreaWorkspace::AreaWorkspace(QWidget* parent) : QMdiArea(parent) {}

AreaWindow* AreaWorkspace::open(const std::string& owner, AreaHost& host, ServerLink& link) {
    auto* area = new AreaWindow(host, link);
    area->setAttribute(Qt::WA_DeleteOnClose);
    area->setCaption(owner);
    QMdiSubWindow* frame = addSubWindow(area);
    frame->setAttribute(Qt::WA_DeleteOnClose);
    frame->show();
    areas_.emplace_back(area);
    return area;
}

std::vector<AreaWindow*> AreaWorkspace::areas() const {
    std::vector<AreaWindow*> open;
    for (const QPointer<AreaWindow>& area : areas_) {
        if (area)
            open.push_back(area);
    }
    return open;
}

bool AreaWorkspace::shows(const std::string& owner) const {
    const std::vector<AreaWindow*> open = areas();
    return std::any_of(open.begin(), open.end(),
                       [&](const AreaWindow* area) { return area->caption() == owner; });
}

AreaWindow* AreaWorkspace::activeArea() const {
    QMdiSubWindow* current = currentSubWindow();
    return current ? qobject_cast<AreaWindow*>(current->widget()) : nullptr;
}

void AreaWorkspace::draw(const PaintRecord& shape, const std::string& owner) {
    for (AreaWindow* area : areas()) {
        if (area->caption() == owner)
            area->drawRelayed(shape);
    }
}

void AreaWorkspace::clear(const std::string& owner) {
    for (AreaWindow* area : areas()) {
        if (area->caption() != owner)
            continue;
        area->clearSurface();
        area->clearShapes();
    }
}

void AreaWorkspace::closeFrameOf(AreaWindow* area) {
    if (auto* frame = qobject_cast<QMdiSubWindow*>(area->parentWidget()))
        frame->close();
    else
        area->close();
}

void AreaWorkspace::closeAreaOf(const std::string& owner) {
    for (AreaWindow* area : areas()) {
        if (area->caption() == owner)
            return closeFrameOf(area);
    }
}

void AreaWorkspace::closeAll() {
    for (AreaWindow* area : areas())
        closeFrameOf(area);
}

void AreaWorkspace::forget(const AreaWindow& area) {
    std::erase_if(areas_, [&](const QPointer<AreaWindow>& a) { return !a || a == &area; });
}

void AreaWorkspace::cascade() {
    QMdiSubWindow* active = activeSubWindow();
    QList<QMdiSubWindow*> frames;
    for (QMdiSubWindow* frame : subWindowList(QMdiArea::CreationOrder)) {
        if (frame != active && !frame->isMinimized())
            frames << frame;
    }
    if (active && !active->isMinimized())
        frames << active;
    if (frames.isEmpty())
        return;
    for (QMdiSubWindow* frame : frames)
        frame->showNormal();
    const QRect room = viewport()->rect();
    const int step = std::max(frames.front()->widget()->y(), 8);
    // Past as many steps as leave an area a usable size, the cascade starts over.
    const QSize smallest(240, 180);
    const int fit = 1 + std::max(0, std::min((room.width() - smallest.width()) / step,
                                             (room.height() - smallest.height()) / step));
    const int steps = std::min<int>(fit, frames.size()) - 1;
    const QSize size(std::max(room.width() - steps * step, 1),
                     std::max(room.height() - steps * step, 1));
    for (int i = 0; i < frames.size(); ++i) {
        const int offset = (i % fit) * step;
        frames[i]->setGeometry(QRect(room.topLeft() + QPoint(offset, offset), size));
        frames[i]->raise();
    }
    if (active)
        setActiveSubWindow(active);
}

void AreaWorkspace::listIn(QMenu& menu, QAction* tile, QAction* cascade) {
    menu.clear();
    menu.addAction(tile);
    menu.addAction(cascade);
    const std::vector<AreaWindow*> open = areas();
    if (!open.empty())
        menu.addSeparator();
    AreaWindow* current = activeArea();
    for (std::size_t i = 0; i < open.size(); ++i) {
        AreaWindow* area = open[i];
        const QString caption = QString::fromStdString(area->caption());
        const QString label = i < 9 ? QString("&%1 %2").arg(i + 1).arg(caption) : caption;
        QAction* entry = menu.addAction(label);
        entry->setCheckable(true);
        entry->setChecked(area == current);
        QPointer<AreaWindow> target(area);
        connect(entry, &QAction::triggered, this, [this, target] {
            if (target)
                setActiveSubWindow(qobject_cast<QMdiSubWindow*>(target->parentWidget()));
        });
    }
}

} // namespace kolvaro
