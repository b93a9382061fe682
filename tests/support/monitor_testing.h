#pragma once
// What the monitor's libraries offer the tests alone: the program itself
// never calls these.

#include "monitor/core/idle.h"

// Empties the box list in force (monitor/core/boxes.cpp).
void clearBoxList();

// Turns threads off and waits until the scheduler has left its loop, so
// that no scheduler outlives a test (monitor/core/cycle.cpp).
void stopScheduler();

// Ends the watcher of the stores and waits until it has (monitor/core/watch.cpp).
void stopWatching();

// Puts the pace of the IMAP IDLE sessions started from now on
// (monitor/core/idle.cpp).
void setIdleTimings(IdleTimings pace);
// How many sessions are in IDLE now.
int idleSessionsIdling();
