#include "monitor/cycle/cycle.h"
#include "tests/support/monitor_testing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "monitor/cycle/rcfile.h"
#include "monitor/cycle/wake.h"
#include "monitor/state/failure.h"
#include "tests/support/scratch.h"

namespace {

// What the stand-in checker stores: by box path, the counts of its next
// check, or the reason it fails.
std::mutex plannedLock;
std::map<std::string, std::pair<int32_t, int32_t>> planned;
std::map<std::string, BoxFailure> plannedFailures;

int plannedCheck(Box& box) {
    std::lock_guard guard(plannedLock);
    if (auto failure = plannedFailures.find(box.path); failure != plannedFailures.end()) {
        recordCheckOutcome(box, failure->second);
        plannedFailures.erase(failure);
        return 0;
    }
    auto it = planned.find(box.path);
    if (it == planned.end()) return 0;
    box.newCount = it->second.first;
    box.totalCount = it->second.second;
    recordCheckOutcome(box, BoxFailure::none);
    planned.erase(it);
    return 1;
}

void plan(const std::string& path, int32_t newCount, int32_t totalCount) {
    std::lock_guard guard(plannedLock);
    planned[path] = {newCount, totalCount};
}

// The notify command's runs, counted as the cycle asks for them, and what
// the last one was told.
std::atomic<int> notifyRuns{0};
std::mutex toldLock;
std::vector<std::string> told;
void countNotify(const std::vector<std::string>& variables) {
    {
        std::lock_guard guard(toldLock);
        told = variables;
    }
    ++notifyRuns;
}

// A worker's check done in place, so a scheduler round is one step.
bool checkInPlace(std::shared_ptr<Box> box) {
    runBoxCheck(*box);
    return true;
}

class Cycle : public testing::Test {
protected:
    void SetUp() override {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ignore.sa_flags = SA_NOCLDWAIT;
        sigaction(SIGCHLD, &ignore, nullptr);
        resetSettings();
        clearBoxList();
        planned.clear();
        plannedFailures.clear();
        setBoxChecker(plannedCheck);
        setNotifyRunner(countNotify);
        notifyRuns = 0;
        directory =
            std::filesystem::temp_directory_path() / ("quorvik-cycle-" + std::to_string(getpid()));
        std::filesystem::create_directories(directory);
        notified = directory / "notified";
        newShown = totalShown = status = failing = -99;
        selected = 0;
    }
    void TearDown() override {
        stopScheduler();
        stopWatching();
        setBoxChecker(nullptr);
        setNotifyRunner(nullptr);
        setWorkerStarter(nullptr);
        resetSettings();
        clearBoxList();
        std::filesystem::remove_all(directory);
        std::filesystem::remove(rc);
    }

    static void boxes(std::initializer_list<std::string> servers) {
        for (const auto& server : servers)
            addDefinition(settings::boxDefinitions, "POP3 " + server);
        rebuildBoxList();
    }

    void cycle() {
        CycleOutputs out = checkCycle(selected);
        newShown = out.shownNew;
        totalShown = out.shownTotal;
        status = out.mailStatus;
        failing = out.failing;
    }

    void useNotify() { settings::notify.reset("echo >> " + notified.string()); }

    static int notifications() { return notifyRuns.load(); }

    void writeRc(const std::string& text) {
        std::string temporary = rc.string() + ".new";
        std::ofstream(temporary) << text;
        // A time of its own for every version, so each write is a change.
        timespec times[2] = {{0, UTIME_OMIT}, {3000000 + ++rcVersion, 0}};
        utimensat(AT_FDCWD, temporary.c_str(), times, 0);
        std::filesystem::rename(temporary, rc);
    }

    std::filesystem::path directory, notified;
    std::filesystem::path rc =
        std::filesystem::temp_directory_path() / ("quorvik-cycle-rc-" + std::to_string(getpid()));
    int rcVersion = 0;
    int32_t newShown, totalShown, status, failing;
    int32_t selected = 0;  // the main loop's selection
};

}  // namespace

