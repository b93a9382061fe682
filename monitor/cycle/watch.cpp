#include "monitor/cycle/watch.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/fd.h"
#include "common/paths.h"
#include "monitor/checks/mh.h"
#include "monitor/cycle/cycle.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/cycle/wake.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"

namespace {

using Clock = std::chrono::steady_clock;

// What changes a store: its files written, created, removed or renamed.
// Reading is not (the checks read), nor are times set (the mbox check sets
// its file's access time back).
constexpr uint32_t storeEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                 IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// The nearest existing folder above a store that is not there (yet): only
// what comes into it matters.
constexpr uint32_t anchorEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// A folder passed through on the way to a store: moved or removed, it no
// longer is on the way.
constexpr uint32_t wayEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// An entry of a folder that came, went or was replaced.
constexpr uint32_t entryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// One change under a watched folder that concerns a box, or the rc file.
struct Interest {
    std::shared_ptr<Box> box;  // none: the rc file
    std::string name;          // the entry that matters; empty: any entry
};

// What a folder is watched for.
struct Watched {
    std::string folder;
    uint32_t mask = 0;
    std::vector<Interest> interests;
    // Its entries on the way to a store, links and store files: one that
    // comes, goes or is replaced may make a path lead elsewhere.
    std::set<std::string> onTheWay;
};
using Folders = std::map<std::string, Watched>;

// Where the stores of each box (and the rc file) were found at a sync: the
// watch of each store's folder and the entry in it.
using Stores = std::map<std::shared_ptr<Box>, std::set<std::pair<int, std::string>>>;

// A box (or the rc file) whose store changed and is to be checked.
struct Pending {
    std::shared_ptr<Box> box;
    Clock::time_point first;
    Clock::time_point last;
};

int addWatch(int fd, const char* path, uint32_t mask) { return inotify_add_watch(fd, path, mask); }
std::atomic<WatchAdder> adderInUse{addWatch};

std::mutex lifeLock;  // guards running and stopping
std::condition_variable ended;
bool running = false;
bool stopping = false;

bool goOn() {
    std::lock_guard guard(lifeLock);
    return !stopping && settings::push.load() != 0 && settings::useThreads.load() != 0;
}

std::atomic<bool> warnedUnavailable{false};
std::atomic<bool> warnedLimit{false};

std::string folderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The parts of a path between its slashes, without the empty ones and ".".
std::deque<std::string> partsOf(const std::string& path) {
    std::deque<std::string> parts;
    for (std::size_t at = 0; at <= path.size();) {
        std::size_t slash = std::min(path.find('/', at), path.size());
        std::string part = path.substr(at, slash - at);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        at = slash + 1;
    }
    return parts;
}

// The folder above one reached by a walk: with its links followed, a
// folder's name tells its parent, but for "." and "..".
std::string parentOf(const std::string& folder) {
    if (folder.empty()) return folder;  // the root
    if (folder == "." || folder.ends_with("..")) return folder + "/..";
    return folder.substr(0, folder.rfind('/'));
}

// What lstat said of each path met in one sync (the boxes share most of their
// folders); none when there is nothing there.
using Modes = std::map<std::string, std::optional<mode_t>>;

std::optional<mode_t> modeOf(const std::string& path, Modes& modes) {
    auto [entry, fresh] = modes.try_emplace(path);
    struct stat status {};
    if (fresh && lstat(path.c_str(), &status) == 0) entry->second = status.st_mode;
    return entry->second;
}

// Follows a path as the user named it, part by part, and notes what to watch
// so that a path that comes to lead elsewhere is walked again: each folder
// passed through, for its own move or removal, and the entry of each link,
// for its replacement. Gives the path that the links lead to; from the first
// part that is not there, the rest stays as named.
std::string followWay(const std::string& path, Folders& folders, Modes& modes) {
    std::deque<std::string> rest = partsOf(path);
    std::string at = !path.empty() && path.front() == '/' ? "" : ".";  // "": the root
    int links = 0;
    while (!rest.empty()) {
        std::string name = std::move(rest.front());
        rest.pop_front();
        if (name == "..") {
            at = parentOf(at);
            continue;
        }
        std::string next = at + "/" + name;
        std::optional<mode_t> mode = modeOf(next, modes);
        std::optional<std::string> target;
        if (mode && S_ISLNK(*mode) && links < linkLimit) target = readLink(next);
        if (target) {
            ++links;
            Watched& holder = folders[at.empty() ? "/" : at];
            holder.mask |= entryEvents;
            holder.onTheWay.insert(name);
            std::deque<std::string> parts = partsOf(*target);
            rest.insert(rest.begin(), parts.begin(), parts.end());
            if (target->front() == '/') at.clear();
            continue;
        }
        if (!mode) {
            for (const std::string& part : rest) next += "/" + part;
            return next;
        }
        if (!rest.empty() && S_ISDIR(*mode)) folders[next].mask |= wayEvents;
        at = std::move(next);
    }
    return at.empty() ? "/" : at;
}

// The MH folder a box names, found as its check finds it.
std::optional<std::string> mhFolder(const Box& box) {
    auto root = mhProfileValue("path");
    if (!root) return std::nullopt;
    auto absolute = mhAbsolutePath(*root, PathBase::homeDirectory);
    if (!absolute) return std::nullopt;
    return joinPath(*absolute, box.path);
}

class Watcher {
public:
    // Watches what the list in force needs from the start, so that nothing
    // that lands after startWatching has returned goes unseen.
    explicit Watcher(int fd) : inotify(fd) { sync(); }

