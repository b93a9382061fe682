#pragma once
// The one entry that checks a Box, and the change tests shared by the local
// checkers.

#include <atomic>
#include <cstdint>

#include "common/clock.h"
#include "monitor/state/boxes.h"
#include "monitor/state/failure.h"

int checkBox(Box& box);

bool timeChanged(const char* path, std::atomic<int64_t>& stamp);
bool sizeChanged(const char* path, std::atomic<int64_t>& stamp);

// The settling rule: returns true when this pass is forced (the stamps were
// cleared because the box is unsettled and its stamp is 11 or more seconds old).
bool applySettlingRule(Box& box, int64_t now);

// What a failed stat, open or listing of a local store says of its box: a
// path that names nothing is a missing mailbox, anything else one that
// cannot be read.
BoxFailure localFailure(int error);
