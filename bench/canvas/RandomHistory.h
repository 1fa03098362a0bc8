#pragma once

#include "surface/Shape.h"

#include <QSize>

#include <random>
#include <vector>

namespace kolvaro {

// A repeatable mix of shapes over a surface of `size`, a little beyond its
// edges: one shape in ten a fill, the others lines, rectangles, circles and
// points in turn.
inline std::vector<PaintRecord> randomHistory(std::size_t count, QSize size) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> x(-20, size.width() + 20), y(-20, size.height() + 20);
    std::uniform_int_distribution<int> kind(0, 9);
    std::vector<PaintRecord> shapes;
    for (std::size_t i = 0; i < count; ++i) {
        const int k = kind(random);
        if (k == 0)
            shapes.push_back({x(random), y(random), 0, 0, PaintKind::Fill});
        else
            shapes.push_back({x(random), y(random), x(random) / 4 + x(random) / 2,
                              y(random) / 4 + y(random) / 2, PaintKind((k - 1) % 4)});
    }
    return shapes;
}

} // namespace kolvaro
