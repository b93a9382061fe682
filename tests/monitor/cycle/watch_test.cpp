// The watcher of the local stores: deliveries by the mail tools are counted
// the moment they land, with no scheduler pass, and the rc file is followed
// at once.

#include "monitor/cycle/watch.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "monitor/cycle/cycle.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/cycle/wake.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"
#include "tests/support/monitor_testing.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;

// Checks of each box, counted by path, through the real check.
std::atomic<int> checks{0};
int countedCheck(Box& box) {
    ++checks;
    return checkBox(box);
}

class Watch : public testing::Test {
protected:
    void SetUp() override {
        resetSettings();
        clearBoxList();
        rcTimeStamp = rcSizeStamp = 0;
        checks = 0;
        setBoxChecker(countedCheck);
        prepareWakeUps();
        takeDisplayWake();
        settings::rcFilePath.reset((home / "rc").string());
    }
    void TearDown() override {
        stopWatching();
        setBoxChecker(nullptr);
        setWatchAdder(nullptr);
        resetSettings();
        clearBoxList();
    }

    // The boxes, each checked once as the scheduler's first pass would.
    void boxes(const std::vector<std::string>& definitions) {
        for (const std::string& definition : definitions)
            addDefinition(settings::boxDefinitions, definition);
        rebuildBoxList();
        for (const auto& box : *boxListSnapshot()) runBoxCheck(*box);
    }

    static bool displayWoken() {
        pollfd entry{displayWakeFd(), POLLIN, 0};
        return poll(&entry, 1, 0) == 1;
    }

    std::string inHome() const { return "cd '" + home.path().string() + "' && HOME=$PWD "; }

    scratch::Directory home;
};

bool shows(int32_t position, int32_t fresh, int32_t total) {
    return scratch::eventually([&] {
        auto box = boxAt(position);
        return box && box->newCount == fresh && box->totalCount == total;
    });
}

}  // namespace

TEST_F(Watch, DeliveriesOfTheMailToolsAreCountedAtOnce) {
    for (const char* tool : {"/usr/bin/procmail", "/usr/bin/mh/inc"})
        if (!scratch::haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    std::string nmh = inHome() + "MH=$PWD/.mh_profile PATH=/usr/bin/mh:$PATH ";
    ASSERT_TRUE(scratch::run(nmh + "install-mh -auto < /dev/null"));
    scratch::appendFile(home / ".mh_profile", "Unseen-Sequence: unseen\n");
    scratch::writeFile(home / ".procmailrc", "");
    fs::path mbox = home / "mbox";
    scratch::writeFile(mbox, "");
    fs::create_directories(home / "Maildir" / "new");
    fs::create_directories(home / "Maildir" / "cur");
    fs::create_directories(home / "Maildir" / "tmp");
    fs::create_directories(home / "Mail" / "inbox");
    scratch::Environment profile("MH", (home / ".mh_profile").string());
    scratch::Environment homeVariable("HOME", home.path().string());  // the profile's Path is in it
    fs::current_path(home / "Mail");  // the MH folder name exists where the box list is made
    boxes({"MBOX " + mbox.string(), "MAILDIR " + (home / "Maildir").string(), "MH inbox"});
    fs::current_path("/");
    startWatching();

    // Two deliveries to each, the second within the second of the first.
    scratch::writeFile(home / "message", "From: a@example.org\nSubject: s\n\nbody\n");
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        takeDisplayWake();
        ASSERT_TRUE(scratch::run(inHome() + "procmail -f s@example.org DEFAULT=" + mbox.string() +
                                 " < message"));
        EXPECT_TRUE(shows(1, round, round));
        ASSERT_TRUE(scratch::run(inHome() + "procmail DEFAULT=$PWD/Maildir/ < message"));
        EXPECT_TRUE(shows(2, round, round));
        scratch::writeFile(home / "incoming",
                           "From a@example.org Mon Jan  1 00:00:00 2024\nSubject: h\n\nbody\n\n");
        ASSERT_TRUE(scratch::run(nmh + "inc -file incoming -truncate"));
        EXPECT_TRUE(shows(3, round, round));
        EXPECT_TRUE(displayWoken());
    }
}

