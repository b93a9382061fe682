#include "monitor/checks/check.h"

#include <sys/stat.h>

#include <cerrno>

#include "common/clock.h"
#include "monitor/checks/imapcheck.h"
#include "monitor/checks/maildir.h"
#include "monitor/checks/mbox.h"
#include "monitor/checks/mh.h"
#include "monitor/checks/pop3check.h"

int checkBox(Box& box) {
    int64_t now = wallClockNow();
    // A change seen as it happened is counted now: stamps of whole seconds
    // cannot tell a second delivery within the second of the last count, and
    // a network box would wait out its check delay.
    if (box.pushed.exchange(false)) {
        box.timeStamp = 0;
        box.sizeStamp = 0;
    }
    switch (box.type) {
    case BOX_MBOX:
        return checkMboxBox(box, now);
    case BOX_MAILDIR:
        return checkMaildirBox(box, now);
    case BOX_MH:
        return checkMhBox(box, now);
    case BOX_POP3:
    case BOX_HOTMAIL:
        return pop3Check(box, now);
    case BOX_IMAP:
        return imapCheck(box, now);
    default:
        return 0;
    }
}

bool applySettlingRule(Box& box, int64_t now) {
    if (now - box.timeStamp.load() >= 11 && !box.settled.load()) {
        box.timeStamp = 0;
        box.sizeStamp = 0;
        return true;
    }
    return false;
}

BoxFailure localFailure(int error) {
    return error == ENOENT || error == ENOTDIR ? BoxFailure::mailboxMissing
                                               : BoxFailure::mailboxUnreadable;
}

namespace {

// Stats the path and stores what `field` takes of it into the stamp when it
// differs: true then. False when they are equal or the stat fails.
template <typename Field>
bool stampChanged(const char* path, std::atomic<int64_t>& stamp, Field field) {
    struct stat status {};
    if (stat(path, &status) != 0) return false;
    int64_t now = field(status);
    if (now == stamp.load()) return false;
    stamp = now;
    return true;
}

}  // namespace

bool timeChanged(const char* path, std::atomic<int64_t>& stamp) {
    return stampChanged(path, stamp,
                        [](const struct stat& status) { return int64_t{status.st_ctime}; });
}

bool sizeChanged(const char* path, std::atomic<int64_t>& stamp) {
    return stampChanged(path, stamp,
                        [](const struct stat& status) { return int64_t{status.st_size}; });
}
