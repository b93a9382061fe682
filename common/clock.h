#pragma once
// The wall clock in whole seconds since the epoch, behind a seam: tests put a
// clock of their own in its place.

#include <cstdint>

using WallClock = int64_t (*)();
int64_t wallClockNow();
void setWallClock(WallClock clock);  // nullptr restores the system clock
