#pragma once
// Box definitions and the box list.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/core/options.h"
#include "monitor/headers/headerfields.h"

enum BoxType : int32_t {
    BOX_MBOX = 0,
    BOX_MAILDIR = 1,
    BOX_MH = 2,
    BOX_POP3 = 3,
    BOX_HOTMAIL = 4,
    BOX_IMAP = 5,
};

// One monitored mailbox. The texts are fixed when the Box is made; the
// counters and flags are atomics because a worker writes them while the
// cycle reads them.
struct Box {
    std::string path;
    std::atomic<int64_t> timeStamp{0};
    std::atomic<int64_t> sizeStamp{0};
    std::atomic<int32_t> newCount{0};
    std::atomic<int32_t> totalCount{0};
    std::atomic<int32_t> settled{0};
    // 1 from a check that counted the box afresh until a cycle takes it.
    std::atomic<int32_t> updated{0};
    std::atomic<int32_t> busy{0};
    // 1 once a check has counted the box (or its counts were carried over
    // from a counted box): only then can a rise of its new count be news.
    std::atomic<int32_t> counted{0};
    // The new count the main thread last compared for the notify command, -1
    // before the first comparison. Written under boxListLock only.
    std::atomic<int32_t> notifiedNew{-1};
    // 1 when its store was seen changing (or its server told of mail): the
    // next check counts it whatever its stamps say.
    std::atomic<int32_t> pushed{0};
    // When its new count last rose, in the order of all boxes' rises: the
    // notify command is told of the box whose mail came last.
    std::atomic<uint64_t> risenAt{0};
    int32_t type = BOX_MBOX;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> folder;
    int32_t port = 0;

    // Who wrote the newest new message and about what, as the box's last
    // count found them: written by its check, read by the main thread,
    // always through the two functions below.
    mutable std::mutex newestLock;
    MessageSummary newest;
};

MessageSummary newestMessage(const Box& box);
void setNewestMessage(Box& box, MessageSummary summary);

// The list in force is never changed in place: a rebuild makes a new one and
// swaps it in. Whoever holds a Box (a worker, the cycle, a test) keeps it alive.
using BoxList = std::vector<std::shared_ptr<Box>>;

// Guards `boxList` itself (the pointer), not the Boxes' counters.
extern std::mutex boxListLock;
// Never destroyed: detached workers may still use it while the process exits.
extern std::shared_ptr<const BoxList>& boxList;

// The list in force, taken under the lock.
std::shared_ptr<const BoxList> boxListSnapshot();

void addDefinition(DefinitionList& list, std::optional<std::string_view> text);
void freeDefinitions(DefinitionList& list);
int32_t boxTypeCode(std::string_view keyword);

// Parses one definition into a new Box, or reports why not and returns none.
std::shared_ptr<Box> parseDefinition(std::string_view text);

void rebuildBoxList();
std::shared_ptr<Box> boxAt(int32_t position);
int32_t boxCount(const BoxList& list);