TEST_F(Cycle, OutputsAndMailStatus) {
    struct Case {
        const char* what;
        int32_t selected;
        std::vector<std::pair<int32_t, int32_t>> counts;
        int32_t newShown, totalShown, status;
    } cases[] = {
        {"no boxes", 0, {}, 0, 0, STATUS_NONE},
        {"all boxes, sums", 0, {{2, 10}, {3, 5}}, 5, 15, STATUS_OTHER},
        {"all boxes, nothing new", 0, {{0, 10}, {0, 5}}, 0, 15, STATUS_NONE},
        {"only the selected box", 2, {{0, 10}, {3, 5}}, 3, 5, STATUS_SELECTED},
        {"selected and another", 2, {{1, 10}, {3, 5}}, 3, 5, STATUS_BOTH},
        {"only another box", 2, {{1, 10}, {0, 5}}, 0, 5, STATUS_OTHER},
        {"negative counts", 1, {{-3, 4}, {1, 1}}, -3, 4, STATUS_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clearBoxList();
        settings::useThreads = 0;
        std::vector<std::string> servers;
        for (std::size_t i = 0; i < c.counts.size(); ++i) {
            std::string server = "host" + std::to_string(i);
            addDefinition(settings::boxDefinitions, "POP3 " + server);
            plan(server, c.counts[i].first, c.counts[i].second);
        }
        rebuildBoxList();
        selected = c.selected;
        newShown = totalShown = status = 0;
        cycle();
        EXPECT_EQ(newShown, c.newShown);
        EXPECT_EQ(totalShown, c.totalShown);
        EXPECT_EQ(status, c.status);
    }
}

TEST_F(Cycle, UnchangedBoxesKeepTheOutputsUntilTheSelectionChanges) {
    settings::useThreads = 0;
    boxes({"a", "b"});
    plan("a", 2, 4);
    cycle();
    EXPECT_EQ(status, STATUS_OTHER);
    boxAt(2)->newCount = 5;  // not counted by a check
    cycle();                 // nothing counted afresh, same selection
    EXPECT_EQ(status, STATUS_OTHER);
    EXPECT_EQ(newShown, 2);
    boxAt(2)->newCount = 0;
    selected = 1;
    cycle();
    EXPECT_EQ(status, STATUS_SELECTED);
    EXPECT_EQ(newShown, 2);
    EXPECT_EQ(totalShown, 4);
}

// The failing of the box shown, of any box when all are shown, reaches the
// outputs though no count changed; the counts of a failed check stay.
TEST_F(Cycle, TheFailingOfTheBoxShown) {
    for (int threads : {0, 1}) {
        SCOPED_TRACE(threads ? "workers" : "no threads");
        clearBoxList();
        settings::useThreads = threads;
        setWorkerStarter(checkInPlace);
        boxes({"a", "b"});
        auto checkAll = [&] {
            if (threads) schedulerPass();
            cycle();
        };
        plan("a", 1, 4);
        plan("b", 2, 5);
        checkAll();
        struct Step {
            const char* what;
            int32_t selected;
            std::vector<std::pair<std::string, BoxFailure>> outcomes;
            int32_t failing;
        };
        const std::vector<Step> steps = {
            {"all boxes, all work", 0, {}, 0},
            {"box b fails: all boxes show it", 0, {{"b", BoxFailure::unreachable}}, 1},
            {"box a shown, b fails", 1, {}, 0},
            {"box b shown", 2, {}, 1},
            {"another reason", 2, {{"b", BoxFailure::signInRefused}}, 1},
            {"b works again", 2, {{"b", BoxFailure::none}}, 0},
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            selected = step.selected;
            for (const auto& [path, outcome] : step.outcomes) {
                std::lock_guard guard(plannedLock);
                if (outcome == BoxFailure::none)
                    planned[path] = {2, 5};
                else
                    plannedFailures[path] = outcome;
            }
            testing::internal::CaptureStderr();
            checkAll();
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(failing, step.failing);
            EXPECT_EQ(totalShown, step.selected == 1 ? 4 : step.selected == 2 ? 5 : 9);
        }
    }
}

TEST_F(Cycle, NotifyWithoutThreads) {
    settings::useThreads = 0;
    useNotify();
    boxes({"a"});
    plan("a", 1, 1);
    firstCheck();  // mail already there at start-up
    cycle();
    EXPECT_EQ(notifications(), 0);
    plan("a", 2, 2);
    cycle();
    EXPECT_EQ(notifications(), 1);
    plan("a", 1, 2);  // mail read
    cycle();
    EXPECT_EQ(notifications(), 1);
}

TEST_F(Cycle, NotifyOnlyOnceWithoutThreads) {
    settings::useThreads = 0;
    settings::runOnce = 1;
    useNotify();
    boxes({"a"});
    firstCheck();
    plan("a", 1, 1);
    cycle();
    EXPECT_EQ(notifications(), 1);
    plan("a", 2, 2);
    cycle();
    EXPECT_EQ(notifications(), 1);
    plan("a", 0, 2);
    cycle();
    plan("a", 3, 5);
    cycle();
    EXPECT_EQ(notifications(), 2);
}

TEST_F(Cycle, NotifyWithWorkersIgnoresMailThatWasAlreadyThere) {
    for (int once : {0, 1}) {
        SCOPED_TRACE(once);
        clearBoxList();
        notifyRuns = 0;
        settings::runOnce = once;
        useNotify();
        boxes({"a" + std::to_string(once), "b" + std::to_string(once)});
        auto a = boxAt(1), b = boxAt(2);
        plan(a->path, 3, 3);
        plan(b->path, 0, 0);
        runBoxCheck(*a);  // as a worker: the first counts
        runBoxCheck(*b);
        cycle();
        EXPECT_EQ(notifications(), 0);
        plan(a->path, 4, 4);
        runBoxCheck(*a);
        cycle();
        EXPECT_EQ(notifications(), once ? 0 : 1);  // 3 -> 4 is news only without runOnce
        plan(a->path, 0, 4);
        runBoxCheck(*a);
        cycle();
        plan(b->path, 1, 1);
        runBoxCheck(*b);
        cycle();
        EXPECT_EQ(notifications(), once ? 1 : 2);
    }
}

TEST_F(Cycle, NotifyWithWorkersAfterAReloadAddsABox) {
    useNotify();
    boxes({"a"});
    plan("a", 1, 1);
    runBoxCheck(*boxAt(1));
    cycle();
    boxes({"a", "added"});  // a keeps its counts and what was seen of them
    plan("added", 5, 5);
    runBoxCheck(*boxAt(2));
    cycle();
    EXPECT_EQ(notifications(), 0);
    plan("a", 2, 2);
    runBoxCheck(*boxAt(1));
    cycle();
    EXPECT_EQ(notifications(), 1);
}

TEST_F(Cycle, TheNotifyCommandRunsThroughTheShell) {
    setNotifyRunner(nullptr);
    settings::useThreads = 0;
    useNotify();
    boxes({"a"});
    firstCheck();
    plan("a", 1, 1);
    cycle();
    EXPECT_TRUE(scratch::eventually([&] { return std::filesystem::exists(notified); }));
}

TEST_F(Cycle, BusyBoxIsNotCheckedTwice) {
    boxes({"a"});
    auto box = boxAt(1);
    box->busy = 1;
    plan("a", 1, 1);
    EXPECT_EQ(runBoxCheck(*box), 0);
    EXPECT_EQ(box->newCount, 0);
    box->busy = 0;
    EXPECT_EQ(runBoxCheck(*box), 1);
    EXPECT_EQ(box->updated, 1);
    EXPECT_EQ(box->busy, 0);
}

TEST_F(Cycle, SchedulerChecksEveryBoxInWorkers) {
    boxes({"a", "b", "c"});
    plan("a", 1, 2);
    plan("b", 0, 3);
    plan("c", 4, 4);
    startThreads();
    ASSERT_TRUE(scratch::eventually([] {
        for (int32_t position = 1; position <= 3; ++position)
            if (boxAt(position)->updated == 0) return false;
        return true;
    }));
    cycle();
    EXPECT_EQ(newShown, 5);
    EXPECT_EQ(totalShown, 9);
    EXPECT_EQ(status, STATUS_OTHER);
    // Woken, the scheduler starts its next pass before its pause is over.
    plan("b", 2, 5);
    wakeScheduler();
    ASSERT_TRUE(scratch::eventually([] { return boxAt(2)->totalCount == 5; }));
}

// A round's reload that keeps the list must not check the boxes again: the
// second check finds nothing changed, and its mark would hide the first's
// fresh count from the display.
TEST_F(Cycle, AFreshCountIsShownAfterARoundWhoseReloadKeptTheList) {
    setWorkerStarter(checkInPlace);
    settings::rcFilePath.reset(rc.string());
    writeRc("CheckDelay = 15\n");  // the boxes come from the command line
    boxes({"a"});
    reloadIfChanged();
    plan("a", 1, 1);
    schedulerRound();
    cycle();
    EXPECT_EQ(newShown, 1);
    for (int32_t mail = 2; mail <= 4; ++mail) {
        SCOPED_TRACE(mail);
        plan("a", mail, mail);
        writeRc("CheckDelay = 15\n");
        schedulerRound();
        cycle();
        EXPECT_EQ(newShown, mail);
    }
}

// A reload that drops a box changes the sums though no box was counted.
TEST_F(Cycle, ANewListIsShownThoughNoBoxWasCountedAfresh) {
    setWorkerStarter(checkInPlace);
    settings::rcFilePath.reset(rc.string());
    writeRc("Mailbox = POP3 a\nMailbox = POP3 b\n");
    reloadIfChanged();
    plan("a", 1, 1);
    plan("b", 2, 2);
    schedulerRound();
    cycle();
    EXPECT_EQ(newShown, 3);
    writeRc("Mailbox = POP3 a\n");
    schedulerRound();
    cycle();
    EXPECT_EQ(newShown, 1);
    EXPECT_EQ(totalShown, 1);
}

// Reloads that keep, add and drop boxes while workers check them and the main
// thread runs the cycle: no Box is used after it is freed and nothing races.
TEST_F(Cycle, ReloadsWhileWorkersCheckAndTheCycleRuns) {
    setBoxChecker(nullptr);  // the real checks of real mbox files
    std::vector<std::string> files;
    for (int i = 0; i < 6; ++i) {
        files.push_back((directory / ("mbox" + std::to_string(i))).string());
        std::ofstream(files.back()) << "From a\nStatus: RO\n\nbody\nFrom b\n\n";
    }
    std::string rcPath = (directory / "rc").string();
    settings::rcFilePath.reset(rcPath);
    auto writeRc = [&](int round) {
        std::string text = "Interval = " + std::to_string(1 + round % 3) +
                           "\nDefaultBox = " + std::to_string(round % 4) +
                           "\nBacklight = " + (round % 2 ? "On" : "Off") + "\n";
        for (int i = 0; i < 6; ++i)
            if ((round + i) % 3 != 0) text += "Mailbox = MBOX " + files[i] + "\n";
        std::string temporary = rcPath + ".new";
        std::ofstream(temporary) << text;
        timespec times[2] = {{0, UTIME_OMIT}, {2000000 + round, 0}};
        utimensat(AT_FDCWD, temporary.c_str(), times, 0);
        std::filesystem::rename(temporary, rcPath);
    };
    writeRc(0);
    reloadIfChanged();

    std::atomic<bool> stop{false};
    std::thread editor([&] {
        for (int round = 1; round < 200; ++round) {
            writeRc(round);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        stop = true;
    });
    std::thread reloader([&] {
        while (!stop) reloadIfChanged();
    });
    std::atomic<int> running{0};
    std::thread workers([&] {
        while (!stop) {
            int32_t count = boxCount(*boxListSnapshot());
            for (int32_t position = 1; position <= count; ++position) {
                ++running;
                std::thread([position, &running] {
                    if (auto box = boxAt(position)) runBoxCheck(*box);
                    --running;
                }).detach();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int cycles = 0;
    newShown = totalShown = status = 0;
    while (!stop) {
        cycle();
        ++cycles;
        EXPECT_GE(totalShown, 0);
    }
    editor.join();
    reloader.join();
    workers.join();
    // The detached checks end before the files they read go.
    EXPECT_TRUE(scratch::eventually([&] { return running.load() == 0; }));
    EXPECT_GT(cycles, 0);
    EXPECT_GE(settings::interval.load(), 1u);
}

// A worker's check stores the new count before it has ended: a cycle that
// comes meanwhile leaves the box for the next one, and the notify command is
// then told of that box, not of the one whose mail came before.
TEST_F(Cycle, NotifyWaitsForTheCheckThatRaisedTheCount) {
    useNotify();
    boxes({"a", "b"});
    for (const char* server : {"a", "b"}) {
        plan(server, 0, 0);
        runBoxCheck(*boxAt(server[0] == 'a' ? 1 : 2));
    }
    cycle();
    plan("a", 1, 1);
    runBoxCheck(*boxAt(1));
    cycle();
    ASSERT_EQ(notifications(), 1);

    static std::atomic<bool> stored{false}, release{false};
    stored = release = false;
    setBoxChecker([](Box& box) {
        box.newCount = 1;
        box.totalCount = 1;
        stored = true;
        while (!release) std::this_thread::yield();
        return 1;
    });
    std::thread worker([] { runBoxCheck(*boxAt(2)); });
    while (!stored) std::this_thread::yield();
    cycle();
    EXPECT_EQ(notifications(), 1);
    release = true;
    worker.join();
    cycle();
    ASSERT_EQ(notifications(), 2);
    std::lock_guard guard(toldLock);
    EXPECT_EQ(told.front(), "QUORVIK_BOX=2");
}

// The notify command is told of the box whose new mail came last, with or
// without workers.
TEST_F(Cycle, NotifyIsToldOfTheBoxWhoseMailCameLast) {
    auto toldOf = [] {
        std::lock_guard guard(toldLock);
        std::vector<std::string> kept;
        for (const std::string& variable : told)
            if (variable.starts_with("QUORVIK_BOX=") || variable.starts_with("QUORVIK_SUBJECT="))
                kept.push_back(variable);
        return kept;
    };
    for (int32_t threads : {1, 0}) {
        SCOPED_TRACE(threads);
        clearBoxList();
        settings::useThreads = threads;
        useNotify();
        boxes({"a", "b"});
        auto check = [&](const char* server, int32_t fresh, const char* subject) {
            auto box = boxAt(server[0] == 'a' ? 1 : 2);
            setNewestMessage(*box, {"", subject});
            plan(server, fresh, fresh);
            if (threads == 1) runBoxCheck(*box);
            cycle();
        };
        check("a", 0, "");
        check("b", 0, "");
        notifyRuns = 0;
        check("b", 1, "from b");
        EXPECT_EQ(notifications(), 1);
        EXPECT_EQ(toldOf(), (std::vector<std::string>{"QUORVIK_BOX=2", "QUORVIK_SUBJECT=from b"}));
        check("a", 2, "from a");
        EXPECT_EQ(notifications(), 2);
        EXPECT_EQ(toldOf(), (std::vector<std::string>{"QUORVIK_BOX=1", "QUORVIK_SUBJECT=from a"}));
    }
}

namespace {

// Whether the display's wake pipe was raised since the last look; takes it.
bool displayWoken() {
    pollfd entry{displayWakeFd(), POLLIN, 0};
    bool raised = poll(&entry, 1, 0) == 1;
    takeDisplayWake();
    return raised;
}

}  // namespace

// With threads the display sleeps: whatever may change its picture wakes
// it, and nothing else does.
TEST_F(Cycle, WhatChangesThePictureWakesTheDisplay) {
    prepareWakeUps();
    setFailureListener(wakeDisplay);
    settings::rcFilePath.reset(rc.string());
    writeRc("Mailbox = POP3 a\n");
    reloadIfChanged();
    auto box = boxAt(1);
    displayWoken();
    struct Step {
        const char* what;
        std::function<void()> act;
        bool woken;
    } steps[] = {
        {"a worker counts afresh", [&] { plan("a", 1, 1), boxWorker(box); }, true},
        {"a worker finds nothing changed", [&] { boxWorker(box); }, false},
        {"the box starts failing",
         [&] {
             std::lock_guard guard(plannedLock);
             plannedFailures["a"] = BoxFailure::unreachable;
         },
         true},
        {"the rc file is read again", [&] { writeRc("Mailbox = POP3 a\nBlink = off\n"); }, true},
        {"the rc file is unchanged", [] { reloadIfChanged(); }, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        testing::internal::CaptureStderr();
        step.act();
        if (std::string(step.what).starts_with("the box")) boxWorker(box);
        if (std::string(step.what).starts_with("the rc file is read")) reloadIfChanged();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(displayWoken(), step.woken);
    }
    setFailureListener(nullptr);
}

// A worker that cannot be made turns threads off for good: the scheduler
// ends and wakes the display, whose cycle then checks the boxes itself.
TEST_F(Cycle, AWorkerThatCannotBeMadeTurnsThreadsOffForGood) {
    boxes({"a"});
    setWorkerStarter([](std::shared_ptr<Box>) { return false; });
    prepareWakeUps();
    displayWoken();
    startThreads();
    ASSERT_TRUE(scratch::eventually([] { return settings::useThreads.load() == 0; }));
    EXPECT_TRUE(scratch::eventually([] { return displayWoken(); }));
    plan("a", 2, 3);
    cycle();
    EXPECT_EQ(newShown, 2);
    EXPECT_EQ(totalShown, 3);
}

// A worker checks the Box it was handed, though a reload put another list
// in force before it ran.
TEST_F(Cycle, AWorkerChecksTheBoxItWasHanded) {
    static std::vector<std::shared_ptr<Box>> handed;
    handed.clear();
    setWorkerStarter([](std::shared_ptr<Box> box) {
        handed.push_back(std::move(box));
        return true;
    });
    boxes({"a", "b"});
    schedulerPass();
    boxes({"c", "a"});  // a keeps its counts; the old Box of a is out of force
    plan("a", 1, 1);
    plan("c", 5, 5);
    ASSERT_EQ(handed.size(), 2u);
    boxWorker(handed[0]);
    EXPECT_EQ(handed[0]->path, "a");
    EXPECT_EQ(handed[0]->totalCount, 1);
    EXPECT_EQ(boxAt(1)->totalCount, 0);  // c was not checked
    handed.clear();
}
