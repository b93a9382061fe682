#pragma once
// Waking a thread that waits: the scheduler's pause between passes. A signal
// handler may raise it, so raising it only writes to a pipe.

#include <chrono>

// Creates the pipe; called once at start-up before any handler or thread can
// raise it. Raising before then does nothing.
void prepareWakeUps();

// Ends the scheduler's current pause at once, or the next one if it is not
// pausing. Async-signal-safe.
void wakeScheduler();

// Waits up to `pause`; true when woken before it ended.
bool schedulerPause(std::chrono::milliseconds pause);
