#include "monitor/core/cycle.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "monitor/checks/check.h"
#include "monitor/core/accountconnections.h"
#include "monitor/core/failure.h"
#include "monitor/core/launch.h"
#include "monitor/core/options.h"
#include "monitor/core/rcfile.h"
#include "monitor/core/wake.h"
#include "monitor/core/watch.h"
#include "monitor/net/account.h"

int32_t shownNew = 0;
int32_t shownTotal = 0;
int32_t mailStatus = STATUS_NONE;
int32_t shownFailing = 0;

namespace {

std::atomic<BoxChecker> boxChecker{checkBox};

bool isNetworkBox(const Box& box) {
    return box.type == BOX_POP3 || box.type == BOX_HOTMAIL || box.type == BOX_IMAP;
}

// The selection for which the outputs were last computed; none at first, so
// the first cycle always computes them (without threads, the counts of the
// check at start-up would otherwise wait for the next change).
int32_t shownBox = -1;
// The list they were computed from: a reload that drops or adds boxes
// changes the sums even when no box was counted afresh.
std::shared_ptr<const BoxList> shownList;
// The boxes' states they were computed from.
uint64_t shownFailureChanges = 0;

std::atomic<NotifyRunner> notifyRunner{nullptr};

void boxWorker(int32_t position) {
    if (auto box = boxAt(position)) runBoxCheck(*box);
}

bool startWorkerThread(int32_t position) {
    try {
        std::thread(boxWorker, position).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

std::atomic<WorkerStarter> workerStarter{startWorkerThread};

// The scheduler thread's life, for stopScheduler.
std::mutex schedulerLock;
std::condition_variable schedulerEnded;
bool schedulerRunning = false;

void computeOutputs(const std::shared_ptr<const BoxList>& shown, int32_t& newShown,
                    int32_t& totalShown, int32_t& status) {
    shownList = shown;
    shownFailureChanges = failureChanges();
    const BoxList& list = *shown;
    shownBox = settings::selectedBox.load();
    int32_t selected = shownBox;
    int64_t newSum = 0, totalSum = 0;
    int32_t selectedNew = 0, selectedTotal = 0;
    bool anyFailing = false, selectedFailing = false;
    int32_t number = 0;
    for (const auto& box : list) {
        ++number;
        int32_t boxNew = box->newCount.load();
        int32_t boxTotal = box->totalCount.load();
        bool failing = box->failure.load() != BoxFailure::none;
        newSum += boxNew;
        totalSum += boxTotal;
        anyFailing = anyFailing || failing;
        if (number == selected) {
            selectedNew = boxNew;
            selectedTotal = boxTotal;
            selectedFailing = failing;
        }
    }
    shownFailing = (selected == 0 ? anyFailing : selectedFailing) ? 1 : 0;
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
    if (settings::runOnce.load() == 0) return after > before;
    return before == 0 && after > 0;
}

// The order of the boxes' rises of their new counts.
std::atomic<uint64_t> lastRise{0};

// The notify command is told of the box whose new count rose last.
void runNotify(const BoxList& list) {
    std::vector<std::string> variables = mailVariables(list, latestRisenBox(list));
    if (NotifyRunner runner = notifyRunner.load()) {
        runner(variables);
        return;
    }
    launchCommand(settings::notify.get(), std::nullopt, std::move(variables));
}

// Takes the boxes' fresh-count marks: each is read by exactly one cycle.
bool takeUpdated(const BoxList& list) {
    bool any = false;
    // A load first: most boxes are not marked, and a load costs less than a swap.
    for (const auto& box : list)
        if (box->updated.load() == 1 && box->updated.exchange(0) == 1) any = true;
    return any;
}

// With workers, the counts change behind the cycle's back: compare each
// box's new count with the one seen at the previous cycle. A box's first
// count is its baseline, so mail that was there at start-up, or in a box a
// reload added, is no news. Called under boxListLock.
void notifyFromWorkers(const BoxList& list) {
    int64_t before = 0, after = 0;
    bool compared = false;
    for (const auto& box : list) {
        // A box being checked is compared once its check has ended: only
        // then does it say when its count rose and what its newest message is.
        if (box->counted.load() == 0 || box->busy.load() != 0) continue;
        int32_t now = box->newCount.load();
        int32_t seen = box->notifiedNew.exchange(now);
        if (seen < 0) continue;
        before += seen;
        after += now;
        compared = true;
    }
    if (compared && settings::notify.isSet() && newMailIsNews(before, after)) runNotify(list);
}

void schedulerThread() {
    // A user's wake-up signal is the main thread's to take: the scheduler and
    // the workers it starts keep it blocked, so their waits never break off.
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    const auto pause = std::chrono::seconds(settings::checkDelay.load());
    Pass pass = Pass::regular;
    while (settings::useThreads.load() != 0) {
        schedulerRound(pass);
        if (settings::useThreads.load() == 0) break;
        pass = schedulerPause(pause) ? Pass::early : Pass::regular;
    }
    std::lock_guard guard(schedulerLock);
    schedulerRunning = false;
    schedulerEnded.notify_all();
}

}  // namespace

void schedulerPass(Pass pass) {
    // The walk works on the list as it was taken: its Boxes stay alive while
    // it runs, so the lock need not be held across a thousand thread
    // creations, which would stall the main thread's cycle.
    auto list = boxListSnapshot();
    followAccounts(*list);
    int32_t position = 0;
    WorkerStarter start = workerStarter.load();
    for (const auto& box : *list) {
        ++position;
        if (box->busy.load() != 0 || accountConnectionCounts(*box)) continue;
        if (pass == Pass::regular && isNetworkBox(*box)) box->pushed = 1;
        if (!start(position)) {
            settings::useThreads = 0;
            break;
        }
    }
    accountConnectionsPass();
}

void schedulerRound(Pass pass) {
    schedulerPass(pass);
    // Boxes that a reload adds are counted now, not a whole pause later.
    // Only a new list needs it: checking the same boxes again at once would
    // find nothing changed.
    auto before = boxListSnapshot();
    if (reloadIfChanged() == 1 && settings::useThreads.load() != 0 && boxListSnapshot() != before)
        schedulerPass();
    // A reload may have changed the list or turned Push off or on again.
    wakeWatcher();
    startWatching();
}

void setWorkerStarter(WorkerStarter starter) {
    workerStarter = starter != nullptr ? starter : startWorkerThread;
}

int runBoxCheck(Box& box) {
    // Claiming the box atomically keeps two checks of one box apart, also
    // when the main thread takes over from workers still running.
    int32_t idle = 0;
    if (!box.busy.compare_exchange_strong(idle, 1)) return 0;
    int32_t newBefore = box.newCount.load();
    int result = boxChecker.load()(box);
    if (result == 1 && box.newCount.load() > newBefore) box.risenAt = ++lastRise;
    // A fresh count stays marked until a cycle has taken it: a later check
    // that finds nothing changed must not hide it from the display.
    if (result == 1) {
        box.counted = 1;
        box.updated = 1;
    }
    box.busy = 0;
    return result;
}

bool storeBoxCounts(Box& box, int32_t fresh, int32_t total) {
    int32_t idle = 0;
    if (!box.busy.compare_exchange_strong(idle, 1)) return false;
    if (fresh > box.newCount.load()) box.risenAt = ++lastRise;
    storeAccountCounts(box, fresh, total);
    box.counted = 1;
    box.updated = 1;
    box.busy = 0;
    return true;
}

void setBoxChecker(BoxChecker checker) { boxChecker = checker != nullptr ? checker : checkBox; }

void setNotifyRunner(NotifyRunner runner) { notifyRunner = runner; }

void firstCheck() {
    auto list = boxListSnapshot();
    for (const auto& box : *list) runBoxCheck(*box);
}

void startThreads() {
    prepareWakeUps();
    std::lock_guard guard(schedulerLock);
    try {
        std::thread(schedulerThread).detach();
        schedulerRunning = true;
    } catch (const std::system_error&) {
        settings::useThreads = 0;
    }
}

// For the tests (tests/support/monitor_testing.h).
void stopScheduler() {
    settings::useThreads = 0;
    wakeScheduler();
    std::unique_lock guard(schedulerLock);
    schedulerEnded.wait(guard, [] { return !schedulerRunning; });
}

void checkCycle(int32_t& newShown, int32_t& totalShown, int32_t& status) {
    if (settings::useThreads.load() != 0) {
        std::lock_guard guard(boxListLock);
        notifyFromWorkers(*boxList);
        bool anyUpdated = takeUpdated(*boxList);
        if (anyUpdated || settings::selectedBox.load() != shownBox || boxList != shownList ||
            failureChanges() != shownFailureChanges)
            computeOutputs(boxList, newShown, totalShown, status);
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
    // This cycle has seen the fresh counts itself; a worker left over from
    // threads may have marked some too.
    anyCounted = takeUpdated(*list) || anyCounted;
    int64_t after = newSum();
    if (anyCounted && settings::notify.isSet() && newMailIsNews(before, after)) runNotify(*list);
    if (!anyCounted && settings::selectedBox.load() == shownBox && list == shownList &&
        failureChanges() == shownFailureChanges)
        return;
    computeOutputs(list, newShown, totalShown, status);
}

void recomputeOutputs(int32_t& newShown, int32_t& totalShown, int32_t& status) {
    std::lock_guard guard(boxListLock);
    computeOutputs(boxList, newShown, totalShown, status);
}
