#include "monitor/checks/maildir.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "common/directory.h"
#include "monitor/checks/check.h"

namespace {

// Seen: the name holds ":2" and an upper-case S somewhere after it.
bool isSeen(const char* name) {
    const char* info = std::strstr(name, ":2");
    return info != nullptr && std::strchr(info + 2, 'S') != nullptr;
}

}  // namespace

bool countMaildirDir(const char* path, int32_t& seen, int32_t& total) {
    Directory directory(opendir(path));
    if (!directory) return false;
    // readdir on a stream of our own is safe beside other threads.
    while (const dirent* entry = readdir(directory.get())) {
        if (entry->d_name[0] == '.') continue;
        if (total < INT32_MAX) ++total;
        if (isSeen(entry->d_name) && seen < INT32_MAX) ++seen;
    }
    return true;
}

int checkMaildirBox(Box& box, int64_t now) {
    bool forced = applySettlingRule(box, now);
    std::string curPath = box.path + "/cur";
    std::string newPath = box.path + "/new";

    // One stamp stands for both directories: the later of their two
    // status-change times. A delivery or a move changes at least one of them
    // to the present, so the later one moves whenever either changes, and
    // an unchanged Maildir is not listed again.
    struct stat cur {
    }, fresh{};
    if (::stat(curPath.c_str(), &cur) != 0 || ::stat(newPath.c_str(), &fresh) != 0) {
        recordCheckOutcome(box, localFailure(errno));
        return 0;
    }
    int64_t latest = std::max<int64_t>(cur.st_ctime, fresh.st_ctime);
    // Unchanged, the directories are as they were at the last outcome; a
    // failing box is listed afresh until it works.
    if (latest == box.timeStamp.load() && box.failure.load() == BoxFailure::none) return 0;

    int32_t seen = 0;
    int32_t total = 0;
    if (!countMaildirDir(curPath.c_str(), seen, total) ||
        !countMaildirDir(newPath.c_str(), seen, total)) {
        // cur or new there, but no directory that can be listed.
        recordCheckOutcome(
            box, errno == ENOENT ? BoxFailure::mailboxMissing : BoxFailure::mailboxUnreadable);
        return 0;
    }
    box.newCount = total - seen;
    box.totalCount = total;
    recordCheckOutcome(box, BoxFailure::none);
    // A change in this very second may be followed by another within it,
    // which whole seconds cannot tell apart: then the box stays unsettled
    // and is counted once more later.
    box.settled = forced && latest < now ? 1 : 0;
    box.timeStamp = latest;
    return 1;
}
