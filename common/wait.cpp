#include "common/wait.h"

#include <poll.h>

#include <algorithm>

bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, events, 0};
        // poll, unlike select, has no limit on the descriptor's number.
        int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (ready > 0) return true;
        if (ready == 0) return false;
    }
}
