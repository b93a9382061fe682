#pragma once
// Waiting for descriptors with a deadline, and the pipe that wakes a waiting
// thread: the scheduler's pause, the display's wait for X events, the
// watcher's wait for inotify and the account connections' wait for their
// servers are all this one wait.

#include <atomic>
#include <chrono>

using Deadline = std::chrono::steady_clock::time_point;

// Waits for `events` (poll's) on the descriptor until the deadline: true
// when ready. A wait broken off by a signal goes on until the deadline.
bool waitFor(int fd, short events, Deadline deadline);

enum class Woken {
    raised,    // the wake pipe (or the second descriptor given) became readable
    ready,     // the descriptor waited on became ready
    deadline,  // neither, before the deadline
};

// Waits until `fd` (when not -1) is ready for `events`, `wakeFd` (when not
// -1) is readable, or the deadline comes. A wake-up wins over readiness.
Woken waitUntil(Deadline deadline, int fd, short events, int wakeFd);

// A pipe that wakes one waiting thread. Raising it writes a byte, which is
// safe in a signal handler; the waiter takes every byte when it wakes.
// Until it is opened, raising does nothing and a wait only waits.
class WakePipe {
public:
    WakePipe() = default;
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    // Opens the pipe, once; false when it cannot be made.
    bool open();
    // Async-signal-safe; leaves errno as it was.
    void raise();
    // Readable while raised; -1 before the pipe is opened.
    int readFd() const { return readEnd.load(); }
    // Takes the wake-ups that came.
    void take();
    // Waits until raised, `fd` (when not -1) is ready for `events`, or the
    // deadline, and takes the wake-up.
    Woken wait(Deadline deadline, int fd = -1, short events = 0);

private:
    std::atomic<int> readEnd{-1};
    std::atomic<int> writeEnd{-1};
};
