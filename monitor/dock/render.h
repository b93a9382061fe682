#pragma once
// Drawing the box number and the counts.

#include <cstdint>

// What the picture shows, handed over whole at each redraw.
struct DisplayState {
    int32_t backlight = 0;     // lit when 1; any other value draws the unlit display
    int32_t selectedBox = 0;   // the box whose number is shown; 0 for all boxes
    int32_t showNewCount = 1;  // 0 in the dark phase of a blinking new count
    int32_t shownNew = 0;      // the counts of that box, or the sums over all
    int32_t shownTotal = 0;
    // 1 when the last check of that box failed (of any box, when all are
    // shown): "Err" lights above the box number, the counts are the last good ones.
    int32_t failing = 0;
    bool operator==(const DisplayState&) const = default;
};

void displayRedraw(const DisplayState& shown);