    void run() {
        while (goOn()) {
            sync();
            waitAndTake();
            checkDue();
        }
    }

private:
    // The folders to watch for the list in force and the rc file: the stores
    // where the paths lead now, and what is on the way to them.
    static Folders wanted(const BoxList& list) {
        Folders folders;
        Modes modes;
        auto file = [&](const std::shared_ptr<Box>& box, const std::string& path) {
            std::string target = followWay(path, folders, modes);
            Watched& folder = folders[folderOf(target)];
            folder.mask |= storeEvents;
            folder.interests.push_back({box, nameOf(target)});
            folder.onTheWay.insert(nameOf(target));  // replaced by a link, say
        };
        auto store = [&](const std::shared_ptr<Box>& box, const std::string& path) {
            Watched& folder = folders[followWay(path, folders, modes)];
            folder.mask |= storeEvents;
            folder.interests.push_back({box, ""});
        };
        for (const auto& box : list) {
            switch (box->type) {
            case BOX_MBOX:
                file(box, box->path);
                break;
            case BOX_MAILDIR:
                store(box, box->path + "/new");
                store(box, box->path + "/cur");
                break;
            case BOX_MH:
                if (auto folder = mhFolder(*box)) store(box, *folder);
                break;
            default:
                break;
            }
        }
        if (auto rc = settings::rcFilePath.get()) file(nullptr, *rc);
        return folders;
    }

    // Watches what the list in force needs, when it changed, a folder that
    // was missing may have come, or a path may lead elsewhere now.
    void sync() {
        auto list = boxListSnapshot();
        if (list == syncedList && !resync) return;
        bool sameList = list == syncedList;
        syncedList = list;
        resync = false;
        anchors.clear();
        std::map<int, Watched> fresh;
        Stores stores;
        for (auto& [folder, want] : wanted(*list)) {
            int wd = adderInUse.load()(inotify.get(), folder.c_str(), want.mask | IN_MASK_ADD);
            for (const Interest& interest : want.interests)
                stores[interest.box].insert({wd, interest.name});
            if (wd >= 0) {
                Watched& watched = fresh[wd];
                watched.folder = folder;
                watched.mask |= want.mask;
                watched.interests.insert(watched.interests.end(), want.interests.begin(),
                                         want.interests.end());
                watched.onTheWay.insert(want.onTheWay.begin(), want.onTheWay.end());
                continue;
            }
            if (errno == ENOSPC) {
                if (!warnedLimit.exchange(true))
                    std::fputs(
                        "quorvik warning : inotify's watch limit is reached: boxes not watched "
                        "show new mail at the scheduler's next pass\n",
                        stderr);
                continue;
            }
            // Not there yet: watch the nearest folder above it that is, and
            // look again when something comes into it.
            for (std::string above = folderOf(folder); !above.empty(); above = folderOf(above)) {
                int anchor = adderInUse.load()(inotify.get(), above.c_str(),
                                               anchorEvents | IN_ONLYDIR | IN_MASK_ADD);
                if (anchor >= 0) {
                    fresh[anchor].folder = above;
                    anchors.push_back(anchor);
                    break;
                }
                if (errno == ENOSPC || above == "/" || above == ".") break;
            }
        }
        for (const auto& [wd, watched] : watches)
            if (fresh.count(wd) == 0) inotify_rm_watch(inotify.get(), wd);
        watches = std::move(fresh);
        // A store that the path leads to now may hold mail that no event told
        // of: one of another folder, or one that was not there. (A new list
        // is counted by the scheduler's pass.)
        if (sameList) {
            auto now = Clock::now();
            for (const auto& [box, places] : stores)
                if (auto before = storesSeen.find(box);
                    before != storesSeen.end() && before->second != places)
                    mark(box, now);
        }
        storesSeen = std::move(stores);
    }

