#include "monitor/checks/mh.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "monitor/checks/check.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using scratch::writeFile;

// A home directory with an MH profile whose root is ~/Mail.
class MhStore : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(home / ".mh_profile", "MH-Profile-Version: 1.0\nPath: Mail\n");
        fs::create_directories(home / "Mail" / "inbox");
    }

    // Checks an MH box of the folder; none when it was not counted.
    std::optional<std::pair<int32_t, int32_t>> check(const std::string& folder = "inbox") {
        Box box;
        box.type = BOX_MH;
        box.path = folder;
        if (checkBox(box) != 1) return std::nullopt;
        return std::pair<int32_t, int32_t>(box.newCount, box.totalCount);
    }

    scratch::Directory home;
    scratch::Environment homeVariable{"HOME", home.path().string()};
    scratch::Environment mhVariable{"MH", std::nullopt};
};

TEST_F(MhStore, CountsTheUnseenSequence) {
    constexpr int32_t largest = std::numeric_limits<int32_t>::max();
    struct Case {
        const char* name;
        std::string sequences;
        int32_t unseen;
    };
    const std::vector<Case> cases = {
        {"numbers and ranges", "cur: 4\nunseen: 1-3 5 7-7 9-8\n", 4},
        {"any case, blanks before the colon", "  UnSeen \t: 2 4\n", 2},
        {"a longer name does not match", "unseenish: 1 2 3\nunseen: 7\n", 1},
        {"only the first line counts", "unseen: 1\nunseen: 2 3\n 4 5\n", 1},
        {"nothing after the colon", "unseen:   \n", 0},
        {"no line for the sequence", "cur: 1\n", 0},
        {"garbage tokens", "unseen: 1-3x -5--2 +1-+3 1- -3 a 2\n", 1},
        {"carriage returns are white space", "unseen: 1 2\r\n", 2},
        {"ranges beyond int32 are clamped", "unseen: 1-4294967296\n", largest},
        {"sums beyond int32 are clamped", "unseen: 1-2147483647 5 1-99999999999999999999\n",
         largest},
        {"binary noise", "\0\xff unseen\n\x01:\n"s, 0},
        {"a very long line is counted up to its limit",
         "unseen:" +
             [] {
                 std::string many;
                 for (int i = 1; i <= 20000; ++i) many += " " + std::to_string(i);
                 return many;
             }() +
             "\n",
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(home / "Mail" / "inbox" / ".mh_sequences", c.sequences);
        auto counts = check();
        ASSERT_TRUE(counts);
        if (c.unseen >= 0)
            EXPECT_EQ(counts->first, c.unseen);
        else
            EXPECT_GT(counts->first, 10000);
        EXPECT_EQ(counts->second, 0);  // new may exceed total
    }
}

TEST_F(MhStore, CountsRegularFilesNamedByDigits) {
    fs::path inbox = home / "Mail" / "inbox";
    for (const char* name : {"1", "23", ",4", "5.bak", "6a", ".mh_sequences"})
        writeFile(inbox / name, "x");
    fs::create_directory(inbox / "45");
    writeFile(home / "elsewhere", "x");
    fs::create_symlink(home / "elsewhere", inbox / "7");
    fs::create_symlink(home / "nowhere", inbox / "8");
    fs::create_symlink(inbox / "45", inbox / "9");
    ASSERT_EQ(::mkfifo((inbox / "10").c_str(), 0600), 0);
    auto counts = check();
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->second, 3);
}

