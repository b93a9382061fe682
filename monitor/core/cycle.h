#pragma once
// The check cycle: what the display shows, the mail status, and the threads
// that check the boxes.

#include <cstdint>

#include "monitor/core/boxes.h"

enum MailStatus : int32_t {
    STATUS_NONE = 0,      // no box has new mail
    STATUS_OTHER = 1,     // new mail, but not in the selected box (or all boxes selected)
    STATUS_SELECTED = 2,  // new mail only in the selected box
    STATUS_BOTH = 3,      // new mail in the selected box and elsewhere
};

// The cycle's outputs. Written and read by the main thread only.
extern int32_t shownNew;
extern int32_t shownTotal;
extern int32_t mailStatus;

void checkCycle(int32_t& newShown, int32_t& totalShown, int32_t& status);
void runBoxCheck(Box& box);
void firstCheck();
void startThreads();
