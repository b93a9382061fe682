#include "monitor/checks/check.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/support/scratch.h"

namespace {

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
