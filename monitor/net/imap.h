#pragma once
// IMAP accounts.

#include <cstdint>

#include "monitor/core/boxes.h"

int imapCheck(Box& box, int64_t now);
