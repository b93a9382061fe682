#pragma once
// POP3 and HOTMAIL accounts.

#include <cstdint>

#include "monitor/core/boxes.h"

int pop3Check(Box& box, int64_t now);
