#pragma once

#include "Shapes.h"

#include <cstdint>
#include <vector>

namespace kolvaro {

// One stored drawing operation. Coordinates arrive as IDL shorts, so 16 bits
// keep them exactly; ten bytes per operation keeps long histories cheap.
using PaintOp = BasicPaintRecord<std::int16_t>;
static_assert(sizeof(PaintOp) == 10);

using History = std::vector<PaintOp>;

} // namespace kolvaro
