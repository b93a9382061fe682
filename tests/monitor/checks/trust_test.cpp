// The servers' certificates on a real dovecot: reported once, remembered
// with their fingerprints, and never again taken unverified from a server
// that once verified.

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
#include "tests/support/scratch.h"

namespace {

class Trust : public DovecotChecks {};

}  // namespace

TEST_F(Trust, CertificateReportedOnceWarningOncePerCertificate) {
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

// How many of dovecot's log lines hold the text.
int loginsIn(const std::string& text) {
    return scratch::occurrences(scratch::readFile(dovecotDirectory() + "/tls/log"), text);
}

// Waits until dovecot's log holds `count` lines with the text.
bool logged(const std::string& text, int count) {
    return scratch::eventually([&] { return loginsIn(text) >= count; });
}

}  // namespace

// The servers met are remembered with the fingerprint openssl shows for
// their certificate, in a file only the user can read.
TEST_F(Trust, RemembersTheServersMet) {
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

    std::string servers = scratch::readFile(serversFile());
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
TEST_F(Trust, OnceVerifiedServerGetsNothingUnverified) {
    setenv("SSL_CERT_DIR", (dovecotDirectory() + "/certs").c_str(), 1);
    forgetCertificates();
    Output trusted = checkAllQuietly({{"IMAP localhost:993 carol empty", 1, 0, 0}});
    EXPECT_EQ(trusted.err, "");
    EXPECT_NE(scratch::readFile(serversFile()).find("\nlocalhost:993 verified "),
              std::string::npos);

    unsetenv("SSL_CERT_DIR");
    forgetCertificates();
    int logins = loginsIn("user=<alice>");
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
    int bobs = loginsIn("user=<bob>");
    checkAllQuietly({{"IMAP 127.0.0.1:143 bob pa\"ss\\word", 1, 1, 1}});
    ASSERT_TRUE(logged("user=<bob>", bobs + 1));
    EXPECT_EQ(loginsIn("user=<alice>"), logins);

    std::string servers = scratch::readFile(serversFile());
    std::string kept = servers.substr(0, servers.find("localhost:993 "));
    kept += servers.substr(servers.find('\n', servers.find("localhost:993 ")) + 1);
    std::ofstream(serversFile(), std::ios::trunc) << kept;
    checkAllQuietly({{"IMAP localhost:993 alice secret", 1, 2, 5}});
}
