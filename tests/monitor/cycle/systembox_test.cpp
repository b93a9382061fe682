#include "monitor/cycle/systembox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/state/boxes.h"
#include "tests/support/fresh_monitor.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;

class SystemMailbox : public FreshMonitor {
protected:
    scratch::Directory dir;
    // A user without a spool file, so that only $MAIL can be found.
    scratch::Environment user{"USER", "quorvik-no-such-user"};
};

}  // namespace

TEST_F(SystemMailbox, MailNamesAnMboxOrAMaildir) {
    scratch::writeFile(dir / "mbox", "");
    fs::create_directories(dir / "Maildir" / "cur");
    fs::create_directories(dir / "Maildir" / "new");
    fs::create_directories(dir / "plain directory");
    fs::create_directories(dir / "folder");
    scratch::writeFile(dir / "with blank", "");
    scratch::writeFile(dir / "with:colon", "");
    const std::string root = dir.path().string();
    struct Case {
        std::optional<std::string> mail;
        std::optional<std::string> definition;
    };
    for (const Case& c : std::vector<Case>{
             {root + "/mbox", "MBOX " + root + "/mbox"},
             {root + "/Maildir/", "MAILDIR " + root + "/Maildir/"},
             {root + "/folder", std::nullopt},  // a directory, but no Maildir
             {root + "/missing", std::nullopt},
             {root + "/with blank", std::nullopt},  // no definition can hold it
             {root + "/with:colon", std::nullopt},
             {"", std::nullopt},
             {std::nullopt, std::nullopt},
         }) {
        SCOPED_TRACE(c.mail.value_or("(unset)"));
        scratch::Environment mail("MAIL", c.mail);
        EXPECT_EQ(systemMailboxDefinition(), c.definition);
    }
}

// The system mailbox stands only while no box is defined: definitions that
// come, even invalid ones, put it out of force; a reload without any keeps it.
TEST_F(SystemMailbox, TheFirstDefinitionsReplaceIt) {
    scratch::writeFile(dir / "mbox", "From a\n\n");
    scratch::Environment mail("MAIL", (dir / "mbox").string());
    testing::internal::CaptureStderr();
    watchSystemMailboxWhenNoBox();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "quorvik warning : no box is defined, so the system mailbox " +
                  (dir / "mbox").string() + " is watched; quorvik-config adds your own boxes\n");
    ASSERT_EQ(boxCount(*boxListSnapshot()), 1);
    EXPECT_FALSE(anyBoxDefined());

    rebuildBoxList();  // a reload of an rc file without Mailbox lines
    EXPECT_EQ(boxCount(*boxListSnapshot()), 1);

    addDefinition(settings::boxDefinitions, "MBOX " + (dir / "missing").string());
    testing::internal::CaptureStderr();
    rebuildBoxList();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(anyBoxDefined());
    EXPECT_EQ(boxCount(*boxListSnapshot()), 0);

    // Defined once, the system mailbox is not watched again.
    testing::internal::CaptureStderr();
    watchSystemMailboxWhenNoBox();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(boxCount(*boxListSnapshot()), 0);
}
