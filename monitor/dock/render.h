#pragma once
// Drawing the box number and the counts.

#include <cstdint>

// 0 during the dark phase of a blinking new count. Main thread only.
extern int32_t showNewCount;

void displayRedraw();
