#pragma once
// The main loop's state and reactions: mouse buttons, the alert logic, the
// cycle with the reloads' overrides, and how long the loop may sleep. Kept
// apart from the X event wait so they can be driven without a display.

#include <chrono>
#include <cstdint>
#include <optional>

#include "monitor/cycle/cycle.h"
#include "monitor/dock/render.h"

// What the dock shows and how, owned by the main loop and touched by the
// main thread only. The lamp, the blinking and the selection start from the
// settings (Backlight, Blink, DefaultBox); the presses, the alert logic and
// the overrides of a reload change them.
struct LoopState {
    int32_t backlight = 0;  // 1 when the display is lit
    int32_t blink = 1;      // 0: the alert logic makes nothing blink
    int32_t selectedBox = 0;
    int32_t showNewCount = 1;    // 0 in the dark phase of a blinking new count
    int32_t alertStatus = 0;     // the status the alert in progress began with; 0: none
    int32_t savedBacklight = 0;  // the backlight when it began
    CycleOutputs shown;          // the last cycle's outputs
    DisplayState drawn;          // the picture drawn last
};

// The state at start-up, from the settings as the command line and the rc
// file left them.
LoopState startingLoopState();

// What a press asks the loop to do afterwards.
enum class PressOutcome { nothing, redraw };

// x, y in picture coordinates; boxes is the number of boxes now in force.
PressOutcome handlePress(LoopState& loop, unsigned int button, unsigned int state, int x, int y,
                         int32_t boxes);

// Lights, restores and blinks according to the mail status of the last cycle.
void applyAlert(LoopState& loop, int32_t status);

// Takes what the reloads since the last cycle read, runs the cycle and the
// alert logic.
void runCycle(LoopState& loop);

// The picture the state asks for.
DisplayState displayStateOf(const LoopState& loop);

// Draws the picture and remembers it.
void redraw(LoopState& loop);

// How long the loop waits for an event before its next cycle: `interval`
// while the cycle itself checks the boxes (threads off), and while the next
// cycle would change the picture on its own (a blink step, or a change not
// drawn yet); otherwise none, since whatever else changes the picture wakes
// the loop.
std::optional<std::chrono::milliseconds> cyclePace(const LoopState& loop);

// The line that starts the editor on the rc file in use.
void launchEditor();
