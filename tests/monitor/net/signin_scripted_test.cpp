// The sign-in dialogues with a token or a command's password, line by line,
// against scripted servers: the variants real servers choose between
// (SASL-IR or not, a first response too long for a POP3 line, the error
// challenge of a refused token, passing trouble) and what the client says.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/accounts/accountstesting.h"
#include "monitor/accounts/credentials.h"
#include "monitor/checks/check.h"
#include "monitor/net/testing.h"
#include "tests/monitor/net/net_environment.h"
#include "tests/monitor/net/script_server.h"
#include "tests/support/scratch.h"

using namespace std::chrono_literals;

namespace {

std::string withTag(std::string text, const std::string& tag) {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, tag);
    return text;
}

// Says the greeting, then answers each line heard with the next reply, "@"
// standing for the tag of the last tagged line.
void playInOrder(Peer& peer, const std::vector<std::string>& replies) {
    peer.say(replies[0]);
    std::string line, tag;
    for (std::size_t at = 1; at < replies.size(); ++at) {
        if (!peer.hear(line)) return;
        if (line.starts_with("A0")) tag = line.substr(0, line.find(' '));
        peer.say(withTag(replies[at], tag));
    }
}

std::string response(SaslMechanism mechanism, const std::string& user, int port,
                     const std::string& token) {
    return std::string(
        base64Encode(oauthMessage(mechanism, user, "127.0.0.1", port, token)->view()).view());
}

struct Dialogue {
    const char* name;
    int32_t type;
    std::optional<std::string> password;  // of the box
    std::optional<std::string> tokenCommand, passwordCommand;
    std::vector<std::string> replies;
    int result;
    std::string heard;
    std::string warnings;
};

class SignInDialogue : public testing::Test {
protected:
    void TearDown() override {
        settings::passwordCommand.reset();
        settings::tokenCommand.reset();
        forgetCredentials();
    }

    void play(const Dialogue& d) {
        SCOPED_TRACE(d.name);
        forgetCredentials();
        settings::tokenCommand.reset(d.tokenCommand);
        settings::passwordCommand.reset(d.passwordCommand);
        int port = d.type == BOX_IMAP ? 143 : 110;
        auto box = std::make_shared<Box>();
        box->type = d.type;
        box->path = "127.0.0.1";
        box->port = port;
        box->user = "alice";
        if (d.password) box->password.emplace(*d.password);
        if (d.type == BOX_IMAP) box->folder = "INBOX";
        box->newCount = 7;
        box->totalCount = 9;
        ScriptedServer server("127.0.0.1", port, [&](Peer& peer) { playInOrder(peer, d.replies); });
        ASSERT_TRUE(server.ready());
        testing::internal::CaptureStderr();
        EXPECT_EQ(checkBox(*box), d.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), d.warnings);
        EXPECT_EQ(server.heard(), d.heard);
        EXPECT_EQ(box->totalCount, d.result == 1 ? 12 : 9);
    }
};

const std::string imapCapabilities =
    "* CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN AUTH=OAUTHBEARER "
    "AUTH=XOAUTH2\r\n@ OK\r\n";
const std::string imapStatus = "* STATUS INBOX (MESSAGES 12 UNSEEN 3)\r\n@ OK\r\n";
const std::string imapCounted = "A0003 STATUS \"INBOX\" (MESSAGES UNSEEN)\nA0004 LOGOUT\n";
const std::string pop3Counted = "STAT\nLAST\nTOP 12 0\nquit\n";
// The error challenge of a refused token: {"status":"401","schemes":"bearer"}.
const std::string challenge = "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIn0=";

}  // namespace

