#include "monitor/checks/mbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "monitor/checks/check.h"
#include "monitor/state/options.h"
#include "tests/support/scratch.h"

namespace {

using namespace std::string_literals;
using scratch::appendFile;
using scratch::statOf;
using scratch::writeFile;

struct Counts {
    int64_t total;
    int64_t fresh;
};

Counts scanInPieces(const std::string& text, std::size_t piece) {
    MboxScanner scanner;
    for (std::size_t at = 0; at < text.size(); at += piece)
        scanner.feed(text.data() + at, std::min(piece, text.size() - at));
    scanner.finish();
    return {scanner.messages(), scanner.messages() - scanner.readMessages()};
}

// The rules read plainly: the chunks a 512-byte fgets buffer would give.
Counts scanByChunks(const std::string& text) {
    int64_t messages = 0, reads = 0;
    bool headers = false, continued = false, marked = false;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t newline = text.find('\n', at);
        std::size_t length = std::min<std::size_t>(
            newline == std::string::npos ? text.size() - at : newline + 1 - at, 511);
        std::string chunk = text.substr(at, length);
        at += length;
        if (!continued) {
            if (chunk.starts_with("From ")) {
                ++messages;
                headers = true;
                marked = false;
            } else if (headers && chunk == "\n") {
                headers = false;
            } else if (headers && !marked && chunk.starts_with("Status:") &&
                       chunk.find('R', 7) != std::string::npos) {
                ++reads;
                marked = true;
            }
        }
        continued = chunk.find('\n') == std::string::npos;
    }
    return {messages, messages - reads};
}

struct ScanCase {
    const char* name;
    std::string text;
    int64_t total;
    int64_t fresh;
};

std::vector<ScanCase> scanCases() {
    std::string longHeader = "X-Long: " + std::string(503, 'a');  // 511 bytes
    return {
        {"empty file", "", 0, 0},
        {"read, old and unmarked",
         "From a\nStatus: RO\n\nbody\nFrom b\nStatus: O\n\nFrom c\nSubject: s\n\n", 3, 2},
        {"no message starts", "From:x\nfrom y\n>From z\n", 0, 0},
        {"quoted and unquoted From in a body", "From a\n\n>From b\nFrom c\n", 2, 2},
        {"Status only in headers, exactly",
         "From a\nX-Status: R\nstatus: R\n\nStatus: R\nFrom b\nStatus:R\n", 2, 1},
        {"a blank line with CR does not end headers", "From a\nSubject: s\n\r\nStatus: R\n", 1, 0},
        {"long header: later chunks are not examined",
         "From a\n" + longHeader + "From b\n" + longHeader + "Status: R\n\n", 1, 1},
        {"511 bytes and a newline: the newline chunk is passed over",
         "From a\n" + longHeader + "\nStatus: R\n\n", 1, 0},
        {"510 bytes and a newline are one chunk",
         "From a\n" + longHeader.substr(1) + "\nStatus: R\n\n", 1, 0},
        {"R just beyond the first chunk", "From a\nStatus: " + std::string(503, 'O') + "R\n\n", 1,
         1},
        {"R beyond the first chunk", "From a\nStatus: " + std::string(600, 'O') + "R\n\n", 1, 1},
        {"last line without newline", "From a\nStatus: R", 1, 0},
        {"only a From line", "From ", 1, 1},
        {"two read marks, one message", "From a\nStatus: R\nStatus: RO\n\nFrom b\n\n", 2, 1},
        {"NUL bytes are ordinary bytes", "From a\nX: \0\nStatus: R\n\n"s, 1, 0},
    };
}

TEST(MboxScan, CountsMessagesAndReadMarks) {
    for (const ScanCase& c : scanCases()) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{64}, std::size_t{511},
                                  std::size_t{512}, std::size_t{1} << 20}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            Counts counts = scanInPieces(c.text, piece);
            EXPECT_EQ(counts.total, c.total);
            EXPECT_EQ(counts.fresh, c.fresh);
        }
        Counts plain = scanByChunks(c.text);
        EXPECT_EQ(plain.total, c.total) << c.name;
        EXPECT_EQ(plain.fresh, c.fresh) << c.name;
    }
}

