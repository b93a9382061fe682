// What is never sent to the wrong peer: no password over a failed
// handshake, to a server whose certificate changed, after STARTTLS was
// stripped, or by LOGIN where LOGINDISABLED forbids it.

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "monitor/accounts/accountstesting.h"
#include "monitor/checks/check.h"
#include "monitor/checks/imapcheck.h"
#include "monitor/checks/pop3check.h"
#include "monitor/net/imapclient.h"
#include "monitor/net/pop3client.h"
#include "monitor/net/socket.h"
#include "monitor/net/testing.h"
#include "tests/monitor/net/net_environment.h"
#include "tests/monitor/net/script_server.h"
#include "tests/monitor/net/test_certificate.h"

using namespace std::chrono_literals;
using namespace std::string_literals;
#include "tests/monitor/checks/scripted_peers.h"

namespace {

// A TLS server that takes only anonymous cipher suites, so it has no
// certificate to show.
void anonymousTls(Peer& peer) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(ctx, "aNULL:@SECLEVEL=0");
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, peer.socket());
    if (SSL_accept(ssl) == 1) {
        SSL_write(ssl, "* OK anonymous\r\n", 16);
        char ignored[512];
        SSL_read(ssl, ignored, sizeof ignored);
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
}

}  // namespace

namespace {

std::string serversFile() { return std::string(std::getenv("HOME")) + "/.quorvik-servers"; }

// Each test meets its servers for the first time.
class Secrets : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove(serversFile());
        forgetCertificates();
    }
};

}  // namespace

// Once TLS is to be used, a handshake that fails ends the check: the server
// that answers the hello with junk and then speaks plain text, as if the
// client had gone on without TLS, hears no password and feeds no counts.
TEST_F(Secrets, FailedHandshakeEndsTheCheck) {
    const std::string starttls = "* CAPABILITY IMAP4rev1 STARTTLS\r\n@ OK\r\n";
    const std::string fakeCounts = "* STATUS INBOX (MESSAGES 2 UNSEEN 2)\r\n@ OK\r\n";
    struct Case {
        const char* name;
        int32_t type;
        int port;
        std::function<void(Peer&)> script;
        std::string heardFirst;  // what the client says before the handshake
    } cases[] = {
        {"IMAP at once, junk for the hello", BOX_IMAP, 993,
         [&](Peer& peer) {
             ImapCase fake{"", {{"STATUS", fakeCounts}}, 0, 0, 0, ""};
             fake.greeting = "";
             fake.tls = ServerTls{true, nullptr, "* OK this is no TLS\r\n"};
             playImap(peer, fake);
         },
         ""},
        {"IMAP, STARTTLS taken, junk for the hello", BOX_IMAP, 143,
         [&](Peer& peer) {
             ImapCase fake{"", {{"CAPABILITY", starttls}, {"STATUS", fakeCounts}}, 0, 0, 0, ""};
             fake.tls = ServerTls{false, nullptr, "* OK this is no TLS\r\n"};
             playImap(peer, fake);
         },
         "A0001 CAPABILITY\nA0002 STARTTLS\n"},
        {"POP3 at once, junk for the hello", BOX_POP3, 995,
         [&](Peer& peer) {
             Pop3Case fake{"", {"", "+OK\r\n", "+OK\r\n", "+OK 2 0\r\n"}, 0, 0, 0, ""};
             fake.tls = ServerTls{true, nullptr, "+OK this is no TLS\r\n"};
             playPop3(peer, fake);
         },
         ""},
        // The client keeps the library's default cipher suites, which leave
        // out the anonymous ones: no link.
        {"server without a certificate", BOX_IMAP, 993, anonymousTls, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto box = networkBox(c.type, c.port, "alice", "secret");
        ScriptedServer server("127.0.0.1", c.port, c.script);
        ASSERT_TRUE(server.ready());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(checkBox(*box), 0);
        std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(errors.rfind("SSL_connect failed\n", 0), 0u) << errors;
        EXPECT_EQ(box->newCount, 7);
        EXPECT_EQ(box->totalCount, 9);
        // The script has played to its end: the client closed the connection.
        std::string heard = server.heard();
        EXPECT_EQ(heard.rfind(c.heardFirst, 0), 0u) << heard;
        expectNoSecret(heard);
        EXPECT_EQ(heard.find("A0003"), std::string::npos) << heard;
    }
}

namespace {

std::string readServersFile() {
    std::ifstream in(serversFile());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The line the file remembers the server on, from 1; 0 when it does not.
std::size_t lineOf(const std::string& server) {
    std::istringstream lines(readServersFile());
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (line.rfind(server + " ", 0) == 0) return number;
    }
    return 0;
}

void forgetServer(const std::string& server) {
    std::istringstream lines(readServersFile());
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(server + " ", 0) != 0) kept += line + "\n";
    std::ofstream(serversFile(), std::ios::trunc) << kept;
}

struct Checked {
    int result;
    std::string heard, errors;
};

// One check of the box against a server that plays the script, the counts
// set to 7 and 9 before.
Checked checkAgainst(Box& box, const ScriptedServer::Script& script) {
    box.timeStamp = 0;
    box.newCount = 7;
    box.totalCount = 9;
    ScriptedServer server("127.0.0.1", box.port, script);
    EXPECT_TRUE(server.ready());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Checked checked;
    checked.result = checkBox(box);
    checked.errors = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    checked.heard = server.heard();
    return checked;
}

// A dialogue over TLS showing the certificate of `context`, on the box's
// port: at once on 993 and 995, after STARTTLS on 143.
ScriptedServer::Script tlsDialogue(int32_t type, int port, SSL_CTX* context,
                                   std::string capability = "IMAP4rev1 STARTTLS") {
    return [=](Peer& peer) {
        if (type == BOX_POP3) {
            Pop3Case pop3{"", withLast, 1, 2, 5, ""};
            pop3.tls = ServerTls{true, context, ""};
            playPop3(peer, pop3);
            return;
        }
        ImapCase imap{"", {{"CAPABILITY", "* CAPABILITY " + capability + "\r\n@ OK\r\n"}}, 1, 3, 12,
                      ""};
        imap.tls = ServerTls{port != 143, context, ""};
        playImap(peer, imap);
    };
}

}  // namespace

