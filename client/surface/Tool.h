#pragma once

#include "Shape.h"

#include <array>
#include <cstddef>

namespace kolvaro {

// Everything the window and the areas know of the tool that draws a kind.
struct ToolInfo {
    PaintKind kind;         // what it draws
    const char* caption;    // the Paint menu entry
    const char* menuName;   // object name of its action
    const char* buttonName; // object name of its toolbar button
    const char* icon;
    const char* panel; // the status bar while it is chosen
    const char* key;   // its shortcut, a plain key
    // Dragging tools show this outline (XOR, so drawing it twice erases it)
    // while the button is down and send the shape at release; the others
    // send at the click.
    void (*preview)(Canvas& canvas, const PaintRecord& figure);

    bool drags() const { return preview != nullptr; }
};

// One tool per kind, in the order of the kinds: that of the Paint menu and
// the toolbar.
extern const std::array<ToolInfo, paintKindCount> toolTable;

inline const ToolInfo& toolInfo(PaintKind kind) {
    return toolTable[static_cast<std::size_t>(kind)];
}

} // namespace kolvaro
