// quorvik: start-up and the main loop.

#include <malloc.h>
#include <signal.h>

#include <string>

#include "common/alloc.h"
#include "common/home.h"
#include "common/signals.h"
#include "monitor/cycle/cycle.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/cycle/systembox.h"
#include "monitor/cycle/wake.h"
#include "monitor/cycle/watch.h"
#include "monitor/dock/dock.h"
#include "monitor/dock/images.h"
#include "monitor/dock/render.h"
#include "monitor/mainloop/mainloop.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"

int main(int argc, char** argv) {
    installOutOfMemoryHandler();
    // The checks run in short-lived threads and the IDLE sessions in long ones:
    // an allocator arena for each would keep pages of each. Two serve them.
    mallopt(M_ARENA_MAX, 2);

    ignoreChildrenAndBrokenPipes();
    // SIGUSR1 asks for a check now: the scheduler starts its next pass, and
    // the main thread's wait breaks off so that the cycle runs at once.
    prepareWakeUps();
    struct sigaction checkNow {};
    checkNow.sa_handler = [](int) {
        wakeScheduler();
        wakeDisplay();
    };
    sigemptyset(&checkNow.sa_mask);
    sigaction(SIGUSR1, &checkNow, nullptr);

    scanCommandLine(optionTable(), argc, argv);
    rebuildBoxList();
    if (!settings::rcFilePath.isSet()) settings::rcFilePath.reset(homeDirectory() + "/.quorvikrc");
    loadRcFileAtStartUp();
    watchSystemMailboxWhenNoBox();

    if (settings::useThreads.load() != 0) {
        startThreads();
        startWatching();
    } else {
        firstCheck();
    }
    LoopState loop = startingLoopState();
    loop.shown = checkCycle(loop.selectedBox);

    const DockModes modes{.windowed = settings::windowed.load() != 0,
                          .brokenWM = settings::brokenWM.load() != 0};
    dockOpen(settings::displayName.get().value_or(""), applicationName, 58, 58, argc, argv, modes);
    dockSelectInput(dockButtonPressMask);
    dockSetUpImages(settings::color.get(), loop.backlight);
    redraw(loop);

    for (;;) {
        DockEvent event;
        // Every event restarts the wait. The cycle runs when the wait's pace
        // has passed without one, or at once when the display is woken: mail
        // counted the moment it landed, a box's state changed, a reload, a
        // user's SIGUSR1. With threads and nothing blinking, it only wakes so.
        auto waitFor = [&] {
            auto pace = cyclePace(loop);
            return pace ? static_cast<uint64_t>(pace->count()) : dockNoTimeOut;
        };
        while (dockNextEvent(event, waitFor(), displayWakeFd()) == 1) {
            if (event.type != dockButtonPress) continue;
            int32_t boxes = boxCount(*boxListSnapshot());
            if (handlePress(loop, event.button, event.state, event.x, event.y, boxes) ==
                PressOutcome::redraw)
                redraw(loop);
        }
        takeDisplayWake();
        runCycle(loop);
        redraw(loop);
    }
}
