#include "monitor/mainloop/mainloop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "monitor/cycle/cycle.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/dock/dock.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"
#include "tests/support/monitor_testing.h"
#include "tests/support/scratch.h"

namespace {

class MainLoop : public testing::Test {
protected:
    void SetUp() override {
        resetSettings();
        rcTimeStamp = rcSizeStamp = 0;
        takeReloaded();
        loop = startingLoopState();
    }
    void TearDown() override {
        setBoxChecker(nullptr);
        clearBoxList();
        resetSettings();
    }

    LoopState loop;
};

constexpr int plusX = 15, minusX = 9, buttonY = 24;

}  // namespace

TEST_F(MainLoop, ButtonsStepTheSelection) {
    struct Case {
        const char* what;
        unsigned int button;
        int x;
        int32_t boxes, from, to;
    } cases[] = {
        {"plus past the last box", 1, plusX, 3, 3, 0},
        {"minus below all boxes", 1, minusX, 3, 0, 3},
        {"plus from all boxes", 1, plusX, 3, 0, 1},
        {"ten on", 3, plusX, 12, 0, 10},
        {"ten on overshoots to all", 3, plusX, 12, 10, 0},
        {"ten back undershoots to the last", 3, minusX, 12, 5, 12},
        {"one box: plus", 1, plusX, 1, 0, 0},
        {"one box: minus", 1, minusX, 1, 1, 1},
        {"no box: plus", 1, plusX, 0, 0, 0},
        {"no box: minus", 1, minusX, 0, 0, 0},
        {"plus spot's corner", 1, 13, 3, 1, 2},
        {"minus spot's corner", 1, 11, 3, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        loop.selectedBox = c.from;
        PressOutcome outcome = handlePress(loop, c.button, 0, c.x, buttonY, c.boxes);
        EXPECT_EQ(loop.selectedBox, c.to);
        EXPECT_EQ(outcome, c.button == 1 ? PressOutcome::redraw : PressOutcome::nothing);
        EXPECT_EQ(loop.backlight, 0);
        EXPECT_EQ(loop.blink, 1);
    }
}

std::atomic<int> checks{0};
int countCheck(Box&) {
    ++checks;
    return 0;
}

// Button 1 on plus or minus shows the new box with its own counts at once,
// worked out from the Boxes as they stand: no box is checked for it.
TEST_F(MainLoop, SteppingShowsTheNewBoxsCountsAtOnce) {
    for (int32_t threads : {1, 0}) {
        SCOPED_TRACE(threads ? "threads" : "no threads");
        settings::useThreads = threads;
        for (const char* server : {"a", "b", "c"})
            addDefinition(settings::boxDefinitions, std::string("POP3 ") + server);
        rebuildBoxList();
        const std::pair<int32_t, int32_t> counts[] = {{1, 5}, {0, 7}, {4, 4}};
        for (int32_t position = 1; position <= 3; ++position) {
            boxAt(position)->newCount = counts[position - 1].first;
            boxAt(position)->totalCount = counts[position - 1].second;
        }
        loop = startingLoopState();
        setBoxChecker(countCheck);
        runCycle(loop);
        checks = 0;

        struct Step {
            int x;
            int32_t box, fresh, total, status;
        } steps[] = {
            {plusX, 1, 1, 5, STATUS_BOTH},  {plusX, 2, 0, 7, STATUS_OTHER},
            {minusX, 1, 1, 5, STATUS_BOTH}, {minusX, 0, 5, 16, STATUS_OTHER},
            {minusX, 3, 4, 4, STATUS_BOTH},
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.box);
            EXPECT_EQ(handlePress(loop, 1, 0, step.x, buttonY, 3), PressOutcome::redraw);
            DisplayState shown = displayStateOf(loop);
            EXPECT_EQ(shown.selectedBox, step.box);
            EXPECT_EQ(shown.shownNew, step.fresh);
            EXPECT_EQ(shown.shownTotal, step.total);
            EXPECT_EQ(loop.shown.mailStatus, step.status);
        }
        EXPECT_EQ(checks, 0);
        setBoxChecker(nullptr);
        clearBoxList();
        resetSettings();
    }
}