// Random texts of the line shapes that matter, fed in random pieces, must
// count as the plain chunk-by-chunk reading does.
// Where the last message without a read mark begins, whatever the cut.
TEST(MboxScan, FindsTheLastNewMessage) {
    const std::string read = "From a\nStatus: RO\n\nbody\n";
    const std::string fresh = "From b\nSubject: s\n\nbody\n";
    struct Case {
        const char* what;
        std::string text;
        int64_t start;
    } cases[] = {
        {"a new one, then a read one", fresh + read, 0},
        {"a read one, then a new one", read + fresh, static_cast<int64_t>(read.size())},
        {"all read", read + read, -1},
        {"no messages", "", -1},
        {"a new one after a line longer than a chunk",
         read + "X" + std::string(2000, 'x') + "\n" + fresh,
         static_cast<int64_t>(read.size()) + 2002},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (std::size_t piece : {c.text.size() + 1, std::size_t{1}, std::size_t{5}}) {
            MboxScanner scanner;
            for (std::size_t at = 0; at < c.text.size(); at += piece)
                scanner.feed(c.text.data() + at, std::min(piece, c.text.size() - at));
            scanner.finish();
            EXPECT_EQ(scanner.lastNewMessage(), c.start);
        }
    }
}

TEST(MboxScan, AgreesWithChunkReadingOnRandomText) {
    const std::vector<std::string> shapes = {"From a@b Mon Jan 1\n",
                                             "From ",
                                             "From",
                                             "F",
                                             "Fr\n",
                                             "\n",
                                             "\r\n",
                                             "Status: RO\n",
                                             "Status: O\n",
                                             "Status:",
                                             "R\n",
                                             "Subject: x\n",
                                             "body text\n",
                                             std::string(505, 'x'),
                                             std::string(511, 'y'),
                                             std::string(1030, 'z'),
                                             "\0\n"s,
                                             "Status: " + std::string(503, 'O') + "R\n",
                                             ">From x\n"};
    std::mt19937 random(20240601);
    for (int round = 0; round < 300; ++round) {
        std::string text;
        int lines = std::uniform_int_distribution<int>(0, 120)(random);
        for (int i = 0; i < lines; ++i)
            text +=
                shapes[std::uniform_int_distribution<std::size_t>(0, shapes.size() - 1)(random)];
        Counts expected = scanByChunks(text);
        MboxScanner scanner;
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 700)(random);
            piece = std::min(piece, text.size() - at);
            scanner.feed(text.data() + at, piece);
            at += piece;
        }
        scanner.finish();
        ASSERT_EQ(scanner.messages(), expected.total) << "round " << round;
        ASSERT_EQ(scanner.messages() - scanner.readMessages(), expected.fresh) << "round " << round;
    }
}

class MboxCheck : public ::testing::Test {
protected:
    void SetUp() override {
        box.path = mbox;
        box.type = BOX_MBOX;
        writeFile(mbox, "From a\nStatus: RO\n\nFrom b\n\n");
        // Times in the past, with nanoseconds, so that any reading or
        // setting back would show.
        timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
        ASSERT_EQ(::utimensat(AT_FDCWD, mbox.c_str(), times, 0), 0);
    }
    void TearDown() override {
        setMboxOpener(nullptr);
        settings::checkSize = 0;
    }

    scratch::Directory dir;
    std::string mbox = dir / "mbox";
    Box box;
    // Later than every file time here, so that no file looks changed in the
    // present second.
    scratch::FakeClock clock{std::time(nullptr) + 100};
};

bool sameTimes(const struct stat& a, const struct stat& b) {
    return a.st_atim.tv_sec == b.st_atim.tv_sec && a.st_atim.tv_nsec == b.st_atim.tv_nsec &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

TEST_F(MboxCheck, CountsOnceAndLeavesTheFileAsItWas) {
    struct stat before = statOf(mbox);
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.totalCount, 2);
    EXPECT_EQ(box.newCount, 1);
    EXPECT_EQ(box.settled, 1);  // a fresh box's first count is the forced one
    struct stat after = statOf(mbox);
    EXPECT_TRUE(sameTimes(before, after));
    // Nothing was set back, so the status-change time stayed and the
    // unchanged file is not read again.
    EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
    EXPECT_EQ(checkBox(box), 0);

    scratch::waitForNextSecond();
    appendFile(mbox, "From c\n\n");
    EXPECT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.totalCount, 3);
    EXPECT_EQ(box.newCount, 2);
    EXPECT_EQ(box.settled, 0);
}

int refuseNoAtime(const char* path, int flags) {
    if (flags & O_NOATIME) {
        errno = EPERM;
        return -1;
    }
    return ::open(path, flags);
}

TEST_F(MboxCheck, SetsTheAccessTimeBackWhenReadingMovedIt) {
    setMboxOpener(refuseNoAtime);
    struct stat before = statOf(mbox);
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.totalCount, 2);
    EXPECT_TRUE(sameTimes(before, statOf(mbox)));
}

// A delivery while the file is being read: the opener appends a message
// right after opening. The access time cannot be spared, so only the
// changed file keeps the check from setting its times back.
int openAndDeliver(const char* path, int flags) {
    int fd = refuseNoAtime(path, flags);
    if (fd >= 0) appendFile(path, "From late\n\n");
    return fd;
}

