#pragma once
// Whether each box works: the outcome its checks record, the reasons, and
// the line on standard error when a box starts failing, fails for another
// reason or works again.

#include <cstdint>

#include "monitor/state/boxes.h"

// The text of a reason, as the messages give it; "" for none.
const char* failureReason(BoxFailure failure);

// Records the outcome of a check of the box: BoxFailure::none when it
// worked. The check calls it once it knows, and only when it had an
// outcome: not for a box that was not due or whose store was unchanged.
// A change is said once on standard error, for a box still in force (the
// box that a reload put in its place says it otherwise).
void recordCheckOutcome(Box& box, BoxFailure outcome);

// Moves whenever a box's state changes: the cycle then draws it.
uint64_t failureChanges();

// Called after each change of the state of a box in force, in the thread
// that recorded it: the display's wake-up. None at first.
void setFailureListener(void (*listener)());
