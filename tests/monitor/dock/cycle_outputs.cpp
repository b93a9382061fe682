// Weak, so that the cycle's own definitions win once they are linked in.

#include "monitor/core/cycle.h"

__attribute__((weak)) int32_t shownNew = 0;
__attribute__((weak)) int32_t shownTotal = 0;
