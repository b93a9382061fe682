#include "monitor/net/account.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "common/clock.h"
#include "common/text.h"
#include "monitor/core/options.h"

namespace {

constexpr int64_t firstLimitPause = 60;
constexpr int64_t longestLimitPause = 30 * 60;

struct AccountRecord {
    int limits = 0;  // refusals for the number of connections in a row
    int64_t pausedUntil = 0;
    std::map<std::string, NetFailure> failures;  // by folder
};

std::mutex recordsLock;
std::map<std::string, AccountRecord>& records = *new std::map<std::string, AccountRecord>;

}  // namespace

std::string accountName(const Box& box) {
    std::string name = box.user ? *box.user + "@" : "";
    bool six = box.path.find(':') != std::string::npos;
    return name + (six ? "[" + box.path + "]" : box.path) + ":" + std::to_string(box.port);
}

bool accountCheckDue(const Box& box, int64_t now) {
    return now - box.timeStamp.load() >= settings::checkDelay.load();
}

int storeAccountCounts(Box& box, int32_t fresh, int32_t total) {
    box.newCount = fresh;
    box.totalCount = total;
    box.settled = 1;
    box.timeStamp = wallClockNow();
    return 1;
}

bool isConnectionLimit(std::string_view line) {
    for (std::string_view said :
         {"[LIMIT]", "Maximum number of connections", "Too many simultaneous connections"}) {
        for (std::size_t at = 0; at + said.size() <= line.size(); ++at)
            if (equalsNoCase(line.substr(at, said.size()), said)) return true;
    }
    return false;
}

void noteConnectionLimit(const Box& box) {
    std::string name = accountName(box);
    std::lock_guard guard(recordsLock);
    AccountRecord& record = records[name];
    int64_t pause = std::min(longestLimitPause, firstLimitPause << std::min(record.limits, 10));
    if (record.limits++ == 0)
        std::fprintf(stderr,
                     "quorvik warning : the server of %s allows no more connections: the monitor "
                     "waits a while before it asks again\n",
                     name.c_str());
    record.pausedUntil = wallClockNow() + pause;
}

bool accountPaused(const Box& box) {
    std::string name = accountName(box);
    std::lock_guard guard(recordsLock);
    auto found = records.find(name);
    return found != records.end() && wallClockNow() < found->second.pausedUntil;
}

void noteAccountAnswered(const Box& box) {
    std::string name = accountName(box);
    std::lock_guard guard(recordsLock);
    auto found = records.find(name);
    if (found == records.end()) return;
    found->second.limits = 0;
    found->second.pausedUntil = 0;
}

void noteCheckFailure(const Box& box, NetFailure failure) {
    std::string name = accountName(box);
    std::lock_guard guard(recordsLock);
    records[name].failures[box.folder.value_or("")] = failure;
}

NetFailure checkFailureOf(const Box& box) {
    std::string name = accountName(box);
    std::lock_guard guard(recordsLock);
    auto found = records.find(name);
    if (found == records.end()) return NetFailure::none;
    auto failure = found->second.failures.find(box.folder.value_or(""));
    return failure == found->second.failures.end() ? NetFailure::none : failure->second;
}

// For the tests (monitor/net/testing.h).
void forgetAccounts() {
    std::lock_guard guard(recordsLock);
    records.clear();
}
