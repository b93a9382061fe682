#include "common/wait.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

Woken waitUntil(Deadline deadline, int fd, short events, int wakeFd) {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0) return Woken::deadline;
        // poll, unlike select, has no limit on the descriptors' numbers; an
        // entry of -1 is passed over.
        pollfd entries[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
        int ready = poll(entries, 2, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        // A wait longer than poll's longest ends at the top of the loop only.
        if (ready <= 0) continue;  // 0: the time is up, or poll's longest; -1: a signal
        if (entries[0].revents != 0) return Woken::raised;
        return Woken::ready;
    }
}

bool waitFor(int fd, short events, Deadline deadline) {
    return waitUntil(deadline, fd, events, -1) == Woken::ready;
}

WakePipe::~WakePipe() {
    for (std::atomic<int>* end : {&readEnd, &writeEnd})
        if (int fd = end->exchange(-1); fd >= 0) close(fd);
}

bool WakePipe::open() {
    if (readEnd.load() >= 0) return true;
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    writeEnd = ends[1];
    readEnd = ends[0];
    return true;
}

void WakePipe::raise() {
    int fd = writeEnd.load();
    if (fd < 0) return;
    int saved = errno;
    char byte = 1;
    // A full pipe already holds a wake-up: nothing is lost.
    [[maybe_unused]] ssize_t ignored = write(fd, &byte, 1);
    errno = saved;
}

void WakePipe::take() {
    int fd = readEnd.load();
    if (fd < 0) return;
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

Woken WakePipe::wait(Deadline deadline, int fd, short events) {
    Woken woken = waitUntil(deadline, fd, events, readEnd.load());
    if (woken == Woken::raised) take();
    return woken;
}
