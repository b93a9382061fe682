#include "monitor/checks/maildir.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "common/directory.h"
#include "common/text.h"
#include "monitor/checks/check.h"

namespace {

// Seen: the name holds ":2" and an upper-case S somewhere after it.
bool isSeen(const char* name) {
    const char* info = std::strstr(name, ":2");
    return info != nullptr && std::strchr(info + 2, 'S') != nullptr;
}

std::string_view digitRun(std::string_view text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && isDigit(text[end])) ++end;
    return text.substr(at, end - at);
}

}  // namespace

bool deliveredBefore(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::string_view x = digitRun(a, i), y = digitRun(b, j);
            i += x.size();
            j += y.size();
            while (x.size() > 1 && x.front() == '0') x.remove_prefix(1);
            while (y.size() > 1 && y.front() == '0') y.remove_prefix(1);
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

bool countMaildirDir(const char* path, int32_t& seen, int32_t& total, NewestUnseen* newest) {
    Directory directory(opendir(path));
    if (!directory) return false;
    // Entries are gone at the next readdir: what is kept is copied.
    bool have = newest != nullptr && !newest->path.empty();
    std::string newestName = have ? newest->name : std::string();
    std::string found;
    // readdir on a stream of our own is safe beside other threads.
    while (const dirent* entry = readdir(directory.get())) {
        if (entry->d_name[0] == '.') continue;
        if (total < INT32_MAX) ++total;
        if (isSeen(entry->d_name)) {
            if (seen < INT32_MAX) ++seen;
        } else if (newest != nullptr) {
            std::string_view name(entry->d_name);
            name = name.substr(0, name.find(':'));
            if (!have || deliveredBefore(newestName, name)) {
                have = true;
                found = entry->d_name;
                newestName = name;
            }
        }
    }
    if (!found.empty()) {
        newest->path = std::string(path) + "/" + found;
        newest->name = std::move(newestName);
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
    NewestUnseen newest;
    if (!countMaildirDir(curPath.c_str(), seen, total, &newest) ||
        !countMaildirDir(newPath.c_str(), seen, total, &newest)) {
        // cur or new there, but no directory that can be listed.
        recordCheckOutcome(
            box, errno == ENOENT ? BoxFailure::mailboxMissing : BoxFailure::mailboxUnreadable);
        return 0;
    }
    // A mail client may move the file from new to cur meanwhile: then it is
    // not known for now.
    setNewestMessage(box, total > seen && !newest.path.empty() ? readMessageSummary(newest.path)
                                                               : MessageSummary{});
    box.newCount = total - seen;
    box.totalCount = total;
    recordCheckOutcome(box, BoxFailure::none);
    // A change in this very second may be followed by another within it,
    // which whole seconds cannot tell apart: then the box stays unsettled
    // and is counted once more later.
    box.settled = forced && latest < now;
    box.timeStamp = latest;
    return 1;
}
