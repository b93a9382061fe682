#pragma once
// The check cycle: what the display shows, the mail status, and the threads
// that check the boxes.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "monitor/state/boxes.h"

enum MailStatus : int32_t {
    STATUS_NONE = 0,      // no box has new mail
    STATUS_OTHER = 1,     // new mail, but not in the selected box (or all boxes selected)
    STATUS_SELECTED = 2,  // new mail only in the selected box
    STATUS_BOTH = 3,      // new mail in the selected box and elsewhere
};

// What a cycle gives the main loop to show for a selection.
struct CycleOutputs {
    int32_t shownNew = 0;    // the new count of the box shown, or the sum over all
    int32_t shownTotal = 0;  // its total count, or the sum over all
    int32_t mailStatus = STATUS_NONE;
    // 1 when the last check of the box shown failed, or with all boxes shown,
    // the last check of any box; else 0.
    int32_t failing = 0;
    bool operator==(const CycleOutputs&) const = default;
};

// The check of one box; checkBox unless a test puts another in its place.
using BoxChecker = int (*)(Box&);
void setBoxChecker(BoxChecker checker);  // nullptr restores checkBox

// How the notify command is run, given what it is told (mailVariables);
// launchCommand unless a test looks at the runs.
using NotifyRunner = void (*)(const std::vector<std::string>& variables);
void setNotifyRunner(NotifyRunner runner);  // nullptr restores launchCommand

// One cycle for the box selected (0: all boxes). Without threads it checks
// every box itself. When nothing was counted afresh and neither the
// selection, the list nor a box's state changed, it gives what it gave last.
// Main thread only.
CycleOutputs checkCycle(int32_t selected);
// Works the outputs out again from the Boxes' counts as they stand, checking
// nothing: a step of the selection shows the new box's counts at once.
CycleOutputs recomputeOutputs(int32_t selected);
int runBoxCheck(Box& box);  // the result of checkBox, 0 when the box was busy
// Stores counts that came without a check of the box's own (an account
// connection's news) as a check that counted them would; false, storing
// nothing, while the box is being checked.
bool storeBoxCounts(Box& box, int32_t fresh, int32_t total);
void firstCheck();
// Starts the scheduler thread; when it cannot be made, threads are off for
// good (useThreads 0) and the cycle checks the boxes itself.
void startThreads();

// One pass of the scheduler: a worker thread for each box not being checked
// nor counted by an account connection, which is woken instead. A regular
// pass, one check delay after the last, checks the network boxes whatever
// their stamps say: a stamp of the last check's end, in whole seconds, is
// always a little short of the delay. A pass come early (SIGUSR1, a reload)
// leaves them to their delay.
enum class Pass { regular, early };
void schedulerPass(Pass pass = Pass::early);
// What the scheduler does between two pauses: a pass, the rc file's reload,
// and a second pass when the reload put a new list in force.
void schedulerRound(Pass pass = Pass::regular);

// The check of one box in a worker, which wakes the display when the box
// was counted afresh or its state changed.
void boxWorker(const std::shared_ptr<Box>& box);

// Starts a worker on the box; false when it cannot. A detached thread unless
// a test runs the check in place.
using WorkerStarter = bool (*)(std::shared_ptr<Box> box);
void setWorkerStarter(WorkerStarter starter);  // nullptr restores threads