TEST_F(Watch, AChangedRcFileIsReadAtOnceAndItsNewBoxesCounted) {
    fs::path mbox = home / "mbox";
    scratch::writeFile(mbox, "From a\n\nnew\n");
    scratch::writeFile(home / "rc", "Interval = 2\n");
    reloadIfChanged();
    startWatching();
    // Saved as the editor saves: a new file renamed over the old one.
    scratch::writeFile(home / "rc.new", "Interval = 3\nMailbox = MBOX " + mbox.string() + "\n");
    fs::rename(home / "rc.new", home / "rc");
    EXPECT_TRUE(scratch::eventually([] { return settings::interval == 3u; }));
    EXPECT_TRUE(shows(1, 1, 1));
}

TEST_F(Watch, StoresReplacedOrRemovedAndBackAreFollowed) {
    fs::path mbox = home / "mbox";
    scratch::writeFile(mbox, "From a\n\nnew\n");
    fs::path maildir = home / "Maildir";
    fs::create_directories(maildir / "new");
    fs::create_directories(maildir / "cur");
    boxes({"MBOX " + mbox.string(), "MAILDIR " + maildir.string()});
    startWatching();

    // An mbox replaced by rename, as a mail reader rewrites it.
    scratch::writeFile(home / "mbox.new", "From a\n\nnew\nFrom b\n\nnew\n");
    fs::rename(home / "mbox.new", mbox);
    EXPECT_TRUE(shows(1, 2, 2));
    scratch::appendFile(mbox, "From c\nStatus: RO\n\nread\n");
    EXPECT_TRUE(shows(1, 2, 3));

    // A Maildir that goes and comes back with mail in it.
    scratch::writeFile(maildir / "new" / "1", "x\n");
    EXPECT_TRUE(shows(2, 1, 1));
    fs::remove_all(maildir);
    fs::create_directories(maildir / "cur");
    fs::create_directories(maildir / "new");
    scratch::writeFile(maildir / "new" / "2", "x\n");
    scratch::writeFile(maildir / "new" / "3", "x\n");
    EXPECT_TRUE(shows(2, 2, 2));
}