// A certificate that cannot be verified is taken when its server is first
// met and remembered; another one from that server gets nothing until the
// user deletes the server's line, as the warning tells.
TEST_F(Secrets, SwappedCertificateGetsNothing) {
    TestCertificate first = makeCertificate("mail.example.org");
    TestCertificate second = makeCertificate("mail.example.org");
    const struct Case {
        const char* name;
        int32_t type;
        int port;
    } cases[] = {{"IMAP at once", BOX_IMAP, 993},
                 {"IMAP after STARTTLS", BOX_IMAP, 143},
                 {"POP3 at once", BOX_POP3, 995}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        forgetCertificates();
        std::string server = "127.0.0.1:" + std::to_string(c.port);
        auto box = networkBox(c.type, c.port, "alice", "secret");
        int32_t fresh = c.type == BOX_POP3 ? 2 : 3, total = c.type == BOX_POP3 ? 5 : 12;

        Checked met = checkAgainst(*box, tlsDialogue(c.type, c.port, first.server.get()));
        EXPECT_EQ(met.result, 1) << met.errors;
        EXPECT_EQ(met.errors,
                  "quorvik warning : the certificate of the server could not be verified: "
                  "self-signed certificate\n");
        EXPECT_NE(readServersFile().find(server + " pinned " + first.fingerprint + "\n"),
                  std::string::npos)
            << readServersFile();
        std::size_t line = lineOf(server);

        for (int round = 0; round < 2; ++round) {
            Checked swapped = checkAgainst(*box, tlsDialogue(c.type, c.port, second.server.get()));
            EXPECT_EQ(swapped.result, 0);
            EXPECT_EQ(box->newCount, 7);
            EXPECT_EQ(box->totalCount, 9);
            expectNoSecret(swapped.heard);
            // Told once for the new certificate, not at every check.
            EXPECT_EQ(swapped.errors,
                      round > 0 ? ""
                                : "quorvik warning : the certificate of " + server +
                                      " has changed and cannot be verified (self-signed "
                                      "certificate): it was " +
                                      first.fingerprint + ", it is now " + second.fingerprint +
                                      "; the password was not sent. To accept the new "
                                      "certificate, delete line " +
                                      std::to_string(line) + " (" + server + ") of " +
                                      serversFile() + "\n");
        }
        // The first one is still taken.
        EXPECT_EQ(checkAgainst(*box, tlsDialogue(c.type, c.port, first.server.get())).result, 1);

        forgetServer(server);
        Checked accepted = checkAgainst(*box, tlsDialogue(c.type, c.port, second.server.get()));
        EXPECT_EQ(accepted.result, 1) << accepted.errors;
        EXPECT_EQ(box->newCount, fresh);
        EXPECT_EQ(box->totalCount, total);
        EXPECT_NE(readServersFile().find(server + " pinned " + second.fingerprint + "\n"),
                  std::string::npos);
    }
}

