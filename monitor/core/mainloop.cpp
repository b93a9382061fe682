#include "monitor/core/mainloop.h"

#include "monitor/core/cycle.h"
#include "monitor/core/launch.h"
#include "monitor/core/options.h"
#include "monitor/dock/dock.h"

int32_t alertStatus = 0;
int32_t savedBacklight = 0;
int32_t showNewCount = 1;

namespace {

// The plus and minus buttons of the picture, both bounds inclusive.
bool onPlus(int x, int y) { return x >= 13 && x <= 17 && y >= 22 && y <= 26; }
bool onMinus(int x, int y) { return x >= 7 && x <= 11 && y >= 22 && y <= 26; }

// Steps the selection; past the last box it wraps to 0 (all boxes), below 0
// to the last box. With one box or none only the range correction applies.
void stepSelection(int32_t step, int32_t boxes) {
    int32_t selected = settings::selectedBox.load();
    if (boxes > 1) selected += step;
    if (step > 0 && selected > boxes) selected = 0;
    if (step < 0 && selected < 0) selected = boxes;
    settings::selectedBox = selected;
}

void toggle(std::atomic<int32_t>& flag) { flag = flag.load() == 0 ? 1 : 0; }

}  // namespace

DisplayState displayStateNow() {
    return {.backlight = settings::backlight.load(),
            .selectedBox = settings::selectedBox.load(),
            .showNewCount = showNewCount,
            .shownNew = shownNew,
            .shownTotal = shownTotal,
            .failing = shownFailing};
}

void launchEditor() {
    // Quoted, the path reaches the editor as one word and runs nothing else.
    launchCommand("quorvik-config -f ", shellQuote(settings::rcFilePath.get().value_or("")));
}

PressOutcome handlePress(unsigned int button, unsigned int state, int x, int y, int32_t boxes) {
    switch (button) {
    case 1:
        if (onPlus(x, y) || onMinus(x, y)) {
            stepSelection(onPlus(x, y) ? 1 : -1, boxes);
            // Shown at once, the new box's own counts, not the last one's.
            recomputeOutputs(shownNew, shownTotal, mailStatus);
        } else {
            toggle(settings::backlight);
        }
        return PressOutcome::redraw;
    case 3:
        if (onPlus(x, y))
            stepSelection(10, boxes);
        else if (onMinus(x, y))
            stepSelection(-10, boxes);
        else
            toggle(settings::blink);
        return PressOutcome::nothing;
    case 2:
        if (state & dockControlMask)
            launchEditor();
        else if (auto line = settings::command.get())
            launchCommand(*line, std::nullopt,
                          mailVariables(*boxListSnapshot(), settings::selectedBox.load()));
        return PressOutcome::nothing;
    default:
        return PressOutcome::nothing;
    }
}

void applyAlert(int32_t status) {
    if (status != STATUS_NONE) {
        if (alertStatus == 0) {
            alertStatus = status;
            savedBacklight = settings::backlight.load();
        }
        if ((status == STATUS_OTHER || status == STATUS_BOTH) &&
            (settings::blink.load() != 0 || settings::backlight.load() != savedBacklight))
            toggle(settings::backlight);
        if (status == STATUS_OTHER) showNewCount = 1;
        if ((status == STATUS_SELECTED || status == STATUS_BOTH) && settings::blink.load() != 0)
            showNewCount = showNewCount == 0 ? 1 : 0;
        if (status == STATUS_SELECTED) settings::backlight = savedBacklight;
    } else if (alertStatus != 0) {
        alertStatus = 0;
        if (settings::backlight.load() != savedBacklight) toggle(settings::backlight);
        showNewCount = 1;
    }
}