    // Waits for the next change, or until the next pending check is due, or
    // until a check delay has passed (a missing folder may come where no
    // watch can see it), and takes every change that has come.
    void waitAndTake() {
        auto timeout = std::chrono::milliseconds(std::chrono::seconds(settings::checkDelay.load()));
        if (!pending.empty()) {
            auto next = Clock::time_point::max();
            for (const auto& [key, change] : pending) next = std::min(next, due(change));
            timeout = std::max(std::chrono::milliseconds(0),
                               std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()));
        }
        auto deadline = Clock::now() + timeout;
        Woken woken = watcherWake().wait(deadline, inotify.get(), POLLIN);
        if (woken == Woken::deadline && pending.empty()) resync = true;
        if (woken == Woken::deadline) return;
        if (woken == Woken::raised) resync = true;
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        for (;;) {
            ssize_t got = read(inotify.get(), buffer, sizeof buffer);
            if (got <= 0) break;
            for (char* at = buffer; at < buffer + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                take(*event);
                at += sizeof(inotify_event) + event->len;
            }
        }
    }

    void take(const inotify_event& event) {
        auto now = Clock::now();
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            // Changes were lost: every box may have some.
            for (const auto& box : *syncedList) mark(box, now);
            mark(nullptr, now);
            resync = true;
            return;
        }
        auto found = watches.find(event.wd);
        if (found == watches.end()) return;
        std::string name = event.len > 0 ? std::string(event.name) : std::string();
        if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0 ||
            std::find(anchors.begin(), anchors.end(), event.wd) != anchors.end() ||
            ((event.mask & entryEvents) != 0 && found->second.onTheWay.count(name) != 0))
            resync = true;
        for (const Interest& interest : found->second.interests) {
            bool self = (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0;
            if (self || interest.name.empty() || interest.name == name) mark(interest.box, now);
        }
    }

    void mark(const std::shared_ptr<Box>& box, Clock::time_point now) {
        auto [entry, fresh] = pending.try_emplace(box.get(), Pending{box, now, now});
        if (!fresh) entry->second.last = now;
    }

    static Clock::time_point due(const Pending& change) {
        return std::min(change.last + watchQuiet, change.first + watchLongest);
    }

    void checkDue() {
        auto now = Clock::now();
        bool shown = false;
        for (auto it = pending.begin(); it != pending.end();) {
            if (due(it->second) > now) {
                ++it;
                continue;
            }
            std::shared_ptr<Box> box = it->second.box;
            if (!box) {
                it = pending.erase(it);
                shown = reload() || shown;
                continue;
            }
            box->pushed = 1;
            if (runBoxCheck(*box) == 1) shown = true;
            if (box->pushed.load() == 1) {
                // A worker had it: try again once that check is over.
                it->second.first = it->second.last = now;
                ++it;
                continue;
            }
            it = pending.erase(it);
        }
        if (shown) wakeDisplay();
    }

    // The rc file changed: read it now, as the scheduler would at its pass.
    bool reload() {
        auto before = boxListSnapshot();
        if (reloadChangedRcFile() != 1) return false;
        if (boxListSnapshot() != before) schedulerPass();
        return true;
    }

    FileDescriptor inotify;
    std::shared_ptr<const BoxList> syncedList;
    bool resync = true;
    std::map<int, Watched> watches;
    Stores storesSeen;
    std::vector<int> anchors;
    std::map<const Box*, Pending> pending;
};

void watcherThread(std::unique_ptr<Watcher> watcher) {
    // As the scheduler: the user's wake-up signal is the main thread's.
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    watcher->run();
    watcher.reset();
    std::lock_guard guard(lifeLock);
    running = false;
    ended.notify_all();
}

}  // namespace

void startWatching() {
    if (settings::push.load() == 0 || settings::useThreads.load() == 0) return;
    prepareWakeUps();
    std::lock_guard guard(lifeLock);
    if (running) return;
    stopping = false;
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        if (!warnedUnavailable.exchange(true))
            std::fprintf(stderr,
                         "quorvik warning : cannot watch the mail boxes (%s): new mail shows at "
                         "the scheduler's next pass\n",
                         std::strerror(errno));
        return;
    }
    auto watcher = std::make_unique<Watcher>(fd);
    try {
        std::thread(watcherThread, std::move(watcher)).detach();
        running = true;
    } catch (const std::system_error&) {
    }
}

void setWatchAdder(WatchAdder adder) { adderInUse = adder != nullptr ? adder : addWatch; }

// For the tests (tests/support/monitor_testing.h).
void stopWatching() {
    std::unique_lock guard(lifeLock);
    stopping = true;
    wakeWatcher();
    ended.wait(guard, [] { return !running; });
}
