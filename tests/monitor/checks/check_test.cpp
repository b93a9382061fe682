#include "monitor/checks/check.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;
using scratch::statOf;
using scratch::writeFile;

TEST(CheckBox, UnknownTypeDoesNothing) {
    for (int32_t type : {-1, 6, 1000}) {
        SCOPED_TRACE(type);
        Box box;
        box.type = type;
        box.path = "/";
        box.timeStamp = 5;
        box.newCount = 3;
        EXPECT_EQ(checkBox(box), 0);
        EXPECT_EQ(box.timeStamp, 5);
        EXPECT_EQ(box.newCount, 3);
        EXPECT_EQ(box.settled, 0);
    }
}

// A fresh box is counted at once; when its file changed in the present
// second it stays unsettled. Ten seconds later it is not looked at, eleven
// seconds later it is counted once more and settles.
TEST(CheckBox, SettlingNeedsElevenSeconds) {
    scratch::Directory dir;
    writeFile(dir / "mbox", "From a\n\n");
    std::filesystem::create_directories(dir / "Maildir" / "cur");
    std::filesystem::create_directories(dir / "Maildir" / "new");
    writeFile(dir / "Maildir" / "new" / "1", "");
    struct BoxCase {
        int32_t type;
        std::string path;
        std::vector<std::string> stamped;  // the box's stamp: the latest of their times
    };
    std::vector<BoxCase> cases = {
        {BOX_MBOX, dir / "mbox", {dir / "mbox"}},
        {BOX_MAILDIR, dir / "Maildir", {dir / "Maildir" / "cur", dir / "Maildir" / "new"}}};
    for (const BoxCase& c : cases) {
        SCOPED_TRACE(c.path);
        Box box;
        box.type = c.type;
        box.path = c.path;
        int64_t stamp = 0;
        for (const std::string& path : c.stamped)
            stamp = std::max<int64_t>(stamp, statOf(path).st_ctime);
        scratch::FakeClock clock(stamp);
        EXPECT_EQ(checkBox(box), 1);
        EXPECT_EQ(box.settled, 0);
        clock.set(stamp + 10);
        EXPECT_EQ(checkBox(box), 0);
        EXPECT_EQ(box.timeStamp, stamp);
        clock.set(stamp + 11);
        EXPECT_EQ(checkBox(box), 1);
        EXPECT_EQ(box.settled, 1);
        EXPECT_EQ(box.totalCount, 1);
        clock.set(stamp + 100);
        EXPECT_EQ(checkBox(box), 0);
    }
}

// A local store that goes away or cannot be read fails its box with the
// reason, keeping the counts; a look that finds the failing store as it was
// says the same, and the store back as it was (its times and all) works again.
TEST(CheckBox, LocalStoresFailAndWorkAgain) {
    scratch::Directory dir;
    const fs::path mbox = dir / "mbox", maildir = dir / "Maildir", mail = dir / "Mail",
                   aside = dir / "aside";
    writeFile(mbox, "From a\n\n");
    writeFile(maildir / "new" / "1", "");
    fs::create_directories(maildir / "cur");
    writeFile(mail / "inbox" / "1", "");
    writeFile(mail / "inbox" / ".mh_sequences", "unseen: 1\n");
    writeFile(dir / ".mh_profile", "Path: Mail\n");
    scratch::Environment home("HOME", dir.path().string());
    scratch::Environment mh("MH", std::nullopt);

    // How a store is broken and mended again.
    struct Breakage {
        const char* name;
        int32_t type;
        std::string path;
        fs::path broken;  // moved aside, with something else in its place or nothing
        bool fileInstead, directoryInstead;
        BoxFailure failure;
    };
    const std::vector<Breakage> cases = {
        {"mbox gone", BOX_MBOX, mbox, mbox, false, false, BoxFailure::mailboxMissing},
        {"a directory for an mbox", BOX_MBOX, mbox, mbox, false, true,
         BoxFailure::mailboxUnreadable},
        {"Maildir without cur", BOX_MAILDIR, maildir, maildir / "cur", false, false,
         BoxFailure::mailboxMissing},
        {"a file for cur", BOX_MAILDIR, maildir, maildir / "cur", true, false,
         BoxFailure::mailboxUnreadable},
        {"MH folder gone", BOX_MH, "inbox", mail / "inbox", false, false,
         BoxFailure::mailboxMissing},
        {"a file for the MH folder", BOX_MH, "inbox", mail / "inbox", true, false,
         BoxFailure::mailboxUnreadable},
        {"the MH root gone", BOX_MH, "inbox", mail, false, false, BoxFailure::mailboxMissing},
        {"no MH profile", BOX_MH, "inbox", dir / ".mh_profile", false, false,
         BoxFailure::noMhProfile},
    };
    for (const Breakage& c : cases) {
        SCOPED_TRACE(c.name);
        Box box;
        box.type = c.type;
        box.path = c.path;
        ASSERT_EQ(checkBox(box), 1);
        ASSERT_EQ(box.totalCount, 1);

        // Stamps are whole seconds: what takes the store's place is told
        // apart from it in a later second.
        if (c.fileInstead || c.directoryInstead) scratch::waitForNextSecond();
        fs::rename(c.broken, aside);
        if (c.fileInstead) writeFile(c.broken, "");
        if (c.directoryInstead) fs::create_directory(c.broken);
        box.newCount = 7;
        for (int look = 0; look < 2; ++look) {
            EXPECT_EQ(checkBox(box), 0);
            EXPECT_EQ(box.failure, c.failure);
            EXPECT_EQ(box.newCount, 7);
            EXPECT_EQ(box.totalCount, 1);
        }

        fs::remove_all(c.broken);
        fs::rename(aside, c.broken);
        EXPECT_EQ(checkBox(box), 1);
        EXPECT_EQ(box.failure, BoxFailure::none);
        EXPECT_EQ(box.newCount, 1);
        // Unchanged again, a working store has no outcome and stays working.
        if (c.type != BOX_MH) EXPECT_EQ(checkBox(box), 0);
        EXPECT_EQ(box.failure, BoxFailure::none);
    }
}

