#include "monitor/mainloop/mainloop.h"

#include "monitor/cycle/launch.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/dock/dock.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"

namespace {

// The plus and minus buttons of the picture, both bounds inclusive.
bool onPlus(int x, int y) { return x >= 13 && x <= 17 && y >= 22 && y <= 26; }
bool onMinus(int x, int y) { return x >= 7 && x <= 11 && y >= 22 && y <= 26; }

// Steps the selection; past the last box it wraps to 0 (all boxes), below 0
// to the last box. With one box or none only the range correction applies.
void stepSelection(int32_t& selected, int32_t step, int32_t boxes) {
    if (boxes > 1) selected += step;
    if (step > 0 && selected > boxes) selected = 0;
    if (step < 0 && selected < 0) selected = boxes;
}

void toggle(int32_t& flag) { flag = flag == 0 ? 1 : 0; }

// A reload's Backlight, Blink and DefaultBox lines override what the user
// did; whatever the selection then is, it must name a box of the list.
void applyReloaded(LoopState& loop) {
    auto overrides = takeReloaded();
    if (!overrides) return;
    if (overrides->backlight) loop.backlight = *overrides->backlight;
    if (overrides->blink) loop.blink = *overrides->blink;
    if (overrides->selectedBox) loop.selectedBox = *overrides->selectedBox;
    loop.selectedBox = selectionInRange(loop.selectedBox, boxCount(*boxListSnapshot()));
}

}  // namespace

LoopState startingLoopState() {
    LoopState loop;
    loop.backlight = settings::backlight.load();
    loop.blink = settings::blink.load();
    loop.selectedBox = settings::selectedBox.load();
    // The start-up read of the rc file is in the settings already; a reload
    // by the threads since may have left the selection beyond the list.
    applyReloaded(loop);
    return loop;
}

DisplayState displayStateOf(const LoopState& loop) {
    return {.backlight = loop.backlight,
            .selectedBox = loop.selectedBox,
            .showNewCount = loop.showNewCount,
            .shownNew = loop.shown.shownNew,
            .shownTotal = loop.shown.shownTotal,
            .failing = loop.shown.failing};
}

void redraw(LoopState& loop) {
    loop.drawn = displayStateOf(loop);
    displayRedraw(loop.drawn);
}

void launchEditor() {
    // Quoted, the path reaches the editor as one word and runs nothing else.
    launchCommand("quorvik-config -f ", shellQuote(settings::rcFilePath.get().value_or("")));
}

PressOutcome handlePress(LoopState& loop, unsigned int button, unsigned int state, int x, int y,
                         int32_t boxes) {
    switch (button) {
    case 1:
        if (onPlus(x, y) || onMinus(x, y)) {
            stepSelection(loop.selectedBox, onPlus(x, y) ? 1 : -1, boxes);
            // Shown at once, the new box's own counts, not the last one's.
            loop.shown = recomputeOutputs(loop.selectedBox);
        } else {
            toggle(loop.backlight);
        }
        return PressOutcome::redraw;
    case 3:
        if (onPlus(x, y))
            stepSelection(loop.selectedBox, 10, boxes);
        else if (onMinus(x, y))
            stepSelection(loop.selectedBox, -10, boxes);
        else
            toggle(loop.blink);
        return PressOutcome::nothing;
    case 2:
        if (state & dockControlMask)
            launchEditor();
        else if (auto line = settings::command.get())
            launchCommand(*line, std::nullopt, mailVariables(*boxListSnapshot(), loop.selectedBox));
        return PressOutcome::nothing;
    default:
        return PressOutcome::nothing;
    }
}

void applyAlert(LoopState& loop, int32_t status) {
    if (status != STATUS_NONE) {
        if (loop.alertStatus == 0) {
            loop.alertStatus = status;
            loop.savedBacklight = loop.backlight;
        }
        if ((status == STATUS_OTHER || status == STATUS_BOTH) &&
            (loop.blink != 0 || loop.backlight != loop.savedBacklight))
            toggle(loop.backlight);
        if (status == STATUS_OTHER) loop.showNewCount = 1;
        if ((status == STATUS_SELECTED || status == STATUS_BOTH) && loop.blink != 0)
            toggle(loop.showNewCount);
        if (status == STATUS_SELECTED) loop.backlight = loop.savedBacklight;
    } else if (loop.alertStatus != 0) {
        loop.alertStatus = 0;
        if (loop.backlight != loop.savedBacklight) toggle(loop.backlight);
        loop.showNewCount = 1;
    }
}

void runCycle(LoopState& loop) {
    applyReloaded(loop);
    loop.shown = checkCycle(loop.selectedBox);
    applyAlert(loop, loop.shown.mailStatus);
}

std::optional<std::chrono::milliseconds> cyclePace(const LoopState& loop) {
    const std::chrono::milliseconds interval{uint64_t{settings::interval.load()} * 1000};
    if (settings::useThreads.load() == 0) return interval;
    // The next cycle's alert step, on the status as it stands: the status is
    // applied again at each cycle.
    LoopState next = loop;
    applyAlert(next, loop.shown.mailStatus);
    if (displayStateOf(next) != loop.drawn) return interval;
    return std::nullopt;
}