TEST_F(MainLoop, ButtonsElsewhereToggleBacklightAndBlinking) {
    // Just outside the spots counts as elsewhere.
    for (auto [x, y] :
         {std::pair{12, 24}, std::pair{18, 24}, std::pair{15, 21}, std::pair{9, 27}}) {
        SCOPED_TRACE(x * 100 + y);
        loop.backlight = 0;
        EXPECT_EQ(handlePress(loop, 1, 0, x, y, 3), PressOutcome::redraw);
        EXPECT_EQ(loop.backlight, 1);
        EXPECT_EQ(loop.selectedBox, 0);
        loop.blink = 1;
        EXPECT_EQ(handlePress(loop, 3, 0, x, y, 3), PressOutcome::nothing);
        EXPECT_EQ(loop.blink, 0);
    }
    loop.blink = 7;
    handlePress(loop, 3, 0, 40, 40, 3);
    EXPECT_EQ(loop.blink, 0);
    handlePress(loop, 3, 0, 40, 40, 3);
    EXPECT_EQ(loop.blink, 1);
    // The settings are only where the state started.
    EXPECT_EQ(settings::backlight, 0);
    EXPECT_EQ(settings::blink, 1);
}

TEST_F(MainLoop, AlertPhasesCycleByCycle) {
    struct Case {
        const char* what;
        int32_t blinking, backlightBefore;
        std::vector<int32_t> statuses;
        std::vector<std::pair<int32_t, int32_t>> seen;  // backlight, showNewCount after each
    } cases[] = {
        {"other box: backlight blinks, count steady",
         1,
         0,
         {1, 1, 1, 0},
         {{1, 1}, {0, 1}, {1, 1}, {0, 1}}},
        {"selected only: count blinks, backlight as before",
         1,
         1,
         {2, 2, 2, 0},
         {{1, 0}, {1, 1}, {1, 0}, {1, 1}}},
        {"both: both blink", 1, 0, {3, 3, 3, 0}, {{1, 0}, {0, 1}, {1, 0}, {0, 1}}},
        {"no blinking: nothing changes", 0, 0, {1, 3, 2, 0}, {{0, 1}, {0, 1}, {0, 1}, {0, 1}}},
        {"no alert: nothing", 1, 1, {0, 0}, {{1, 1}, {1, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        loop = LoopState{.backlight = c.backlightBefore, .blink = c.blinking};
        for (std::size_t i = 0; i < c.statuses.size(); ++i) {
            applyAlert(loop, c.statuses[i]);
            EXPECT_EQ(loop.backlight, c.seen[i].first) << "cycle " << i;
            EXPECT_EQ(loop.showNewCount, c.seen[i].second) << "cycle " << i;
        }
    }
}

TEST_F(MainLoop, BacklightComesBackAfterTheUserToggledItDuringAnAlert) {
    loop.blink = 0;
    applyAlert(loop, STATUS_SELECTED);
    handlePress(loop, 1, 0, 40, 40, 1);  // the user lights the display
    EXPECT_EQ(loop.backlight, 1);
    applyAlert(loop, STATUS_SELECTED);
    EXPECT_EQ(loop.backlight, 0);  // status 2 holds the state from before the alert
    handlePress(loop, 1, 0, 40, 40, 1);
    applyAlert(loop, STATUS_NONE);
    EXPECT_EQ(loop.backlight, 0);
    EXPECT_EQ(loop.alertStatus, 0);
}

TEST_F(MainLoop, CountHiddenWhenBlinkingStopsStaysHiddenUntilStatusOne) {
    applyAlert(loop, STATUS_SELECTED);
    EXPECT_EQ(loop.showNewCount, 0);
    loop.blink = 0;
    applyAlert(loop, STATUS_SELECTED);
    EXPECT_EQ(loop.showNewCount, 0);
    applyAlert(loop, STATUS_OTHER);
    EXPECT_EQ(loop.showNewCount, 1);
}

// A reload's Backlight, Blink and DefaultBox lines override what the user
// did; a file without them leaves it, and a selection that the new list no
// longer holds goes back to all boxes, with the warning.
TEST_F(MainLoop, AReloadOverridesTheLiveStateWithTheKeysItsFileGives) {
    scratch::Directory directory;
    std::string rc = (directory.path() / "rc").string();
    settings::rcFilePath.reset(rc);
    int version = 0;
    auto reload = [&](const std::string& text) {
        scratch::writeFile(rc, text);
        timespec times[2] = {{0, UTIME_OMIT}, {4000000 + ++version, 0}};
        utimensat(AT_FDCWD, rc.c_str(), times, 0);
        ASSERT_EQ(reloadIfChanged(), 1);
    };
    const std::string threeBoxes = "Mailbox = POP3 a\nMailbox = POP3 b\nMailbox = POP3 c\n";
    struct Case {
        const char* what;
        std::string file;
        LoopState user;  // backlight, blink, selection as the user left them
        int32_t backlight, blink, selected;
        std::string said;
    } cases[] = {
        {"all three keys", threeBoxes + "Backlight = on\nBlink = off\nDefaultBox = 2\n",
         LoopState{.backlight = 0, .blink = 1, .selectedBox = 1}, 1, 0, 2, ""},
        {"the same values as the start", threeBoxes + "Backlight = off\nDefaultBox = 0\n",
         LoopState{.backlight = 1, .blink = 0, .selectedBox = 3}, 0, 0, 0, ""},
        {"none of them", threeBoxes + "Interval = 2\n",
         LoopState{.backlight = 1, .blink = 0, .selectedBox = 3}, 1, 0, 3, ""},
        {"fewer boxes than the selection", "Mailbox = POP3 a\nMailbox = POP3 b\n",
         LoopState{.backlight = 1, .blink = 1, .selectedBox = 3}, 1, 1, 0,
         "quorvik warning : box-num must be >=0 and <=2\n"},
        {"a DefaultBox beyond the list", threeBoxes + "DefaultBox = 5\n",
         LoopState{.selectedBox = 2}, 0, 1, 0, "quorvik warning : box-num must be >=0 and <=3\n"},
    };
    settings::useThreads = 1;  // the cycle reads the counts, checks nothing
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        loop = c.user;
        testing::internal::CaptureStderr();
        reload(c.file);
        runCycle(loop);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
        EXPECT_EQ(loop.backlight, c.backlight);
        EXPECT_EQ(loop.blink, c.blink);
        EXPECT_EQ(loop.selectedBox, c.selected);
        // Taken once: the next cycle keeps what the user does after it.
        loop.backlight = 7;
        runCycle(loop);
        EXPECT_EQ(loop.backlight, 7);
    }
}

// The loop sleeps until an event or a wake-up, except where the next cycle
// changes the picture by itself, and without threads, where the cycle checks.
TEST_F(MainLoop, TheLoopWaitsForAWakeUpUnlessTheNextCycleChangesThePicture) {
    using std::chrono::milliseconds;
    settings::interval = 2;
    struct Case {
        const char* what;
        int32_t threads, status, blinking, backlight, saved;
        bool unshownStep;  // button 3 stepped the selection, not drawn yet
        std::optional<milliseconds> pace;
    } cases[] = {
        {"threads, no mail", 1, STATUS_NONE, 1, 0, 0, false, std::nullopt},
        {"no threads: the cycle checks", 0, STATUS_NONE, 1, 0, 0, false, milliseconds(2000)},
        {"the backlight blinks", 1, STATUS_OTHER, 1, 1, 0, false, milliseconds(2000)},
        {"the count blinks", 1, STATUS_SELECTED, 1, 0, 0, false, milliseconds(2000)},
        {"blinking off, at rest", 1, STATUS_BOTH, 0, 0, 0, false, std::nullopt},
        {"blinking off, the user lit it", 1, STATUS_OTHER, 0, 1, 0, false, milliseconds(2000)},
        {"a step not drawn yet", 1, STATUS_NONE, 1, 0, 0, true, milliseconds(2000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        settings::useThreads = c.threads;
        loop = LoopState{.backlight = c.backlight, .blink = c.blinking};
        loop.shown.mailStatus = c.status;
        loop.alertStatus = c.status;
        loop.savedBacklight = c.saved;
        loop.drawn = displayStateOf(loop);
        if (c.unshownStep) handlePress(loop, 3, 0, plusX, buttonY, 12);
        EXPECT_EQ(cyclePace(loop), c.pace);
    }
}