// A store the user may not read, as a user other than root meets it.
TEST(CheckBox, StoresThatMayNotBeReadFailAsUnreadable) {
    if (geteuid() != 0) GTEST_SKIP() << "changing users needs root";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    scratch::Directory dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    writeFile(dir / "mbox", "From a\n\n");
    writeFile(dir / "Maildir" / "new" / "1", "");
    fs::create_directories(dir / "Maildir" / "cur");
    writeFile(dir / "Mail" / "inbox" / "1", "");
    writeFile(dir / ".mh_profile", "Path: Mail\n");
    scratch::Environment home("HOME", dir.path().string());
    scratch::Environment mh("MH", std::nullopt);
    struct Case {
        int32_t type;
        std::string path;
        fs::path closed;
    };
    for (const Case& c : {Case{BOX_MBOX, dir / "mbox", dir / "mbox"},
                          Case{BOX_MAILDIR, dir / "Maildir", dir / "Maildir" / "cur"},
                          Case{BOX_MH, "inbox", dir / "Mail" / "inbox"}}) {
        SCOPED_TRACE(c.path);
        ASSERT_EQ(::chmod(c.closed.c_str(), 0), 0);
        pid_t child = fork();
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 ||
                setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0 ||
                setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0)
                _exit(100);
            Box box;
            box.type = c.type;
            box.path = c.path;
            _exit(checkBox(box) == 0 ? static_cast<int>(box.failure.load()) : 101);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(BoxFailure::mailboxUnreadable));
        ASSERT_EQ(::chmod(c.closed.c_str(), 0755), 0);
    }
}

// Checks of different boxes run side by side while another thread reads
// the counters (the ThreadSanitizer build looks for races here).
TEST(CheckBox, ChecksRunInParallelWithReaders) {
    scratch::Directory dir;
    std::vector<std::unique_ptr<Box>> boxes;
    for (int i = 0; i < 4; ++i) {
        std::string path = dir / ("mbox" + std::to_string(i));
        writeFile(path, std::string("From a\n\n").append(i, 'x'));
        auto box = std::make_unique<Box>();
        box->path = path;
        boxes.push_back(std::move(box));
    }
    std::atomic<bool> done{false};
    std::thread reader([&] {
        int64_t sum = 0;
        while (!done)
            for (auto& box : boxes) sum += box->newCount + box->totalCount + box->timeStamp;
        EXPECT_GE(sum, 0);
    });
    std::vector<std::thread> workers;
    for (auto& box : boxes)
        workers.emplace_back([&box] {
            for (int round = 0; round < 20; ++round) {
                box->settled = 0;
                box->timeStamp = 0;
                checkBox(*box);
            }
        });
    for (auto& worker : workers) worker.join();
    done = true;
    reader.join();
    for (auto& box : boxes) EXPECT_EQ(box->totalCount, 1);
}

}  // namespace
