#include "monitor/core/mainloop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/core/boxes.h"
#include "monitor/core/cycle.h"
#include "monitor/core/options.h"
#include "monitor/dock/dock.h"
#include "tests/support/monitor_testing.h"

namespace {

class MainLoop : public testing::Test {
protected:
    void SetUp() override {
        resetSettings();
        alertStatus = 0;
        savedBacklight = 0;
        showNewCount = 1;
    }
    void TearDown() override {
        setBoxChecker(nullptr);
        clearBoxList();
        resetSettings();
    }
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
        settings::selectedBox = c.from;
        PressOutcome outcome = handlePress(c.button, 0, c.x, buttonY, c.boxes);
        EXPECT_EQ(settings::selectedBox, c.to);
        EXPECT_EQ(outcome, c.button == 1 ? PressOutcome::redraw : PressOutcome::nothing);
        EXPECT_EQ(settings::backlight, 0);
        EXPECT_EQ(settings::blink, 1);
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
        settings::selectedBox = 0;
        setBoxChecker(countCheck);
        checkCycle(shownNew, shownTotal, mailStatus);
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
            EXPECT_EQ(handlePress(1, 0, step.x, buttonY, 3), PressOutcome::redraw);
            DisplayState shown = displayStateNow();
            EXPECT_EQ(shown.selectedBox, step.box);
            EXPECT_EQ(shown.shownNew, step.fresh);
            EXPECT_EQ(shown.shownTotal, step.total);
            EXPECT_EQ(mailStatus, step.status);
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
        settings::backlight = 0;
        EXPECT_EQ(handlePress(1, 0, x, y, 3), PressOutcome::redraw);
        EXPECT_EQ(settings::backlight, 1);
        EXPECT_EQ(settings::selectedBox, 0);
        settings::blink = 1;
        EXPECT_EQ(handlePress(3, 0, x, y, 3), PressOutcome::nothing);
        EXPECT_EQ(settings::blink, 0);
    }
    settings::blink = 7;
    handlePress(3, 0, 40, 40, 3);
    EXPECT_EQ(settings::blink, 0);
    handlePress(3, 0, 40, 40, 3);
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
        SetUp();
        settings::blink = c.blinking;
        settings::backlight = c.backlightBefore;
        for (std::size_t i = 0; i < c.statuses.size(); ++i) {
            applyAlert(c.statuses[i]);
            EXPECT_EQ(settings::backlight, c.seen[i].first) << "cycle " << i;
            EXPECT_EQ(showNewCount, c.seen[i].second) << "cycle " << i;
        }
    }
}

TEST_F(MainLoop, BacklightComesBackAfterTheUserToggledItDuringAnAlert) {
    settings::blink = 0;
    applyAlert(STATUS_SELECTED);
    handlePress(1, 0, 40, 40, 1);  // the user lights the display
    EXPECT_EQ(settings::backlight, 1);
    applyAlert(STATUS_SELECTED);
    EXPECT_EQ(settings::backlight, 0);  // status 2 holds the state from before the alert
    handlePress(1, 0, 40, 40, 1);
    applyAlert(STATUS_NONE);
    EXPECT_EQ(settings::backlight, 0);
    EXPECT_EQ(alertStatus, 0);
}

TEST_F(MainLoop, CountHiddenWhenBlinkingStopsStaysHiddenUntilStatusOne) {
    applyAlert(STATUS_SELECTED);
    EXPECT_EQ(showNewCount, 0);
    settings::blink = 0;
    applyAlert(STATUS_SELECTED);
    EXPECT_EQ(showNewCount, 0);
    applyAlert(STATUS_OTHER);
    EXPECT_EQ(showNewCount, 1);
}
