#pragma once
// Waiting for a descriptor to become ready, with a deadline.

#include <chrono>

// Waits for `events` (poll's) on the descriptor until the deadline: true
// when ready. A wait broken off by a signal goes on until the deadline.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline);
