#include "monitor/cycle/launch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/scratch.h"

namespace {

class Launch : public testing::Test {
protected:
    void SetUp() override {
        // As the monitor does at start-up: finished children leave no zombie.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ignore.sa_flags = SA_NOCLDWAIT;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGCHLD, &ignore, &saved);
        directory =
            std::filesystem::temp_directory_path() / ("quorvik-launch-" + std::to_string(getpid()));
        std::filesystem::create_directories(directory);
    }
    void TearDown() override {
        sigaction(SIGCHLD, &saved, nullptr);
        std::filesystem::remove_all(directory);
    }

    // Waits for a file the launched shell writes.
    static std::string waitForFile(const std::filesystem::path& path) {
        for (int tries = 0; tries < 500; ++tries) {
            std::ifstream in(path);
            std::stringstream text;
            text << in.rdbuf();
            if (!text.str().empty() && text.str().back() == '\n') return text.str();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "";
    }

    struct sigaction saved {};
    std::filesystem::path directory;
};

}  // namespace

TEST_F(Launch, NoCommandStartsNothing) { EXPECT_EQ(launchCommand(std::nullopt, "x"), 1); }

TEST_F(Launch, TheShellGetsCommandBlankAndArgument) {
    auto out = directory / "line";
    // The line is "COMMAND ARGUMENT", split into words by the shell.
    EXPECT_EQ(launchCommand("printf '[%s]' > " + out.string(), "a  b"), 0);
    std::string written;
    for (int tries = 0; tries < 500 && written.empty(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(out);
        std::getline(in, written);
    }
    EXPECT_EQ(written, "[a][b]");
}

TEST_F(Launch, QuotedPathReachesTheCommandAsOneWord) {
    auto out = directory / "args";
    std::string path = "/tmp/my mail/it's $HOME `rm -rf x`;.rc";
    std::string script = "printf '%s|' \"$@\" > " + out.string() + "; echo >> " + out.string();
    EXPECT_EQ(launchCommand("sh -c " + shellQuote(script) + " editor -f ", shellQuote(path)), 0);
    EXPECT_EQ(waitForFile(out), "-f|" + path + "|\n");
}

TEST_F(Launch, ManyLaunchesLeaveNoZombies) {
    auto ran = directory / "ran";
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(launchCommand("echo >> " + ran.string(), std::nullopt), 0);
    EXPECT_TRUE(scratch::eventually([&] { return scratch::readFile(ran).size() == 50; }));
    // Every first child has gone, and none of them was left a zombie: a zombie
    // stays a child until reaped, so its parent would never be without one.
    EXPECT_TRUE(scratch::eventually([] { return scratch::childrenOf(getpid()) == 0; }));
    EXPECT_EQ(scratch::zombieChildrenOf(getpid()), 0);
}

// The monitor ignores SIGPIPE and SIGCHLD, and its threads block signals;
// an ignored signal stays ignored across exec, so the command must get them
// back as a shell started by hand has them.
TEST_F(Launch, TheCommandGetsDefaultSignalsAndNoneBlocked) {
    struct sigaction ignore {
    }, savedPipe{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &savedPipe);
    sigset_t blocked, savedMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &savedMask);

    auto status = directory / "status";
    auto pipeErrors = directory / "pipe-errors";
    launchCommand("(yes | head -n 1 > /dev/null) 2> " + pipeErrors.string() +
                      "; grep -E '^Sig(Ign|Blk)' /proc/self/status > " + status.string() +
                      ".tmp; mv " + status.string() + ".tmp " + status.string(),
                  std::nullopt);
    sigaction(SIGPIPE, &savedPipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);

    ASSERT_TRUE(scratch::eventually([&] { return std::filesystem::exists(status); }));
    std::istringstream lines(scratch::readFile(status));
    std::map<std::string, unsigned long long> masks;
    for (std::string name, hex; lines >> name >> hex;) masks[name] = std::stoull(hex, nullptr, 16);
    auto bit = [](int signal) { return 1ULL << (signal - 1); };
    EXPECT_EQ(masks["SigIgn:"] & (bit(SIGPIPE) | bit(SIGCHLD)), 0u);
    EXPECT_EQ(masks["SigBlk:"], 0u);
    // A broken pipe ends `yes` quietly, as it does outside the monitor.
    EXPECT_EQ(scratch::readFile(pipeErrors), "");
}

TEST_F(Launch, MissingCommandLetsTheShellComplain) {
    EXPECT_EQ(launchCommand("/no/such/command-quorvik", std::nullopt), 0);
}

// What a command is told goes into its environment only: a hostile subject
// stays a value, and what the monitor inherited under our names is not
// passed on as news.
TEST_F(Launch, VariablesReachTheEnvironmentOnly) {
    auto out = directory / "told";
    auto trap = directory / "ran";
    scratch::Environment stale("QUORVIK_FROM", "stale@example.org");
    const std::string subject =
        "$(touch " + trap.string() + ") `touch " + trap.string() + "` \"quoted\" 'single'";
    std::string line = "{ env | grep ^QUORVIK_ | sort; printf '%s\\n' \"$QUORVIK_SUBJECT\"; } > " +
                       out.string() + ".new && mv " + out.string() + ".new " + out.string();
    EXPECT_EQ(launchCommand(line, std::nullopt, {"QUORVIK_BOX=2", "QUORVIK_SUBJECT=" + subject}),
              0);
    EXPECT_EQ(waitForFile(out),
              "QUORVIK_BOX=2\nQUORVIK_SUBJECT=" + subject + "\n" + subject + "\n");
    EXPECT_FALSE(std::filesystem::exists(trap));
}

TEST(MailVariables, WhatEachBoxTells) {
    auto box = [](int32_t type, std::string path, int32_t fresh, int32_t total) {
        auto made = std::make_shared<Box>();
        made->type = type;
        made->path = std::move(path);
        made->newCount = fresh;
        made->totalCount = total;
        return made;
    };
    BoxList list;
    list.push_back(box(BOX_MBOX, "/home/ann/mbox", 2, 5));
    setNewestMessage(*list[0], {"Bob <bob@example.org>", "Old news"});
    list[0]->risenAt = 1;
    list.push_back(box(BOX_IMAP, "imap.example.org", 1, 7));
    list[1]->port = 993;
    list[1]->user = "ann";
    list[1]->password.emplace("secret");
    list[1]->folder = "INBOX";
    setNewestMessage(*list[1], {"Cy <cy@example.org>", "Lunch?"});
    list[1]->risenAt = 2;
    list.push_back(box(BOX_POP3, "pop.example.org", -3, 4));
    list[2]->port = 110;

    struct Case {
        int32_t position;
        std::vector<std::string> told;
    } cases[] = {
        {1,
         {"QUORVIK_BOX=1", "QUORVIK_TYPE=MBOX", "QUORVIK_PATH=/home/ann/mbox",
          "QUORVIK_USER=", "QUORVIK_FOLDER=", "QUORVIK_NEW=2", "QUORVIK_TOTAL=5",
          "QUORVIK_ALL_NEW=3", "QUORVIK_FROM=Bob <bob@example.org>", "QUORVIK_SUBJECT=Old news"}},
        {2,
         {"QUORVIK_BOX=2", "QUORVIK_TYPE=IMAP", "QUORVIK_SERVER=imap.example.org",
          "QUORVIK_PORT=993", "QUORVIK_USER=ann", "QUORVIK_FOLDER=INBOX", "QUORVIK_NEW=1",
          "QUORVIK_TOTAL=7", "QUORVIK_ALL_NEW=3", "QUORVIK_FROM=Cy <cy@example.org>",
          "QUORVIK_SUBJECT=Lunch?"}},
        // A negative count (a POP3 LAST above STAT) is told as none.
        {3,
         {"QUORVIK_BOX=3", "QUORVIK_TYPE=POP3", "QUORVIK_SERVER=pop.example.org",
          "QUORVIK_PORT=110", "QUORVIK_USER=", "QUORVIK_FOLDER=", "QUORVIK_NEW=0",
          "QUORVIK_TOTAL=4", "QUORVIK_ALL_NEW=3"}},
        // All boxes: the sums, and the message of the box whose count rose last.
        {0,
         {"QUORVIK_BOX=0", "QUORVIK_NEW=3", "QUORVIK_TOTAL=16", "QUORVIK_ALL_NEW=3",
          "QUORVIK_FROM=Cy <cy@example.org>", "QUORVIK_SUBJECT=Lunch?"}},
        {9,
         {"QUORVIK_BOX=0", "QUORVIK_NEW=3", "QUORVIK_TOTAL=16", "QUORVIK_ALL_NEW=3",
          "QUORVIK_FROM=Cy <cy@example.org>", "QUORVIK_SUBJECT=Lunch?"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        EXPECT_EQ(mailVariables(list, c.position), c.told);
    }
    EXPECT_EQ(latestRisenBox(list), 2);
    list[1]->newCount = 0;  // read since: the box before it holds the newest new mail
    EXPECT_EQ(latestRisenBox(list), 1);
}
