#pragma once
// What both clients do with a network Box around their dialogue.

#include <cstdint>

#include "monitor/core/boxes.h"

// True once more than checkDelay seconds have passed since the box's last
// check. The clients then stamp the box at once, so that a failed attempt
// also waits checkDelay seconds before the next one.
bool accountCheckDue(const Box& box, int64_t now);

// Stores the counts of a successful dialogue; the result of the check, 1.
int storeAccountCounts(Box& box, int32_t fresh, int32_t total);
