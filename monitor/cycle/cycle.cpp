#include "monitor/cycle/cycle.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "monitor/accounts/account.h"
#include "monitor/checks/check.h"
#include "monitor/cycle/accountconnections.h"
#include "monitor/cycle/launch.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/cycle/wake.h"
#include "monitor/cycle/watch.h"
#include "monitor/state/failure.h"
#include "monitor/state/options.h"

namespace {

std::atomic<BoxChecker> boxChecker{checkBox};

bool isNetworkBox(const Box& box) {
    return box.type == BOX_POP3 || box.type == BOX_HOTMAIL || box.type == BOX_IMAP;
}

// What the last outputs were computed from, and the outputs: a cycle that
// finds none of it changed gives them again. Main thread only.
struct LastComputed {
    // None at first, so the first cycle always computes them (without
    // threads, the counts of the check at start-up would otherwise wait for
    // the next change).
    int32_t selected = -1;
    // A reload that drops or adds boxes changes the sums even when no box
    // was counted afresh.
    std::shared_ptr<const BoxList> list;
    uint64_t failureChanges = 0;  // the boxes' states
    CycleOutputs outputs;
};
LastComputed last;

bool stillAsComputed(int32_t selected, const std::shared_ptr<const BoxList>& list) {
    return selected == last.selected && list == last.list &&
           failureChanges() == last.failureChanges;
}

std::atomic<NotifyRunner> notifyRunner{nullptr};

bool startWorkerThread(std::shared_ptr<Box> box) {
    try {
        std::thread(boxWorker, std::move(box)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

std::atomic<WorkerStarter> workerStarter{startWorkerThread};

// The scheduler thread's life: stopScheduler asks it to stop and waits.
std::mutex schedulerLock;
std::condition_variable schedulerEnded;
bool schedulerRunning = false;
bool schedulerStopping = false;

// It goes on until asked to stop, or until threads are off for good (a
// worker could not be made, or a reload turned UseThreads off).
bool schedulerGoesOn() {
    std::lock_guard guard(schedulerLock);
    return !schedulerStopping && settings::useThreads.load() != 0;
}

CycleOutputs computeOutputs(const std::shared_ptr<const BoxList>& shown, int32_t selected) {
    last.list = shown;
    last.failureChanges = failureChanges();
    last.selected = selected;
    int64_t newSum = 0, totalSum = 0;
    int32_t selectedNew = 0, selectedTotal = 0;
    bool anyFailing = false, selectedFailing = false;
    int32_t number = 0;
    for (const auto& box : *shown) {
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
    CycleOutputs out;
    out.failing = (selected == 0 ? anyFailing : selectedFailing) ? 1 : 0;
    auto clamp = [](int64_t sum) {
        return static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
    };
    if (selected == 0) {
        out.shownNew = clamp(newSum);
        out.shownTotal = clamp(totalSum);
        out.mailStatus = newSum > 0 ? STATUS_OTHER : STATUS_NONE;
    } else {
        out.shownTotal = selectedTotal;
        out.shownNew = selectedNew;
        if (newSum <= 0)
            out.mailStatus = STATUS_NONE;
        else if (selectedNew == 0)
            out.mailStatus = STATUS_OTHER;
        else if (newSum > selectedNew)
            out.mailStatus = STATUS_BOTH;
        else if (newSum == selectedNew)
            out.mailStatus = STATUS_SELECTED;
        else
            out.mailStatus = STATUS_NONE;
    }
    last.outputs = out;
    return out;
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
    while (schedulerGoesOn()) {
        schedulerRound(pass);
        if (!schedulerGoesOn()) break;
        pass = schedulerPause(pause) ? Pass::early : Pass::regular;
    }
    // With threads off the main loop checks the boxes itself, at its pace:
    // it must not sleep on.
    if (settings::useThreads.load() == 0) wakeDisplay();
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
    WorkerStarter start = workerStarter.load();
    for (const auto& box : *list) {
        if (box->busy.load() != 0 || accountConnectionCounts(*box)) continue;
        if (pass == Pass::regular && isNetworkBox(*box)) box->pushed = 1;
        if (!start(box)) {
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

void boxWorker(const std::shared_ptr<Box>& box) {
    if (runBoxCheck(*box) == 1) wakeDisplay();
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
    // A box whose state changes is drawn at once: the display sleeps
    // otherwise.
    setFailureListener(wakeDisplay);
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
    std::unique_lock guard(schedulerLock);
    schedulerStopping = true;
    wakeScheduler();
    schedulerEnded.wait(guard, [] { return !schedulerRunning; });
    schedulerStopping = false;
}

CycleOutputs checkCycle(int32_t selected) {
    if (settings::useThreads.load() != 0) {
        std::lock_guard guard(boxListLock);
        notifyFromWorkers(*boxList);
        bool anyUpdated = takeUpdated(*boxList);
        if (!anyUpdated && stillAsComputed(selected, boxList)) return last.outputs;
        return computeOutputs(boxList, selected);
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
    if (!anyCounted && stillAsComputed(selected, list)) return last.outputs;
    return computeOutputs(list, selected);
}

CycleOutputs recomputeOutputs(int32_t selected) {
    std::lock_guard guard(boxListLock);
    return computeOutputs(boxList, selected);
}
