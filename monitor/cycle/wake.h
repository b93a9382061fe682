#pragma once
// The wake pipes of the monitor's long waits: the scheduler's pause between
// passes, the main loop's wait for X events and the watcher's wait for
// inotify. A signal handler may raise the first two, so raising one only
// writes to a pipe.

#include <chrono>

#include "common/wait.h"

// Opens the pipes; called once at start-up before any handler or thread
// can raise them. Raising before then does nothing.
void prepareWakeUps();

// Ends the scheduler's current pause at once, or the next one if it is not
// pausing. Async-signal-safe.
void wakeScheduler();

// Waits up to `pause`; true when woken before it ended.
bool schedulerPause(std::chrono::milliseconds pause);

// Breaks off the main loop's wait, so that it runs a cycle and redraws now:
// a box was counted the moment its mail landed. Async-signal-safe.
void wakeDisplay();

// The descriptor the main loop waits on beside the X connection (readable
// once woken), -1 before the pipes exist; and the taking of the wake-up.
int displayWakeFd();
void takeDisplayWake();

// The watcher of the stores: it looks at the box list and the settings again
// (a reload came through the scheduler, or it is to stop).
void wakeWatcher();
WakePipe& watcherWake();
