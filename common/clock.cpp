#include "common/clock.h"

#include <atomic>
#include <ctime>

namespace {

int64_t systemClock() { return static_cast<int64_t>(std::time(nullptr)); }

std::atomic<WallClock> clockInUse{systemClock};

}  // namespace

int64_t wallClockNow() { return clockInUse.load()(); }

void setWallClock(WallClock clock) { clockInUse = clock != nullptr ? clock : systemClock; }
