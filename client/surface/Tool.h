#pragma once

#include "Shape.h"

#include <array>
#include <cstddef>

namespace kolvaro {

// The drawing tools, in the order of the Paint menu and the toolbar.
enum class Tool { Point, Line, Rect, Circle, Fill };
inline constexpr std::size_t toolCount = 5;

// Everything the window and the areas know of a tool.
struct ToolInfo {
    Tool tool;
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

extern const std::array<ToolInfo, toolCount> toolTable;

inline const ToolInfo& toolInfo(Tool tool) {
    return toolTable[static_cast<std::size_t>(tool)];
}

// The tool that draws `kind`.
const ToolInfo& toolDrawing(PaintKind kind);

} // namespace kolvaro
