// The POP3 and IMAP clients against a real dovecot, over every port.

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

std::string serversFile() { return std::string(std::getenv("HOME")) + "/.quorvik-servers"; }

// Each test meets the servers for the first time.
class Dovecot : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dovecotDirectory().empty());
        std::filesystem::remove(serversFile());
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
        {"IMAP [::1]:993 alice secret", 1, 2, 5},
        {"IMAP [::1] alice secret Work", 1, 3, 4},  // STARTTLS on 143
        {"POP3 [::1]:995 bob pa\"ss\\word", 1, 1, 1},
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

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t countIn(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Waits until dovecot's log holds `count` lines with the text.
bool logged(const std::string& text, std::size_t count) {
    const std::string log = dovecotDirectory() + "/tls/log";
    for (int tries = 0; tries < 600; ++tries) {
        if (countIn(readFile(log), text) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace

// The servers met are remembered with the fingerprint openssl shows for
// their certificate, in a file only the user can read.
TEST_F(Dovecot, RemembersTheServersMet) {
    checkAllQuietly({{"IMAP localhost:993 alice secret", 1, 2, 5},
                     {"IMAP [::1] alice secret", 1, 2, 5},
                     {"IMAP 127.0.0.2 alice secret", 1, 2, 5}});
    std::string openssl =
        "openssl x509 -noout -fingerprint -sha256 -in '" + dovecotDirectory() + "/tls.crt'";
    std::FILE* pipe = popen(openssl.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = "";
    ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
    pclose(pipe);
    std::string fingerprint = line;
    fingerprint = fingerprint.substr(fingerprint.find('=') + 1);
    fingerprint.pop_back();

    std::string servers = readFile(serversFile());
    EXPECT_NE(servers.find("\nlocalhost:993 pinned " + fingerprint + "\n"), std::string::npos)
        << servers;
    EXPECT_NE(servers.find("\n[::1]:143 pinned " + fingerprint + "\n"), std::string::npos);
    EXPECT_EQ(servers.find("127.0.0.2"), std::string::npos);  // never met over TLS
    struct stat status {};
    ASSERT_EQ(stat(serversFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

// A server whose certificate once verified is never again taken on a
// certificate that does not: dovecot sees no login until the user deletes
// the server's line.
TEST_F(Dovecot, OnceVerifiedServerGetsNothingUnverified) {
    setenv("SSL_CERT_DIR", (dovecotDirectory() + "/certs").c_str(), 1);
    forgetCertificates();
    Output trusted = checkAllQuietly({{"IMAP localhost:993 carol empty", 1, 0, 0}});
    EXPECT_EQ(trusted.err, "");
    EXPECT_NE(readFile(serversFile()).find("\nlocalhost:993 verified "), std::string::npos);

    unsetenv("SSL_CERT_DIR");
    forgetCertificates();
    std::size_t logins = countIn(readFile(dovecotDirectory() + "/tls/log"), "user=<alice>");
    Output refused = checkAllQuietly({{"IMAP localhost:993 alice secret", 0, 70, 90}});
    EXPECT_EQ(refused.err.rfind("quorvik warning : the certificate of localhost:993 cannot be "
                                "verified (self-signed certificate), though the server's "
                                "certificate was verified before: it was ",
                                0),
              0u)
        << refused.err;
    EXPECT_NE(refused.err.find("; the password was not sent. To accept the new certificate, "
                               "delete line 5 (localhost:993) of " +
                               serversFile() + "\n"),
              std::string::npos)
        << refused.err;
    // A later login, logged after anything the refused check could have
    // caused: alice has not logged in meanwhile.
    std::size_t bobs = countIn(readFile(dovecotDirectory() + "/tls/log"), "user=<bob>");
    checkAllQuietly({{"IMAP 127.0.0.1:143 bob pa\"ss\\word", 1, 1, 1}});
    ASSERT_TRUE(logged("user=<bob>", bobs + 1));
    EXPECT_EQ(countIn(readFile(dovecotDirectory() + "/tls/log"), "user=<alice>"), logins);

    std::string servers = readFile(serversFile());
    std::string kept = servers.substr(0, servers.find("localhost:993 "));
    kept += servers.substr(servers.find('\n', servers.find("localhost:993 ")) + 1);
    std::ofstream(serversFile(), std::ios::trunc) << kept;
    checkAllQuietly({{"IMAP localhost:993 alice secret", 1, 2, 5}});
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
