#pragma once

#include <cstdint>
#include <vector>

class Canvas;

// One stored drawing operation, as the server keeps it and relays it.
enum class PaintKind : std::uint8_t { Point = 0, Line = 1, Rect = 2, Circ = 3, Fill = 4 };

struct PaintRecord {
    int x1 = 0;
    int y1 = 0;
    int x2 = 0; // unused by points and fills
    int y2 = 0;
    PaintKind kind = PaintKind::Point;

    bool operator==(const PaintRecord&) const = default;

    // Shape codes (kind + 1, 1 to 5) are how the callbacks name kinds.
    static bool validCode(int code) { return code >= 1 && code <= 5; }
    static PaintRecord fromCode(int code, int x1, int y1, int x2, int y2);
};

// Draws a finished shape: blue solid pen of width 2 in copy mode, fills in
// black over white. Leaves the canvas's pen and brush as the shape set them.
void drawShape(Canvas& canvas, const PaintRecord& shape);

// Draws a history in order, with one painter for the whole of it.
void drawShapes(Canvas& canvas, const std::vector<PaintRecord>& shapes);
