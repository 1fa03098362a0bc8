#pragma once

#include "Shapes.h"

#include <vector>

namespace kolvaro {

class Canvas;

// One stored drawing operation, as the server keeps it and relays it.
using PaintRecord = kolvaro::BasicPaintRecord<int>;

// Draws a finished shape: blue solid pen of width 2 in copy mode, fills in
// black over white. Leaves the canvas's pen and brush as the shape set them.
void drawShape(Canvas& canvas, const PaintRecord& shape);

// Draws a history in order, with one painter for the whole of it.
void drawShapes(Canvas& canvas, const std::vector<PaintRecord>& shapes);

} // namespace kolvaro