TEST_F(SignInDialogue, Imap) {
    const std::string bearer = response(SaslMechanism::oauthBearer, "alice", 143, "tok");
    const std::string xoauth2 = response(SaslMechanism::xoauth2, "alice", 143, "tok");
    const Dialogue dialogues[] = {
        {"OAUTHBEARER with SASL-IR",
         BOX_IMAP,
         std::nullopt,
         "echo tok",
         std::nullopt,
         {"* OK\r\n", imapCapabilities, "@ OK welcome\r\n", imapStatus, "@ OK\r\n"},
         1,
         "A0001 CAPABILITY\nA0002 AUTHENTICATE OAUTHBEARER " + bearer + "\n" + imapCounted,
         ""},
        {"XOAUTH2 without SASL-IR: the response after the server's +",
         BOX_IMAP,
         "-",
         "echo tok",
         "echo pw",
         {"* OK\r\n", "* CAPABILITY IMAP4rev1 AUTH=XOAUTH2\r\n@ OK\r\n", "+ \r\n",
          "@ OK welcome\r\n", imapStatus, "@ OK\r\n"},
         1,
         "A0001 CAPABILITY\nA0002 AUTHENTICATE XOAUTH2\n" + xoauth2 + "\n" +
             "A0003 STATUS \"INBOX\" (MESSAGES UNSEEN)\nA0004 LOGOUT\n",
         ""},
        {"refused token: the error challenge answered with ^A",
         BOX_IMAP,
         std::nullopt,
         "echo tok",
         "echo pw",
         {"* OK\r\n", imapCapabilities, "+ " + challenge + "\r\n",
          "@ NO [AUTHENTICATIONFAILED] Authentication failed.\r\n", "@ OK\r\n"},
         0,
         "A0001 CAPABILITY\nA0002 AUTHENTICATE OAUTHBEARER " + bearer + "\nAQ==\nA0003 LOGOUT\n",
         "quorvik warning : the server refused the token for alice@127.0.0.1:143\n"},
        {"refused XOAUTH2 token: the error challenge answered with an empty line",
         BOX_IMAP,
         std::nullopt,
         "echo tok",
         std::nullopt,
         {"* OK\r\n", "* CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2\r\n@ OK\r\n",
          "+ " + challenge + "\r\n", "@ NO [AUTHENTICATIONFAILED] failed\r\n", "@ OK\r\n"},
         0,
         "A0001 CAPABILITY\nA0002 AUTHENTICATE XOAUTH2 " + xoauth2 + "\n\nA0003 LOGOUT\n",
         "quorvik warning : the server refused the token for alice@127.0.0.1:143\n"},
        {"passing trouble is no refusal",
         BOX_IMAP,
         std::nullopt,
         "echo tok",
         std::nullopt,
         {"* OK\r\n", imapCapabilities, "@ NO [UNAVAILABLE] Temporary failure\r\n", "@ OK\r\n"},
         0,
         "A0001 CAPABILITY\nA0002 AUTHENTICATE OAUTHBEARER " + bearer + "\nA0003 LOGOUT\n",
         ""},
        {"no OAuth2 on offer: LOGIN with the command's password",
         BOX_IMAP,
         std::nullopt,
         "echo tok",
         "printf '%s\\n' 'p\"w'",
         {"* OK\r\n", "* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n@ OK\r\n", "@ OK\r\n", imapStatus,
          "@ OK\r\n"},
         1,
         "A0001 CAPABILITY\nA0002 LOGIN \"alice\" \"p\\\"w\"\n" + imapCounted,
         ""},
        {"LOGINDISABLED: no password asked for, no LOGIN sent",
         BOX_IMAP,
         std::nullopt,
         "exit 1",
         "echo pw",
         {"* OK\r\n", "* CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=XOAUTH2\r\n@ OK\r\n", "@ OK\r\n"},
         0,
         "A0001 CAPABILITY\nA0002 LOGOUT\n",
         "quorvik warning : the token command for alice@127.0.0.1:143 exited with status 1\n"},
        {"a box with its own password: as always, nothing run",
         BOX_IMAP,
         "secret",
         "echo tok",
         "echo pw",
         {"* OK\r\n", imapCapabilities, "@ OK\r\n", imapStatus, "@ OK\r\n"},
         1,
         "A0001 CAPABILITY\nA0002 LOGIN \"alice\" \"secret\"\n" + imapCounted,
         ""},
    };
    for (const Dialogue& d : dialogues) play(d);
}

