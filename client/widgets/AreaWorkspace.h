#pragma once

#include "surface/Shape.h"

#include <QMdiArea>
#include <QPointer>

#include <string>
#include <vector>

class QAction;
class QMenu;

namespace kolvaro {

class AreaHost;
class AreaWindow;
class ServerLink;

// The part of the main window where the drawing areas live, one framed
// child per shown owner (a second one on the same owner is allowed).
class AreaWorkspace : public QMdiArea {
    Q_OBJECT
public:
    explicit AreaWorkspace(QWidget* parent = nullptr);

    AreaWindow* open(const std::string& owner, AreaHost& host, ServerLink& link);
    // Open areas, oldest first.
    std::vector<AreaWindow*> areas() const;
    bool shows(const std::string& owner) const;
    AreaWindow* activeArea() const;

    // Relayed news for an owner reaches each of its areas.
    void draw(const PaintRecord& shape, const std::string& owner);
    void clear(const std::string& owner);
    // Closes the first area of `owner`, or every area.
    void closeAreaOf(const std::string& owner);
    void closeAll();
    // The area is closing and no longer counts as open.
    void forget(const AreaWindow& area);

    // Each frame one title bar lower and further right than the one before,
    // as large as the rest of the workspace allows; the active one on top.
    void cascade();
    // The window menu: the arrangement commands, then one entry per area.
    void listIn(QMenu& menu, QAction* tile, QAction* cascade);

private:
    static void closeFrameOf(AreaWindow* area);

    std::vector<QPointer<AreaWindow>> areas_;
};

} // namespace kolvaro
