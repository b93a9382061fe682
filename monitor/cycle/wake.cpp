#include "monitor/cycle/wake.h"

#include <mutex>

namespace {

// Never destroyed: a signal handler or a detached thread may raise them
// while the process exits.
WakePipe& scheduler = *new WakePipe;
WakePipe& display = *new WakePipe;
WakePipe& watcher = *new WakePipe;
std::once_flag prepared;

}  // namespace

void prepareWakeUps() {
    std::call_once(prepared, [] {
        scheduler.open();
        display.open();
        watcher.open();
    });
}

void wakeScheduler() { scheduler.raise(); }

void wakeDisplay() { display.raise(); }

int displayWakeFd() { return display.readFd(); }

void takeDisplayWake() { display.take(); }

void wakeWatcher() { watcher.raise(); }

WakePipe& watcherWake() { return watcher; }

bool schedulerPause(std::chrono::milliseconds pause) {
    prepareWakeUps();
    return scheduler.wait(std::chrono::steady_clock::now() + pause) == Woken::raised;
}
