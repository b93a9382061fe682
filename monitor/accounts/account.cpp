#include "monitor/accounts/account.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "common/clock.h"
#include "monitor/state/failure.h"
#include "monitor/state/options.h"

namespace {

constexpr int64_t firstLimitPause = 60;
constexpr int64_t longestLimitPause = 30 * 60;

struct AccountRecord {
    int limits = 0;  // refusals for the number of connections in a row
    int64_t pausedUntil = 0;
    // The failure of the account's last check that failed for the account
    // as a whole; none once one signs in. What a pause waits out.
    NetFailure failure = NetFailure::none;
};

std::mutex recordsLock;
std::map<std::string, AccountRecord>& records = *new std::map<std::string, AccountRecord>;

}  // namespace

std::string accountName(const Box& box) {
    std::string name = box.user ? *box.user + "@" : "";
    bool six = box.path.find(':') != std::string::npos;
    return name + (six ? "[" + box.path + "]" : box.path) + ":" + std::to_string(box.port);
}

NetAccount netAccount(const Box& box) {
    return NetAccount{box.path, box.port, box.user, box.folder};
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

namespace {

BoxFailure boxFailureOf(NetFailure failure) {
    switch (failure) {
    case NetFailure::none:
        return BoxFailure::none;
    case NetFailure::unreachable:
        return BoxFailure::unreachable;
    case NetFailure::tlsFailed:
        return BoxFailure::tlsFailed;
    case NetFailure::identityRefused:
        return BoxFailure::identityRefused;
    case NetFailure::signInRefused:
        return BoxFailure::signInRefused;
    case NetFailure::credentialFailed:
        return BoxFailure::credentialCommand;
    case NetFailure::tooManyConnections:
        return BoxFailure::tooManyConnections;
    case NetFailure::notUnderstood:
        return BoxFailure::answerNotUnderstood;
    case NetFailure::noSuchFolder:
        return BoxFailure::noSuchFolder;
    }
    return BoxFailure::answerNotUnderstood;
}

}  // namespace

void noteCheckFailure(Box& box, NetFailure failure) {
    {
        std::lock_guard guard(recordsLock);
        // A missing folder is the folder's alone: the account signed in.
        records[accountName(box)].failure =
            failure == NetFailure::noSuchFolder ? NetFailure::none : failure;
    }
    recordCheckOutcome(box, boxFailureOf(failure));
}

void noteCheckHeld(Box& box) {
    NetFailure failure = NetFailure::none;
    {
        std::lock_guard guard(recordsLock);
        auto found = records.find(accountName(box));
        if (found != records.end()) failure = found->second.failure;
    }
    if (failure != NetFailure::none && box.failure.load() == BoxFailure::none)
        recordCheckOutcome(box, boxFailureOf(failure));
}

// For the tests (monitor/accounts/accountstesting.h).
void forgetAccounts() {
    std::lock_guard guard(recordsLock);
    records.clear();
}
