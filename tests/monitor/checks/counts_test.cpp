// The POP3 and IMAP checks on a real dovecot: the counts over every port,
// the counts a failure keeps, and boxes checked at once in threads.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/monitor/checks/dovecot_checks.h"

namespace {

class Counts : public DovecotChecks {};

}  // namespace

// POP3 servers without LAST: every message counts as new.
TEST_F(Counts, CountsOverEveryPort) {
    checkAllQuietly({
        {"POP3 127.0.0.1 alice secret", 1, 5, 5},
        {"POP3 localhost:995 alice secret", 1, 5, 5},
        {"HOTMAIL 127.0.0.1 alice secret", 1, 5, 5},
        {"POP3 127.0.0.1 bob pa\"ss\\word", 1, 1, 1},
        {"IMAP localhost:993 alice secret", 1, 2, 5},
        {"IMAP 127.0.0.1 alice secret Work", 1, 3, 4},     // STARTTLS on 143
        {"IMAP 127.0.0.1:220 alice secret", 1, 2, 5},      // STARTTLS on 220
        {"IMAP 127.0.0.2 alice secret Work", 1, 3, 4},     // plain 143
        {"IMAP 127.0.0.2:220 bob pa\"ss\\word", 1, 1, 1},  // plain 220
        {"IMAP localhost:993 bob pa\"ss\\word", 1, 1, 1},
        {"IMAP 127.0.0.2 carol empty", 1, 0, 0},
        {"IMAP [::1]:993 alice secret", 1, 2, 5},
        {"IMAP [::1] alice secret Work", 1, 3, 4},  // STARTTLS on 143
        {"POP3 [::1]:995 bob pa\"ss\\word", 1, 1, 1},
    });
}

TEST_F(Counts, FailuresKeepTheCounts) {
    checkAllQuietly({
        {"POP3 127.0.0.1 alice wrong", 0, 70, 90},
        {"IMAP localhost:993 alice wrong", 0, 70, 90},
        {"IMAP 127.0.0.2 alice secret Missing", 0, 70, 90},
        {"IMAP 127.0.0.2 nobody-here secret", 0, 70, 90},
        {"POP3 127.0.0.1:2110 alice secret", 0, 70, 90},  // nothing listens
        {"IMAP no-such-host.invalid alice secret", 0, 70, 90},
    });
}

// Several boxes checked at once, as the worker threads do.
TEST_F(Counts, BoxesCheckedInThreads) {
    const std::vector<Expected> cases = {
        {"IMAP localhost:993 alice secret", 1, 2, 5},
        {"IMAP 127.0.0.1 alice secret Work", 1, 3, 4},
        {"IMAP 127.0.0.2 bob pa\"ss\\word", 1, 1, 1},
        {"POP3 localhost:995 alice secret", 1, 5, 5},
        {"HOTMAIL 127.0.0.1 bob pa\"ss\\word", 1, 1, 1},
        {"IMAP localhost:993 carol empty", 1, 0, 0},
    };
    std::vector<std::shared_ptr<Box>> boxes;
    for (const Expected& c : cases) boxes.push_back(boxFor(c.definition));
    // What each round gave, judged after the capture so that failures show.
    struct Seen {
        int result;
        int32_t fresh, total;
    };
    std::vector<std::vector<Seen>> rounds;
    Output output = captured([&] {
        // One check of each first, one after another: dovecot builds its
        // indexes (and POP3 moves new mail to cur) at a mailbox's first
        // access, and a STATUS racing with that can see an empty folder.
        for (auto& box : boxes) checkBox(*box);
        for (int round = 0; round < 2; ++round) {
            std::vector<int> results(boxes.size());
            std::vector<std::thread> workers;
            for (std::size_t at = 0; at < boxes.size(); ++at) {
                boxes[at]->timeStamp = 0;
                workers.emplace_back([&, at] { results[at] = checkBox(*boxes[at]); });
            }
            for (std::thread& worker : workers) worker.join();
            std::vector<Seen> seen;
            for (std::size_t at = 0; at < boxes.size(); ++at)
                seen.push_back({results[at], boxes[at]->newCount, boxes[at]->totalCount});
            rounds.push_back(seen);
        }
    });
    for (const auto& seen : rounds) {
        for (std::size_t at = 0; at < boxes.size(); ++at) {
            SCOPED_TRACE(cases[at].definition);
            EXPECT_EQ(seen[at].result, 1) << output.err;
            EXPECT_EQ(seen[at].fresh, cases[at].fresh);
            EXPECT_EQ(seen[at].total, cases[at].total);
        }
    }
    const std::string header = "Server has following certificate(s):";
    EXPECT_NE(output.out.find(header), std::string::npos);
    EXPECT_EQ(output.out.find(header), output.out.rfind(header));
}