TEST_F(MboxCheck, FileChangedDuringTheScanIsCountedAgain) {
    for (int bySize : {0, 1}) {
        SCOPED_TRACE(bySize ? "by size" : "by time");
        writeFile(mbox, "From a\n\n");
        settings::checkSize = bySize;
        box.settled = 1;  // no forced pass: only the change test counts
        box.timeStamp = 1;
        box.sizeStamp = 1;
        setMboxOpener(openAndDeliver);
        ASSERT_EQ(checkBox(box), 1);
        struct stat afterDelivery = statOf(mbox);
        // The delivery's modification time was not set back.
        EXPECT_GT(afterDelivery.st_mtim.tv_sec, 1100000000);
        setMboxOpener(nullptr);
        // Within the same second, too.
        ASSERT_EQ(checkBox(box), 1);
        EXPECT_EQ(box.totalCount, 2);
    }
}

TEST_F(MboxCheck, BySizeEmptyFilesAndShrinking) {
    settings::checkSize = 1;
    writeFile(mbox, "");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(checkBox(box), 0);  // size 0 is the cleared stamp
    EXPECT_EQ(box.totalCount, 0);

    writeFile(mbox, "From a\n\n");
    EXPECT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.settled, 1);
    writeFile(mbox, "From a\n\nFrom b\n\n");
    EXPECT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.settled, 0);
    // The stamp of time stays 0, so the next check is a forced count.
    EXPECT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.settled, 1);
    EXPECT_EQ(box.totalCount, 2);

    writeFile(mbox, "");
    EXPECT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.totalCount, 0);
    EXPECT_EQ(box.newCount, 0);
}

TEST_F(MboxCheck, WhatIsNoMboxIsNotCounted) {
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "directory");
    for (std::string path :
         {dir / "missing", dir / "directory", dir / "fifo", std::filesystem::path("/dev/null")}) {
        SCOPED_TRACE(path);
        Box other;
        other.path = path;
        other.newCount = 7;
        other.totalCount = 9;
        EXPECT_EQ(checkBox(other), 0);
        EXPECT_EQ(other.newCount, 7);
        EXPECT_EQ(other.totalCount, 9);
    }
}

TEST_F(MboxCheck, BinaryFileCountsWhatLooksLikeMessages) {
    std::string noise(1 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : noise) c = static_cast<char>(random());
    writeFile(mbox, noise + "\nFrom x\n\n");
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.totalCount, scanByChunks(scratch::readFile(mbox)).total);
}

// procmail delivers, mutt marks two messages read; the counts agree with
// mutt's own and with the "From " lines formail splits at.
TEST(MboxPeers, ProcmailDeliveryAndMuttReadMarks) {
    for (const char* tool :
         {"/usr/bin/procmail", "/usr/bin/formail", "/usr/bin/mutt", "/usr/bin/script"})
        if (!scratch::haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    scratch::Directory home;
    std::string mbox = home / "mbox";
    writeFile(home / ".procmailrc", "");
    std::filesystem::create_directory(home / "Mail");
    for (int i = 1; i <= 5; ++i) {
        std::string message = "From: =?UTF-8?Q?J=C3=BCrgen_" + std::to_string(i) +
                              "?= <a@example.org>\nTo: b@example.net\nSubject: m" +
                              std::to_string(i) + "\n\nFrom the body, quoted by procmail\n";
        writeFile(home / "message", message);
        ASSERT_TRUE(scratch::run("cd " + home.path().string() + " && HOME=$PWD procmail " +
                                 "-f s@example.org DEFAULT=$PWD/mbox < message"));
    }
    auto said = scratch::readFirstAndThirdWithMutt(home.path(), "$PWD/mbox");
    ASSERT_TRUE(said);
    auto split = scratch::run("formail -s echo < " + mbox + " | wc -l");
    ASSERT_TRUE(split);

    Box box;
    box.path = mbox;
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.totalCount, said->messages);
    EXPECT_EQ(box.newCount, said->unread);
    EXPECT_EQ(box.totalCount, std::stoi(*split));
    EXPECT_EQ(box.totalCount, 5);
    EXPECT_EQ(box.newCount, 3);
    EXPECT_EQ(newestMessage(box).from, "Jürgen 5 <a@example.org>");
    EXPECT_EQ(newestMessage(box).subject, "m5");

    scratch::waitForNextSecond();
    // An unquoted "From " in a body starts a message here on purpose, where
    // formail keeps the message whole without a blank line before it.
    appendFile(mbox,
               "From x@example.org Mon Jan  1 00:00:00 2024\nSubject: raw\n\n"
               "From here on the body\n");
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.totalCount, 7);
}

}  // namespace
