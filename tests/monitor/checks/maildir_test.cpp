#include "monitor/checks/maildir.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "monitor/checks/check.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;
using scratch::statOf;
using scratch::writeFile;

// A Maildir with the given entries; a name ending in "/" is a directory.
void makeMaildir(const fs::path& root, const std::vector<std::string>& entries) {
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(root / sub);
    for (const std::string& entry : entries) {
        if (entry.ends_with('/'))
            fs::create_directories(root / entry);
        else
            writeFile(root / entry, "");
    }
}

TEST(Maildir, CountsEntriesAndSeenFlags) {
    struct Case {
        const char* name;
        std::vector<std::string> entries;
        int32_t total;
        int32_t fresh;
    };
    const std::vector<Case> cases = {
        {"new without info, cur with S, RS and none",
         {"new/1.a.host", "new/2.b.host", "cur/3.c.host:2,S", "cur/4.d.host:2,RS",
          "cur/5.e.host:2,", "tmp/6.f.host", "tmp/7.g.host:2,S"},
         5,
         3},
        {"hidden names count for nothing, subdirectories count",
         {"new/.hidden", "cur/.x:2,S", "cur/folder/", "cur/.folder/"},
         1,
         1},
        {"seen only with an S after :2",
         {"cur/1.host:2,s", "cur/2.Shost", "cur/3.S.host:2,R", "cur/4.host:2,FS"},
         4,
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch::Directory dir;
        makeMaildir(dir.path(), c.entries);
        Box box;
        box.type = BOX_MAILDIR;
        box.path = dir.path().string() + "/";  // a trailing slash is harmless
        ASSERT_EQ(checkBox(box), 1);
        EXPECT_EQ(box.totalCount, c.total);
        EXPECT_EQ(box.newCount, c.fresh);
    }
}

// The newest unseen message is told by its name, as delivery tools write
// them: the time, then a part that grows within the second.
TEST(Maildir, NewestUnseenByName) {
    struct Case {
        const char* what;
        std::vector<std::string> entries;
        std::string newest;  // its subject
    } cases[] = {
        {"later second wins over a longer name",
         {"new/999999999.M9P9.host", "new/1700000000.M1P1.host"},
         "1700000000.M1P1.host"},
        {"microseconds compare as numbers",
         {"new/1700000000.M99P5.host", "new/1700000000.M123P5.host"},
         "1700000000.M123P5.host"},
        {"an unseen message in cur counts, a seen one does not",
         {"new/1700000000.M1P1.host", "cur/1700000001.M1P1.host:2,",
          "cur/1700000002.M1P1.host:2,S"},
         "1700000001.M1P1.host:2,"},
        {"nothing unseen", {"cur/1700000000.M1P1.host:2,S"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        scratch::Directory dir;
        makeMaildir(dir.path(), {});
        for (const std::string& entry : c.entries)
            writeFile(dir / entry, "Subject: " + fs::path(entry).filename().string() + "\n\n");
        Box box;
        box.type = BOX_MAILDIR;
        box.path = dir.path();
        ASSERT_EQ(checkBox(box), 1);
        EXPECT_EQ(newestMessage(box).subject, c.newest);
    }
}

TEST(Maildir, IncompleteMaildirIsNotCounted) {
    for (const char* missing : {"cur", "new"}) {
        SCOPED_TRACE(missing);
        scratch::Directory dir;
        makeMaildir(dir.path(), {"new/1", "cur/2:2,S"});
        fs::remove_all(dir / missing);
        writeFile(dir / missing, "a file where a directory belongs");
        Box box;
        box.type = BOX_MAILDIR;
        box.path = dir.path();
        box.totalCount = 9;
        EXPECT_EQ(checkBox(box), 0);
        fs::remove(dir / missing);
        EXPECT_EQ(checkBox(box), 0);
        EXPECT_EQ(box.totalCount, 9);
    }
}

// The stamp is the later of the two directories' times: a change in either
// is counted, and an unchanged Maildir is not listed again even when its
// two directories carry different times.
TEST(Maildir, StampFollowsTheLaterDirectory) {
    scratch::Directory dir;
    makeMaildir(dir.path(), {"cur/1:2,S"});
    scratch::waitForNextSecond();
    writeFile(dir / "new" / "2", "");
    Box box;
    box.type = BOX_MAILDIR;
    box.path = dir.path();
    scratch::FakeClock clock(std::time(nullptr) + 100);
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.settled, 1);
    EXPECT_EQ(box.timeStamp, statOf(dir / "new").st_ctime);
    ASSERT_NE(statOf(dir / "new").st_ctime, statOf(dir / "cur").st_ctime);
    EXPECT_EQ(checkBox(box), 0);

    scratch::waitForNextSecond();
    fs::rename(dir / "new" / "2", dir / "cur" / "2:2,S");
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.newCount, 0);
    EXPECT_EQ(box.totalCount, 2);
    EXPECT_EQ(box.timeStamp, statOf(dir / "cur").st_ctime);

    scratch::waitForNextSecond();
    writeFile(dir / "new" / "3", "");
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.newCount, 1);
    EXPECT_EQ(box.timeStamp, statOf(dir / "new").st_ctime);
}

// procmail delivers into the Maildir, mutt marks two messages read; the
// counts agree with mutt's own.
TEST(MaildirPeers, ProcmailDeliveryAndMuttFlags) {
    for (const char* tool : {"/usr/bin/procmail", "/usr/bin/mutt", "/usr/bin/script"})
        if (!scratch::haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    scratch::Directory home;
    writeFile(home / ".procmailrc", "");
    fs::create_directory(home / "Mail");
    for (int i = 1; i <= 4; ++i) {
        writeFile(home / "message",
                  "From: a@example.org\nSubject: m" + std::to_string(i) + "\n\nbody\n");
        ASSERT_TRUE(scratch::run("cd " + home.path().string() +
                                 " && HOME=$PWD procmail DEFAULT=$PWD/Maildir/ < message"));
    }
    Box box;
    box.type = BOX_MAILDIR;
    box.path = home / "Maildir";
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.totalCount, 4);
    EXPECT_EQ(box.newCount, 4);
    EXPECT_EQ(newestMessage(box).subject, "m4");
    EXPECT_EQ(newestMessage(box).from, "a@example.org");

    auto said = scratch::readFirstAndThirdWithMutt(home.path(), "$PWD/Maildir");
    ASSERT_TRUE(said);

    box.settled = 0;
    box.timeStamp = 0;  // recount now, whatever second mutt wrote in
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.totalCount, said->messages);
    EXPECT_EQ(box.newCount, said->unread);
    EXPECT_EQ(box.newCount, 2);
}

}  // namespace
