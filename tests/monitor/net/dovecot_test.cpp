// The POP3 and IMAP clients against a real dovecot, over every port.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "monitor/checks/check.h"
#include "monitor/net/testing.h"
#include "tests/monitor/net/dovecot_fixture.h"

namespace {

std::shared_ptr<Box> boxFor(const std::string& definition) {
    std::shared_ptr<Box> box = parseDefinition(definition);
    EXPECT_NE(box, nullptr) << definition;
    return box;
}

struct Expected {
    const char* definition;
    int result;
    int32_t fresh, total;
};

void checkAll(const std::vector<Expected>& cases) {
    for (const Expected& c : cases) {
        SCOPED_TRACE(c.definition);
        std::shared_ptr<Box> box = boxFor(c.definition);
        if (!box) continue;
        box->newCount = 70;
        box->totalCount = 90;
        EXPECT_EQ(checkBox(*box), c.result);
        EXPECT_EQ(box->newCount, c.fresh);
        EXPECT_EQ(box->totalCount, c.total);
        EXPECT_NE(box->timeStamp, 0);
    }
}

struct Output {
    std::string out, err;
};

// Runs the checks with the standard output and error taken aside.
template <typename Checks>
Output captured(Checks checks) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    checks();
    Output output;
    output.out = testing::internal::GetCapturedStdout();
    output.err = testing::internal::GetCapturedStderr();
    return output;
}

Output checkAllQuietly(const std::vector<Expected>& cases) {
    return captured([&] { checkAll(cases); });
}

class Dovecot : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dovecotDirectory().empty());
        forgetCertificates();
    }
    void TearDown() override {
        unsetenv("SSL_CERT_DIR");
        forgetCertificates();
    }
};

}  // namespace

// POP3 servers without LAST: every message counts as new.
TEST_F(Dovecot, CountsOverEveryPort) {
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
    });
}

TEST_F(Dovecot, FailuresKeepTheCounts) {
    checkAllQuietly({
        {"POP3 127.0.0.1 alice wrong", 0, 70, 90},
        {"IMAP localhost:993 alice wrong", 0, 70, 90},
        {"IMAP 127.0.0.2 alice secret Missing", 0, 70, 90},
        {"IMAP 127.0.0.2 nobody-here secret", 0, 70, 90},
        {"POP3 127.0.0.1:2110 alice secret", 0, 70, 90},  // nothing listens
        {"IMAP no-such-host.invalid alice secret", 0, 70, 90},
    });
}

TEST_F(Dovecot, CertificateReportedOnceWarningOncePerCertificate) {
    Output first = checkAllQuietly({{"IMAP localhost:993 alice secret", 1, 2, 5},
                                    {"POP3 localhost:995 alice secret", 1, 5, 5},
                                    {"IMAP 127.0.0.1 alice secret", 1, 2, 5}});
    const std::string block =
        "Server has following certificate(s):\nSubject: /CN=localhost\nIssuer : /CN=localhost\n"
        "Cipher: ";
    EXPECT_EQ(first.out.rfind(block, 0), 0u) << first.out;
    EXPECT_TRUE(std::regex_match(first.out.substr(block.size()),
                                 std::regex("[A-Z0-9_-]+ with [0-9]+ bits\n")))
        << first.out;
    EXPECT_EQ(lastCertSubject(), "/CN=localhost");
    EXPECT_EQ(first.err,
              "quorvik warning : the certificate of the server could not be verified: "
              "self-signed certificate\n");

    // Trusted, it still has to name the host it was reached by.
    setenv("SSL_CERT_DIR", (dovecotDirectory() + "/certs").c_str(), 1);
    forgetCertificates();
    EXPECT_EQ(checkAllQuietly({{"IMAP localhost:993 alice secret", 1, 2, 5}}).err, "");
    forgetCertificates();
    EXPECT_EQ(checkAllQuietly({{"IMAP 127.0.0.1:993 alice secret", 1, 2, 5}}).err,
              "quorvik warning : the certificate of the server could not be verified: "
              "IP address mismatch\n");
}

// Several boxes checked at once, as the worker threads do.
TEST_F(Dovecot, BoxesCheckedInThreads) {
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
