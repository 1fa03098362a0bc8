#pragma once

#include <cstdint>
#include <vector>

namespace kolvaro {

// Values match the kinds clients know from the wire protocol's history replay.
enum class PaintKind : std::uint8_t { Point = 0, Line = 1, Rect = 2, Circ = 3, Fill = 4 };

// One stored drawing operation. Coordinates arrive as IDL shorts, so 16 bits
// keep them exactly; ten bytes per operation keeps long histories cheap.
struct PaintOp {
    std::int16_t x1 = 0;
    std::int16_t y1 = 0;
    std::int16_t x2 = 0;
    std::int16_t y2 = 0;
    PaintKind kind = PaintKind::Point;
};
static_assert(sizeof(PaintOp) == 10);

using History = std::vector<PaintOp>;

} // namespace kolvaro
