#pragma once
// The main loop's reactions: mouse buttons and the alert logic. Kept apart
// from the X event wait so they can be driven without a display.

#include <cstdint>

#include "monitor/dock/render.h"

// The state of an alert: the status it began with (0: none) and the
// backlight before it. Main thread only.
extern int32_t alertStatus;
extern int32_t savedBacklight;
// 0 during the dark phase of a blinking new count. Main thread only.
extern int32_t showNewCount;

// What a press asks the loop to do afterwards.
enum class PressOutcome { nothing, redraw };

// x, y in picture coordinates; boxes is the number of boxes now in force.
PressOutcome handlePress(unsigned int button, unsigned int state, int x, int y, int32_t boxes);

// Lights, restores and blinks according to the mail status of the last cycle.
void applyAlert(int32_t status);

// What the dock shows now: the backlight and the selected box, the blinking
// of the new count, and the counts of the last cycle with whether they failed.
DisplayState displayStateNow();

// The line that starts the editor on the rc file in use.
void launchEditor();
