#pragma once

#include <cstdint>

// The drawing operations both programs know, and how the wire names them.
namespace kolvaro {

// Values are the order of the kinds in a history replay.
enum class PaintKind : std::uint8_t { Point = 0, Line = 1, Rect = 2, Circ = 3, Fill = 4 };
inline constexpr int paintKindCount = 5;

// Points and fills are placed by one corner; their second one is always 0, 0.
constexpr bool hasSecondCorner(PaintKind kind) {
    return kind != PaintKind::Point && kind != PaintKind::Fill;
}

// What the user sees the operation called in messages.
constexpr const char* kindName(PaintKind kind) {
    constexpr const char* names[paintKindCount] = {"point", "line", "rectangle", "circle", "fill"};
    return names[static_cast<int>(kind)];
}

// The wire operation that carries the kind, to either program.
constexpr const char* operationName(PaintKind kind) {
    constexpr const char* names[paintKindCount] = {"PaintPoint", "PaintLine", "PaintRect",
                                                   "PaintCirc", "PaintFill"};
    return names[static_cast<int>(kind)];
}

// One drawing operation. The server stores 16-bit coordinates (what the wire
// carries); the client works in ints.
template <typename Coord> struct BasicPaintRecord {
    Coord x1 = 0;
    Coord y1 = 0;
    Coord x2 = 0; // unused by points and fills
    Coord y2 = 0;
    PaintKind kind = PaintKind::Point;

    bool operator==(const BasicPaintRecord&) const = default;

    // A record of `kind`; the second corner is dropped for the kinds that have none.
    static constexpr BasicPaintRecord of(PaintKind kind, Coord x1, Coord y1, Coord x2 = 0,
                                         Coord y2 = 0) {
        return hasSecondCorner(kind) ? BasicPaintRecord{x1, y1, x2, y2, kind}
                                     : BasicPaintRecord{x1, y1, 0, 0, kind};
    }
};

} // namespace kolvaro
