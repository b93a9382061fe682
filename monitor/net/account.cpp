#include "monitor/net/account.h"

#include "common/clock.h"
#include "monitor/core/options.h"

bool accountCheckDue(const Box& box, int64_t now) {
    return now - box.timeStamp.load() > settings::checkDelay.load();
}

int storeAccountCounts(Box& box, int32_t fresh, int32_t total) {
    box.newCount = fresh;
    box.totalCount = total;
    box.settled = 1;
    box.timeStamp = wallClockNow();
    return 1;
}
