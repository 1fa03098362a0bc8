#pragma once

#include "surface/Tool.h"

#include <string>

namespace kolvaro {

class AreaWindow;

// What a drawing area needs of the window that holds it.
class AreaHost {
public:
    virtual ~AreaHost() = default;

    virtual PaintKind currentTool() const = 0;
    // Shows the pointer position as the area reports it.
    virtual void showPosition(int x, int y) = 0;
    // The caption of the area the user works in, or "Error" when there is none.
    virtual std::string activeAreaName() const = 0;
    // The area is closing; it is still a child at this moment.
    virtual void areaClosed(AreaWindow& area) = 0;
};

} // namespace kolvaro
