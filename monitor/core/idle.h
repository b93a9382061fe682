#pragma once
// Push for IMAP boxes: for each IMAP box whose server offers IDLE, a thread
// of its own keeps a connection in IDLE on the box's folder and checks the
// box the moment the server tells of mail. A dropped connection is opened
// again after a pause that doubles each time; the scheduler's passes go on
// meanwhile, and a server without IDLE is only polled.

#include <chrono>

#include "monitor/core/boxes.h"

// Starts a session for each IMAP box of the list that has none, and ends
// the sessions of boxes that are no longer in it (a reload dropped or
// changed them). Called by the watcher whenever the list in force changes.
void followIdleBoxes(const BoxList& list);

// Ends every session (Push was turned off, or the watcher ends).
void endIdleSessions();

// IDLE is started again this often (servers may end it after 30 minutes),
// and a dropped connection is opened again after the first pause, doubled
// each time up to the longest.
struct IdleTimings {
    std::chrono::milliseconds renewal{std::chrono::minutes(25)};
    std::chrono::milliseconds firstRetry{std::chrono::seconds(5)};
    std::chrono::milliseconds longestRetry{std::chrono::minutes(5)};
};
IdleTimings idleTimings();
