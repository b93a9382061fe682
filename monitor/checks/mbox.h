#pragma once
// mbox files.

#include <cstdint>

#include "monitor/core/boxes.h"

int checkMboxBox(Box& box, int64_t now);