TEST_F(SignInDialogue, Pop3) {
    const std::string bearer = response(SaslMechanism::oauthBearer, "alice", 110, "tok");
    const std::string longToken(300, 't');
    const std::string longXoauth2 = response(SaslMechanism::xoauth2, "alice", 110, longToken);
    const std::string capa =
        "+OK\r\nCAPA\r\nUSER\r\nSASL PLAIN OAUTHBEARER XOAUTH2\r\nUIDL\r\n.\r\n";
    const std::vector<std::string> counts = {"+OK 12 3400\r\n", "+OK 9\r\n", "+OK\r\n.\r\n",
                                             "+OK bye\r\n"};
    auto then = [&](std::vector<std::string> replies) {
        replies.insert(replies.end(), counts.begin(), counts.end());
        return replies;
    };
    const Dialogue dialogues[] = {
        {"AUTH with the first response on its line", BOX_POP3, std::nullopt, "echo tok",
         std::nullopt, then({"+OK\r\n", capa, "+OK welcome\r\n"}), 1,
         "CAPA\nAUTH OAUTHBEARER " + bearer + "\n" + pop3Counted, ""},
        {"a first response that would pass 255 bytes goes after the +", BOX_POP3, std::nullopt,
         "printf '%0300d\\n' 0 | tr 0 t", std::nullopt,
         then({"+OK\r\n", "+OK\r\nSASL XOAUTH2\r\n.\r\n", "+ \r\n", "+OK welcome\r\n"}), 1,
         "CAPA\nAUTH XOAUTH2\n" + longXoauth2 + "\n" + pop3Counted, ""},
        {"refused token: the error challenge answered with ^A",
         BOX_POP3,
         std::nullopt,
         "echo tok",
         std::nullopt,
         {"+OK\r\n", capa, "+ " + challenge + "\r\n", "-ERR [AUTH] Authentication failed.\r\n"},
         0,
         "CAPA\nAUTH OAUTHBEARER " + bearer + "\nAQ==\n",
         "quorvik warning : the server refused the token for alice@127.0.0.1:110\n"},
        {"no SASL line: USER and PASS with the command's password", BOX_POP3, std::nullopt,
         "echo tok", "echo pw",
         then({"+OK\r\n", "+OK\r\nUSER\r\nTOP\r\n.\r\n", "+OK\r\n", "+OK\r\n"}), 1,
         "CAPA\nUSER alice\nPASS pw\n" + pop3Counted, ""},
        {"no CAPA at all", BOX_POP3, std::nullopt, "echo tok", "echo pw",
         then({"+OK\r\n", "-ERR what?\r\n", "+OK\r\n", "+OK\r\n"}), 1,
         "CAPA\nUSER alice\nPASS pw\n" + pop3Counted, ""},
        {"no token command: no CAPA asked", BOX_POP3, "-", std::nullopt, "echo pw",
         then({"+OK\r\n", "+OK\r\n", "+OK\r\n"}), 1, "USER alice\nPASS pw\n" + pop3Counted, ""},
        {"refused password",
         BOX_POP3,
         std::nullopt,
         std::nullopt,
         "echo pw",
         {"+OK\r\n", "+OK\r\n", "-ERR [AUTH] no\r\n"},
         0,
         "USER alice\nPASS pw\n",
         "quorvik warning : the server refused the password for alice@127.0.0.1:110\n"},
    };
    for (const Dialogue& d : dialogues) play(d);
}

// Passing trouble of the server keeps the password the command gave; a
// refusal has it asked again.
TEST_F(SignInDialogue, PasswordKeptThroughPassingTrouble) {
    scratch::Directory directory;
    std::string runs = (directory / "runs").string();
    std::string command = "echo run >> '" + runs + "'; echo pw";
    const std::vector<std::string> counted = {"+OK\r\n",         "+OK\r\n",   "+OK\r\n",
                                              "+OK 12 3400\r\n", "+OK 9\r\n", "+OK\r\n.\r\n",
                                              "+OK bye\r\n"};
    const Dialogue first{"temporary failure",
                         BOX_POP3,
                         std::nullopt,
                         std::nullopt,
                         command,
                         {"+OK\r\n", "+OK\r\n", "-ERR [SYS/TEMP] later\r\n"},
                         0,
                         "USER alice\nPASS pw\n",
                         ""};
    const Dialogue refused{"refused",
                           BOX_POP3,
                           std::nullopt,
                           std::nullopt,
                           command,
                           {"+OK\r\n", "+OK\r\n", "-ERR [AUTH] no\r\n"},
                           0,
                           "USER alice\nPASS pw\n",
                           "quorvik warning : the server refused the password for "
                           "alice@127.0.0.1:110\n"};
    const Dialogue counts{"counted",
                          BOX_POP3,
                          std::nullopt,
                          std::nullopt,
                          command,
                          counted,
                          1,
                          "USER alice\nPASS pw\n" + pop3Counted,
                          ""};
    auto runsSoFar = [&] { return scratch::readFile(runs).size() / 4; };
    // play() forgets the kept passwords; these run as one life of the monitor,
    // a check delay apart, so that the one after the refusal is past its pause.
    settings::passwordCommand.reset(command);
    scratch::FakeClock clock(1000000);
    for (const Dialogue* d : {&first, &counts, &refused, &counts}) {
        SCOPED_TRACE(d->name);
        clock.set(scratch::fakeNow + settings::checkDelay.load());
        auto box = std::make_shared<Box>();
        box->type = BOX_POP3;
        box->path = "127.0.0.1";
        box->port = 110;
        box->user = "alice";
        ScriptedServer server("127.0.0.1", 110, [&](Peer& peer) { playInOrder(peer, d->replies); });
        testing::internal::CaptureStderr();
        EXPECT_EQ(checkBox(*box), d->result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), d->warnings);
        EXPECT_EQ(server.heard(), d->heard);
    }
    EXPECT_EQ(runsSoFar(), 2u);  // once at the start, once after the refusal
}
