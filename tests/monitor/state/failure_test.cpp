#include "monitor/state/failure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/state/boxes.h"
#include "tests/support/fresh_monitor.h"
#include "tests/support/scratch.h"

namespace {

class BoxFailures : public FreshMonitor {
protected:
    static std::shared_ptr<Box> define(const std::string& definition) {
        addDefinition(settings::boxDefinitions, definition);
        rebuildBoxList();
        return boxAt(boxCount(*boxListSnapshot()));
    }

    static std::string record(Box& box, BoxFailure outcome) {
        testing::internal::CaptureStderr();
        recordCheckOutcome(box, outcome);
        return testing::internal::GetCapturedStderr();
    }
};

}  // namespace

// One line when a box starts failing, one when its reason changes, one when
// it works again; nothing while it stays as it is. The box is named as its
// definition names it, without its password.
TEST_F(BoxFailures, SaidOnceForEachChange) {
    auto box = define("IMAP mail.example.org:993 alice s3cret Lists/quorvik");
    const std::string name =
        "quorvik warning : box \"IMAP mail.example.org:993 alice Lists/quorvik\"";
    struct Step {
        BoxFailure outcome;
        std::string said;
    };
    const std::vector<Step> steps = {
        {BoxFailure::none, ""},
        {BoxFailure::unreachable, name + " fails: the server cannot be reached\n"},
        {BoxFailure::unreachable, ""},
        {BoxFailure::signInRefused, name + " fails: the sign-in was refused\n"},
        {BoxFailure::none, name + " works again\n"},
        {BoxFailure::none, ""},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(record(*box, steps[i].outcome), steps[i].said);
        EXPECT_EQ(box->failure, steps[i].outcome);
    }
}

TEST_F(BoxFailures, LabelsNameTheBoxAsWrittenWithoutItsPassword) {
    scratch::Directory dir;
    scratch::writeFile(dir / "mbox", "");
    const std::string mbox = (dir / "mbox").string();
    struct Case {
        std::string definition, label;
    };
    for (const Case& c : std::vector<Case>{
             {"mbox " + mbox + " ignored words", "mbox " + mbox},
             {"POP3 pop.example.org:995 bob secret", "POP3 pop.example.org:995 bob"},
             {"IMAP [::1]:993 carol - INBOX", "IMAP [::1]:993 carol INBOX"},
             {"IMAP imap.example.org dave", "IMAP imap.example.org dave"},
             {"IMAP host\x1b[2J user pw", "IMAP host?[2J user"},
         }) {
        SCOPED_TRACE(c.definition);
        EXPECT_EQ(parseDefinition(c.definition)->label, c.label);
    }
}

// A reload that keeps a box hands its state on, so a box that goes on
// failing is not told of again; the box it replaced, whose check may still
// run, says nothing more: its successor tells of what changes.
TEST_F(BoxFailures, AReloadKeepsTheStateAndTheReplacedBoxSaysNothing) {
    auto failing = define("POP3 pop.example.org alice pw");
    record(*failing, BoxFailure::signInRefused);
    addDefinition(settings::boxDefinitions, "POP3 pop.example.org alice other-pw");
    addDefinition(settings::boxDefinitions, "POP3 other.example.org alice pw");
    rebuildBoxList();
    auto kept = boxAt(1);
    ASSERT_NE(kept, failing);
    EXPECT_EQ(kept->failure, BoxFailure::signInRefused);
    EXPECT_EQ(boxAt(2)->failure, BoxFailure::none);

    EXPECT_EQ(record(*failing, BoxFailure::none), "");
    EXPECT_EQ(record(*kept, BoxFailure::signInRefused), "");
    EXPECT_EQ(record(*kept, BoxFailure::none),
              "quorvik warning : box \"POP3 pop.example.org alice\" works again\n");
}
