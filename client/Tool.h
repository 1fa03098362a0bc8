#pragma once

// The drawing tool chosen in the main window.
enum class Tool { Point, Line, Rect, Circle, Fill };
