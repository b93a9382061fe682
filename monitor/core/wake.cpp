#include "monitor/core/wake.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace {

// One pipe a waiter: its read end and write end, -1 until prepared.
struct WakePipe {
    std::atomic<int> readEnd{-1};
    std::atomic<int> writeEnd{-1};
};
WakePipe scheduler;
WakePipe display;
WakePipe watcher;
std::once_flag prepared;

void drain(int fd) {
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

void openPipe(WakePipe& wake) {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return;
    wake.readEnd = ends[0];
    wake.writeEnd = ends[1];
}

void raisePipe(WakePipe& wake) {
    int fd = wake.writeEnd.load();
    if (fd < 0) return;
    int saved = errno;  // a signal handler must leave errno as it found it
    char byte = 1;
    // A full pipe already holds a wake-up: nothing is lost.
    [[maybe_unused]] ssize_t ignored = write(fd, &byte, 1);
    errno = saved;
}

}  // namespace

void prepareWakeUps() {
    std::call_once(prepared, [] {
        openPipe(scheduler);
        openPipe(display);
        openPipe(watcher);
    });
}

void wakeScheduler() { raisePipe(scheduler); }

void wakeDisplay() { raisePipe(display); }

int displayWakeFd() { return display.readEnd.load(); }

void takeDisplayWake() {
    int fd = display.readEnd.load();
    if (fd >= 0) drain(fd);
}

void wakeWatcher() { raisePipe(watcher); }

int watcherWakeFd() { return watcher.readEnd.load(); }

void takeWatcherWake() {
    int fd = watcher.readEnd.load();
    if (fd >= 0) drain(fd);
}

bool schedulerPause(std::chrono::milliseconds pause) {
    prepareWakeUps();
    int fd = scheduler.readEnd.load();
    auto end = std::chrono::steady_clock::now() + pause;
    for (;;) {
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, POLLIN, 0};
        int ready = poll(&entry, fd >= 0 ? 1 : 0,
                         static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (ready > 0) {
            drain(fd);
            return true;
        }
        if (ready < 0 && errno != EINTR) return false;
    }
}
