#include "monitor/core/cycle.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "monitor/checks/check.h"
#include "monitor/core/launch.h"
#include "monitor/core/options.h"
#include "monitor/core/rcfile.h"

int32_t shownNew = 0;
int32_t shownTotal = 0;
int32_t mailStatus = STATUS_NONE;

namespace {

std::atomic<BoxChecker> boxChecker{checkBox};

// The selection for which the outputs were last computed; none at first, so
// the first cycle always computes them (without threads, the counts of the
// check at start-up would otherwise wait for the next change).
int32_t shownBox = -1;

void computeOutputs(const BoxList& list, int32_t& newShown, int32_t& totalShown, int32_t& status) {
    shownBox = selectedBox.load();
    int32_t selected = shownBox;
    int64_t newSum = 0, totalSum = 0;
    int32_t selectedNew = 0, selectedTotal = 0;
    int32_t number = 0;
    for (const auto& box : list) {
        ++number;
        int32_t boxNew = box->newCount.load();
        int32_t boxTotal = box->totalCount.load();
        newSum += boxNew;
        totalSum += boxTotal;
        if (number == selected) {
            selectedNew = boxNew;
            selectedTotal = boxTotal;
        }
    }
    auto clamp = [](int64_t sum) {
        return static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
    };
    if (selected == 0) {
        newShown = clamp(newSum);
        totalShown = clamp(totalSum);
        status = newSum > 0 ? STATUS_OTHER : STATUS_NONE;
        return;
    }
    totalShown = selectedTotal;
    if (newSum <= 0) {
        status = STATUS_NONE;
        newShown = selectedNew;
    } else if (selectedNew == 0) {
        status = STATUS_OTHER;
        newShown = 0;
    } else if (newSum > selectedNew) {
        status = STATUS_BOTH;
        newShown = selectedNew;
    } else if (newSum == selectedNew) {
        status = STATUS_SELECTED;
        newShown = selectedNew;
    } else {
        status = STATUS_NONE;
        newShown = selectedNew;
    }
}

bool newMailIsNews(int64_t before, int64_t after) {
    if (runOnce.load() == 0) return after > before;
    return before == 0 && after > 0;
}

void runNotify() { launchCommand(notify.get(), std::nullopt); }

// With workers, the counts change behind the cycle's back: compare each
// box's new count with the one seen at the previous cycle. A box's first
// count is its baseline, so mail that was there at start-up, or in a box a
// reload added, is no news. Called under boxListLock.
void notifyFromWorkers(const BoxList& list) {
    int64_t before = 0, after = 0;
    bool compared = false;
    for (const auto& box : list) {
        if (box->counted.load() == 0) continue;
        int32_t now = box->newCount.load();
        int32_t seen = box->notifiedNew.exchange(now);
        if (seen < 0) continue;
        before += seen;
        after += now;
        compared = true;
    }
    if (compared && notify.isSet() && newMailIsNews(before, after)) runNotify();
}

void boxWorker(int32_t position) {
    if (auto box = boxAt(position)) runBoxCheck(*box);
}

void schedulerThread() {
    const auto pause = std::chrono::seconds(checkDelay.load());
    while (useThreads.load() != 0) {
        schedulerPass();
        // Boxes that a reload adds are counted now, not a whole pause later;
        // the others cost a stat, and network boxes pace themselves.
        if (reloadIfChanged(1) == 1 && useThreads.load() != 0) schedulerPass();
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace

void schedulerPass() {
    // The walk works on the list as it was taken: its Boxes stay alive while
    // it runs, so the lock need not be held across a thousand thread
    // creations, which would stall the main thread's cycle.
    auto list = boxListSnapshot();
    int32_t position = 0;
    for (const auto& box : *list) {
        ++position;
        if (box->busy.load() != 0) continue;
        try {
            std::thread(boxWorker, position).detach();
        } catch (const std::system_error&) {
            useThreads = 0;
            break;
        }
    }
}

int runBoxCheck(Box& box) {
    // Claiming the box atomically keeps two checks of one box apart, also
    // when the main thread takes over from workers still running.
    int32_t idle = 0;
    if (!box.busy.compare_exchange_strong(idle, 1)) return 0;
    box.updated = 0;
    int result = boxChecker.load()(box);
    if (result == 1) box.counted = 1;
    box.updated = result;
    box.busy = 0;
    return result;
}

void setBoxChecker(BoxChecker checker) { boxChecker = checker != nullptr ? checker : checkBox; }

void firstCheck() {
    auto list = boxListSnapshot();
    for (const auto& box : *list) runBoxCheck(*box);
}

void startThreads() {
    try {
        std::thread(schedulerThread).detach();
    } catch (const std::system_error&) {
        useThreads = 0;
    }
}

void checkCycle(int32_t& newShown, int32_t& totalShown, int32_t& status) {
    if (useThreads.load() != 0) {
        std::lock_guard guard(boxListLock);
        notifyFromWorkers(*boxList);
        bool anyUpdated = false;
        for (const auto& box : *boxList) anyUpdated = anyUpdated || box->updated.load() == 1;
        if (anyUpdated || selectedBox.load() != shownBox)
            computeOutputs(*boxList, newShown, totalShown, status);
        return;
    }

    auto list = boxListSnapshot();
    auto newSum = [&] {
        int64_t sum = 0;
        for (const auto& box : *list) sum += box->newCount.load();
        return sum;
    };
    int64_t before = newSum();
    bool anyCounted = false;
    for (const auto& box : *list) anyCounted = runBoxCheck(*box) == 1 || anyCounted;
    int64_t after = newSum();
    if (anyCounted && notify.isSet() && newMailIsNews(before, after)) runNotify();
    if (!anyCounted && selectedBox.load() == shownBox) return;
    computeOutputs(*list, newShown, totalShown, status);
}