TEST_F(MhStore, FindsProfileRootAndFolder) {
    writeFile(home / "Mail" / "inbox" / "1", "x");
    writeFile(home / "Mail" / "inbox" / ".mh_sequences", "unseen: 1\n");
    writeFile(home / "Mail" / "inbox" / "seqs", "unseen: 1 2\nnotyet: 1 2 3\n");
    fs::create_directories(home / "Mail" / "work" / "sub");
    writeFile(home / "other-profile", "path: " + (home / "Mail").string() + "/ \t\n");
    fs::create_directory(home / "cwd");
    writeFile(home / "cwd" / "profile", "Path : Mail/\n");
    std::string longValue(600, 'x');
    struct Case {
        const char* name;
        std::optional<std::string> mh;
        std::optional<std::string> profile;  // the text of ~/.mh_profile
        std::string folder;
        std::optional<std::pair<int32_t, int32_t>> counts;
    };
    const std::vector<Case> cases = {
        {"MH names an absolute profile", home.path() / "other-profile", {}, "inbox", {{1, 1}}},
        {"MH relative to the working directory", "profile", {}, "inbox", {{1, 1}}},
        {"MH empty means no profile", "", {}, "inbox", {}},
        {"MH names a missing file", home.path() / "none", {}, "inbox", {}},
        {"MH names a directory", home.path().string(), {}, "inbox", {}},
        {"no Path key", {}, "Mh-Sequences: seqs\n", "inbox", {}},
        {"Path names no directory", {}, "Path: Mail/inbox/1\n", "inbox", {}},
        {"a relative folder name begins with a slash", {}, {}, "/inbox/", {{1, 1}}},
        {"a folder inside a folder", {}, {}, "work/sub", {{0, 0}}},
        {"a missing folder", {}, {}, "gone", {}},
        {"the sequences file the profile names",
         {},
         "Path: Mail\nMH-Sequences: seqs\n",
         "inbox",
         {{2, 1}}},
        {"the unseen sequence the profile names, first of several",
         {},
         "Path: Mail\nMH-Sequences: seqs\nUnseen-Sequence: notyet other\n",
         "inbox",
         {{3, 1}}},
        {"the rest of a long line is not a line of its own",
         {},
         "X-Long: " + longValue + "Path: /\nPath: Mail\n",
         "inbox",
         {{1, 1}}},
        {"garbage and NUL bytes before the key",
         {},
         "\x01\xfe\0garbage\n:\n\npath\n  PATH  :  Mail  \n"s,
         "inbox",
         {{1, 1}}},
    };
    fs::path before = fs::current_path();
    ASSERT_EQ(::chdir((home / "cwd").c_str()), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch::Environment mh("MH", c.mh);
        writeFile(home / ".mh_profile", c.profile.value_or("Path: Mail\n"));
        EXPECT_EQ(check(c.folder), c.counts);
    }
    fs::current_path(before);
}

TEST(MhPaths, AbsolutePathFromNameAndBase) {
    scratch::Environment home("HOME", "/home/u/ \n");
    std::string cwd = fs::current_path();
    struct Case {
        std::string name;
        PathBase base;
        std::optional<std::string> path;
    };
    const std::vector<Case> cases = {
        {"", PathBase::homeDirectory, {}},
        {"/abs/", PathBase::homeDirectory, "/abs"},
        {"/abs dir ", PathBase::workingDirectory, "/abs dir "},
        {"Mail/ ", PathBase::homeDirectory, "/home/u/Mail"},
        {"Mail", PathBase::workingDirectory, cwd + "/Mail"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(mhAbsolutePath(c.name, c.base), c.path);
    }
    scratch::Environment empty("HOME", "");
    EXPECT_EQ(mhAbsolutePath(".mh_profile", PathBase::homeDirectory), "/.mh_profile");
}

// nmh builds the store: install-mh, inc from an mbox, mark some messages
// seen. The counts agree with what flist says about the folder.
TEST(MhPeers, NmhIncAndMark) {
    const std::string nmh = "/usr/bin/mh";
    if (!scratch::haveProgram(nmh + "/inc")) GTEST_SKIP() << "nmh is not installed";
    scratch::Directory home;
    scratch::Environment homeVariable("HOME", home.path().string());
    scratch::Environment mhVariable("MH", (home / ".mh_profile").string());
    std::string in = "cd " + home.path().string() + " && PATH=" + nmh + ":$PATH ";
    ASSERT_TRUE(scratch::run(in + "install-mh -auto < /dev/null"));
    scratch::appendFile(home / ".mh_profile", "Unseen-Sequence: unseen\n");
    std::string mbox;
    for (int i = 1; i <= 6; ++i)
        mbox += "From a@example.org Mon Jan  1 00:00:00 2024\nFrom: a@example.org\nSubject: m" +
                std::to_string(i) + "\n\nbody\n\n";
    writeFile(home / "incoming", mbox);
    ASSERT_TRUE(scratch::run(in + "inc -file incoming -truncate"));
    ASSERT_TRUE(scratch::run(in + "mark -sequence unseen -delete 2 4-5"));
    auto said = scratch::run(in + "flist -sequence unseen +inbox");
    ASSERT_TRUE(said);
    std::smatch numbers;
    ASSERT_TRUE(std::regex_search(*said, numbers,
                                  std::regex("has (\\d+) in sequence unseen; out of (\\d+)")))
        << *said;
    auto scanned = scratch::run(in + "scan +inbox | wc -l");
    ASSERT_TRUE(scanned);

    Box box;
    box.type = BOX_MH;
    box.path = "inbox";
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(box.newCount, std::stoi(numbers[1]));
    EXPECT_EQ(box.totalCount, std::stoi(numbers[2]));
    EXPECT_EQ(box.totalCount, std::stoi(*scanned));
    EXPECT_EQ(box.newCount, 3);
    EXPECT_EQ(box.totalCount, 6);
    EXPECT_EQ(newestMessage(box).subject, "m6");

    // The highest unseen message that is there, not the highest number.
    writeFile(home / "Mail/inbox/.mh_sequences", "unseen: 1 3 40-50\n");
    ASSERT_EQ(checkBox(box), 1);
    EXPECT_EQ(newestMessage(box).subject, "m3");
}

}  // namespace
