#pragma once
// Maildir directories.

#include <cstdint>

#include "monitor/core/boxes.h"

int checkMaildirBox(Box& box, int64_t now);
bool countMaildirDir(const char* path, int32_t& seen, int32_t& total);
