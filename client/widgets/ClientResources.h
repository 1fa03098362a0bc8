#pragma once

namespace kolvaro {

// Registers the client's embedded files (":/icons/*.svg", ":/about/about.jpg").
// They live in a static library, whose resource objects nothing else pulls
// into the program; call once before use. Safe to call again.
void initClientResources();

} // namespace kolvaro