// A server once met over TLS that offers no STARTTLS any more is not signed
// in to in plain text: the classic downgrade by an interceptor.
TEST_F(Secrets, StrippedStartTlsGetsNothing) {
    TestCertificate certificate = makeCertificate("mail.example.org");
    auto box = networkBox(BOX_IMAP, 143, "alice", "secret");
    Checked met = checkAgainst(*box, tlsDialogue(BOX_IMAP, 143, certificate.server.get()));
    EXPECT_EQ(met.result, 1) << met.errors;
    std::size_t line = lineOf("127.0.0.1:143");
    EXPECT_NE(line, 0u) << readServersFile();

    ImapCase stripped{"", {}, 0, 7, 9, ""};
    for (int round = 0; round < 2; ++round) {
        Checked plain = checkAgainst(*box, [&](Peer& peer) { playImap(peer, stripped); });
        EXPECT_EQ(plain.result, 0);
        EXPECT_EQ(box->totalCount, 9);
        EXPECT_EQ(plain.heard, "A0001 CAPABILITY\n");
        EXPECT_EQ(plain.errors,
                  round > 0
                      ? ""
                      : "quorvik warning : 127.0.0.1:143 offers no STARTTLS, though it was "
                        "met over TLS before; the password was not sent in plain text. If "
                        "the server no longer offers TLS, delete line " +
                            std::to_string(line) + " (127.0.0.1:143) of " + serversFile() + "\n");
    }
}

// LOGINDISABLED forbids LOGIN on the link it is told on. The list told before
// STARTTLS no longer holds after it, and servers that refuse LOGIN in plain
// text take it over TLS.
TEST_F(Secrets, LoginDisabledGetsNoLogin) {
    TestCertificate certificate = makeCertificate("mail.example.org");
    const std::string disabled = "* CAPABILITY IMAP4rev1 LOGINDISABLED\r\n@ OK\r\n";
    const struct Case {
        const char* name;
        int port;
        ScriptedServer::Script script;
        int result;
    } cases[] = {
        {"plain, no STARTTLS", 143,
         [&](Peer& peer) {
             playImap(peer, ImapCase{"", {{"CAPABILITY", disabled}}, 0, 7, 9, ""});
         },
         0},
        {"TLS at once", 993,
         tlsDialogue(BOX_IMAP, 993, certificate.server.get(), "IMAP4rev1 LOGINDISABLED"), 0},
        {"before STARTTLS", 143,
         tlsDialogue(BOX_IMAP, 143, certificate.server.get(), "IMAP4rev1 STARTTLS LOGINDISABLED"),
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto box = networkBox(BOX_IMAP, c.port, "alice", "secret");
        Checked checked = checkAgainst(*box, c.script);
        EXPECT_EQ(checked.result, c.result) << checked.errors;
        if (c.result == 0) {
            expectNoSecret(checked.heard);
            EXPECT_EQ(box->totalCount, 9);
        } else {
            EXPECT_NE(checked.heard.find("A0003 LOGIN"), std::string::npos) << checked.heard;
        }
    }
}