// A store reached by the path as the user named it: when a folder on the way,
// or a link's target, is replaced, the new one is watched and counted. The
// scheduler's passes are an hour apart: only the watcher can show the mail.
TEST_F(Watch, StoresReachedAnotherWayAreFollowed) {
    if (!scratch::haveProgram("/usr/bin/procmail")) GTEST_SKIP() << "procmail is not installed";
    scratch::writeFile(home / ".procmailrc", "");
    settings::checkDelay = 3600;
    // procmail delivers messages to an mbox, or to a Maildir (a trailing slash).
    auto deliver = [&](const fs::path& store, int messages) {
        if (store.string().ends_with('/'))
            for (const char* part : {"new", "cur", "tmp"}) fs::create_directories(store / part);
        else
            fs::create_directories(store.parent_path());
        scratch::writeFile(home / "message", "From: a@example.org\nSubject: s\n\nbody\n");
        for (int i = 0; i < messages; ++i)
            ASSERT_TRUE(scratch::run(
                inHome() + "procmail -f s@example.org DEFAULT=" + store.string() + " < message"));
    };
    // A link replaced as ln -sfn replaces it: a new one renamed over it.
    auto relink = [](const fs::path& link, const fs::path& target) {
        fs::create_symlink(target, link.string() + ".new");
        fs::rename(link.string() + ".new", link);
    };
    const struct Case {
        const char* name;
        std::function<void(const fs::path&)> make, replace;
        std::string box, deliverTo;  // below the case's folder
        int32_t before, after;       // messages once replaced, and once delivered
    } cases[] = {
        {"a Maildir whose parent is renamed away and made again",
         [&](const fs::path& at) { deliver(at / "Mail/box/", 2); },
         [](const fs::path& at) {
             fs::rename(at / "Mail", at / "Mail.old");
             for (const char* part : {"new", "cur", "tmp"})
                 fs::create_directories(at / "Mail/box" / part);
         },
         "MAILDIR Mail/box", "Mail/box/", 0, 1},
        {"an mbox given as a link, pointed at a file in another folder",
         [&](const fs::path& at) {
             deliver(at / "one/mbox", 1);
             deliver(at / "two/mbox", 3);
             fs::create_symlink("one/mbox", at / "inbox");
         },
         [&](const fs::path& at) { relink(at / "inbox", "two/mbox"); }, "MBOX inbox", "two/mbox", 3,
         4},
        {"a folder on the way given as a link, pointed at another",
         [&](const fs::path& at) {
             deliver(at / "first/box/", 2);
             for (const char* part : {"new", "cur", "tmp"})
                 fs::create_directories(at / "second/box" / part);
             fs::create_symlink(at / "first", at / "Mail");
         },
         [&](const fs::path& at) { relink(at / "Mail", at / "second"); }, "MAILDIR Mail/box",
         "second/box/", 0, 1},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path at = home / ("case" + std::to_string(++number));
        fs::create_directories(at);
        c.make(at);
        std::string type = c.box.substr(0, c.box.find(' ') + 1);
        boxes({type + (at / c.box.substr(type.size())).string()});
        startWatching();
        c.replace(at);
        EXPECT_TRUE(shows(1, c.before, c.before));
        deliver(at / c.deliverTo, 1);
        EXPECT_TRUE(shows(1, c.after, c.after));
        stopWatching();
        clearBoxList();
    }
}

// A delivery writes many times; the box is checked once the writes settle,
// not once per write.
TEST_F(Watch, ABurstOfChangesIsOneCheck) {
    fs::path mbox = home / "mbox";
    scratch::writeFile(mbox, "");
    boxes({"MBOX " + mbox.string()});
    startWatching();
    checks = 0;
    {
        std::ofstream out(mbox, std::ios::app);
        for (int i = 0; i < 200; ++i) out << "From m" << i << "\n\nbody\n" << std::flush;
    }
    EXPECT_TRUE(shows(1, 200, 200));
    EXPECT_LT(checks.load(), 200);
}

TEST_F(Watch, ManyBoxesAreWatched) {
    std::vector<std::string> definitions;
    for (int i = 0; i < 1000; ++i) {
        fs::path mbox = home / ("mbox" + std::to_string(i));
        scratch::writeFile(mbox, "");
        definitions.push_back("MBOX " + mbox.string());
    }
    boxes(definitions);
    startWatching();
    for (int i : {0, 499, 999})
        scratch::appendFile(home / ("mbox" + std::to_string(i)), "From a\n\nx\n");
    for (int i : {1, 500, 1000}) EXPECT_TRUE(shows(i, 1, 1)) << i;
}

namespace {

int noWatchLeft(int, const char*, uint32_t) {
    errno = ENOSPC;
    return -1;
}

}  // namespace

TEST_F(Watch, NoWatchLeftIsSaidOnceAndTheBoxesArePolled) {
    fs::path mbox = home / "mbox";
    scratch::writeFile(mbox, "");
    boxes({"MBOX " + mbox.string()});
    setWatchAdder(noWatchLeft);
    testing::internal::CaptureStderr();
    startWatching();  // the watches are made before it returns
    stopWatching();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "quorvik warning : inotify's watch limit is reached: boxes not watched show new "
              "mail at the scheduler's next pass\n");
    // The check as a pass makes it still counts the box.
    scratch::waitForNextSecond();
    scratch::appendFile(mbox, "From a\n\nx\n");
    runBoxCheck(*boxAt(1));
    EXPECT_EQ(boxAt(1)->totalCount, 1);
}
