#pragma once
// POP3 and HOTMAIL boxes: a check over one connection of its own, the counts
// and the newest message stored in the box.

#include <cstdint>

#include "monitor/state/boxes.h"

int pop3Check(Box& box, int64_t now);
