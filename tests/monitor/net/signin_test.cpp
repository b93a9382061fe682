// Signing in against a real dovecot: a full e-mail address with a long
// password; PasswordCommand and TokenCommand, OAuth2 tokens checked by its
// oauth2 passdb, passwords that are nowhere in the rc file, and commands that
// fail in every way.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/monitor/net/net_environment.h"
#include "tests/monitor/net/signin_fixture.h"

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

class SignIn : public DovecotSignInTest {
protected:
    std::string script(const std::string& name, const std::string& body) {
        fs::path file = directory / name;
        scratch::writeFile(file, "#!/bin/sh\n" + body);
        fs::permissions(file, fs::perms::owner_all);
        return file.string();
    }

    scratch::Tail introspected{dovecotDirectory() + "/introspection.log"};
    scratch::Tail tlsLog{dovecotDirectory() + "/tls/log"};
    scratch::Tail oauthLog{dovecotDirectory() + "/oauth/log"};
};

struct Expected {
    int32_t fresh, total;
    std::string method;  // as dovecot logs the login
};

}  // namespace

// A company address of 40 characters with a password manager's password of
// 64, from the rc file and from -m, over IMAP and POP3.
TEST_F(SignIn, FullAddressWithLongPasswordCounts) {
    const std::string account =
        "firstname.lastname@mail.example-corp.org "
        "Xq7#vL2!pR9&mT4^wZ8*eN3%kB6+hJ1=cF5~dG0-aS7_yU2.oI9@lQ4?rE8;tY3$";
    ASSERT_EQ(account.size(), 40u + 1 + 64);
    const std::string definitions[] = {"IMAP localhost:993 " + account,
                                       "POP3 localhost:995 " + account};
    const Expected expected[] = {{2, 3, "PLAIN"}, {3, 3, "PLAIN"}};

    auto fromRcFile =
        boxesOf("Mailbox = " + definitions[0] + "\nMailbox = " + definitions[1] + "\n");
    clearBoxList();
    std::vector<std::string> words = {"quorvik", "-m", definitions[0], "-m", definitions[1]};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    scanCommandLine(optionTable(), static_cast<int>(words.size()), argv.data());
    rebuildBoxList();
    auto fromCommandLine = boxListSnapshot();

    for (const auto& boxes : {BoxList(fromRcFile.begin(), fromRcFile.end()), *fromCommandLine}) {
        ASSERT_EQ(boxes.size(), 2u);
        for (std::size_t at = 0; at < boxes.size(); ++at) {
            Box& box = *boxes[at];
            SCOPED_TRACE(definitions[at].substr(0, 24));
            expectCountedQuietly(box, expected[at].fresh, expected[at].total);
            const std::string login = "Login: user=<firstname.lastname@mail.example-corp.org>";
            std::string logged = tlsLog.freshWith(login);
            EXPECT_NE(logged.find(login), std::string::npos) << logged;
        }
    }
}

// One token command serves every account through the environment. The
// server of 127.0.0.1 offers OAUTHBEARER and XOAUTH2, that of 127.0.0.3
// XOAUTH2 alone and no passwords at all.
TEST_F(SignIn, TokensOverEveryPortAndBothMechanisms) {
    auto boxes = boxesOf(
        "TokenCommand = printf '%s-token\\n' \"$QUORVIK_USER\"\n"
        "Mailbox = IMAP localhost:993 alice\n"
        "Mailbox = IMAP localhost bob\n"  // STARTTLS on 143
        "Mailbox = IMAP 127.0.0.3 alice - Work\n"
        "Mailbox = IMAP 127.0.0.3:993 carol\n"
        "Mailbox = POP3 localhost:995 alice\n"
        "Mailbox = POP3 127.0.0.3:995 bob\n");
    ASSERT_EQ(boxes.size(), 6u);
    const Expected expected[] = {
        {2, 5, "OAUTHBEARER"}, {1, 1, "OAUTHBEARER"}, {3, 4, "XOAUTH2"},
        {0, 0, "XOAUTH2"},     {5, 5, "OAUTHBEARER"}, {1, 1, "XOAUTH2"},
    };
    for (std::size_t at = 0; at < boxes.size(); ++at) {
        Box& box = *boxes[at];
        SCOPED_TRACE(box.path + ":" + std::to_string(box.port) + " " + *box.user);
        expectCountedQuietly(box, expected[at].fresh, expected[at].total);
        EXPECT_EQ(introspected.fresh(), *box.user + "-token\n");
        const std::string login = "Login: user=<" + *box.user + ">, method=" + expected[at].method;
        std::string logged = (box.path == "127.0.0.3" ? oauthLog : tlsLog).freshWith(login);
        EXPECT_NE(logged.find(login), std::string::npos) << logged;
    }
}

// Tokens expire; the command is run before every sign-in, and a refreshed
// token brings the counts at the next check once the pause after the
// refusal is over. The refusal keeps the counts.
TEST_F(SignIn, TokenRefusedThenRefreshedByTheCommand) {
    // A token helper: the access token in its cache, or a new one made from
    // the refresh token when the cache is empty.
    fs::path cache = directory / "access", refresh = directory / "refresh";
    scratch::writeFile(cache, "alice-expired\n");
    scratch::writeFile(refresh, "alice\n");
    std::string helper = script("token-helper", "access='" + cache.string() +
                                                    "'\n"
                                                    "if [ ! -s \"$access\" ]; then\n"
                                                    "  echo \"$(cat '" +
                                                    refresh.string() +
                                                    "')-token\" > \"$access\"\n"
                                                    "fi\n"
                                                    "cat \"$access\"\n"
                                                    ": > \"$access\"\n");
    auto boxes = boxesOf("TokenCommand = " + helper + "\nMailbox = IMAP localhost:993 alice\n");
    ASSERT_EQ(boxes.size(), 1u);
    scratch::FakeClock clock(wallClockNow());
    int result = 0;
    const std::string box = "quorvik warning : box \"IMAP localhost:993 alice\"";
    EXPECT_EQ(check(*boxes[0], result),
              "quorvik warning : the server refused the token for alice@localhost:993\n" + box +
                  " fails: the sign-in was refused\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(boxes[0]->newCount, 70);
    EXPECT_EQ(boxes[0]->totalCount, 90);
    EXPECT_EQ(introspected.fresh(), "alice-expired\n");

    EXPECT_EQ(check(*boxes[0], result), "");  // within the pause: nothing runs
    EXPECT_EQ(result, 0);
    EXPECT_EQ(introspected.fresh(), "");
    clock.set(scratch::fakeNow + settings::checkDelay.load());
    expectCounted(*boxes[0], 2, 5, box + " works again\n");
    EXPECT_EQ(introspected.fresh(), "alice-token\n");
}

// The passwords are nowhere in the rc file: one command gives each account
// its own, asked once and kept, on IMAP and POP3 alike. A server that offers
// no OAuth2 takes the password although a token command is set.
TEST_F(SignIn, PasswordCommandServesEveryAccountOnImapAndPop3) {
    fs::path runs = directory / "runs";
    std::string passwords = script(
        "passwords", "echo \"$QUORVIK_TYPE $QUORVIK_USER@$QUORVIK_SERVER:$QUORVIK_PORT\" >> '" +
                         runs.string() +
                         "'\n"
                         "case $QUORVIK_USER in\n"
                         "  alice) echo secret ;;\n"
                         "  bob) printf '%s\\n' 'pa\"ss\\word' ;;\n"
                         "  *) exit 1 ;;\n"
                         "esac\n");
    auto boxes = boxesOf("PasswordCommand = " + passwords +
                         "\nTokenCommand = exit 1\n"
                         "Mailbox = IMAP localhost:993 alice\n"
                         "Mailbox = IMAP localhost bob\n"
                         "Mailbox = IMAP 127.0.0.2 alice - Work\n"  // plain, and no OAuth2
                         "Mailbox = POP3 localhost:995 alice\n"
                         "Mailbox = HOTMAIL localhost bob\n");
    ASSERT_EQ(boxes.size(), 5u);
    const Expected expected[] = {
        {2, 5, "PLAIN"}, {1, 1, "PLAIN"}, {3, 4, "PLAIN"}, {5, 5, "PLAIN"}, {1, 1, "PLAIN"},
    };
    for (int round = 0; round < 2; ++round) {
        for (std::size_t at = 0; at < boxes.size(); ++at) {
            Box& box = *boxes[at];
            SCOPED_TRACE(box.path + ":" + std::to_string(box.port) + " " + *box.user);
            expectCountedQuietly(box, expected[at].fresh, expected[at].total);
        }
    }
    // One run for each account, with its own variables.
    EXPECT_EQ(scratch::readFile(runs),
              "IMAP alice@localhost:993\nIMAP bob@localhost:143\nIMAP alice@127.0.0.2:143\n"
              "POP3 alice@localhost:995\nHOTMAIL bob@localhost:1100\n");
    EXPECT_EQ(introspected.fresh(), "");  // no token went to the server
}

// A wrong password is refused and asked for again once the pause after it
// is over; once the command gives the right one, the counts come.
TEST_F(SignIn, RefusedPasswordIsAskedAgain) {
    fs::path answer = directory / "answer";
    scratch::writeFile(answer, "wrong\n");
    auto boxes = boxesOf("PasswordCommand = cat '" + answer.string() +
                         "'\nMailbox = POP3 localhost:995 alice\n");
    ASSERT_EQ(boxes.size(), 1u);
    scratch::FakeClock clock(wallClockNow());
    int result = 0;
    const std::string box = "quorvik warning : box \"POP3 localhost:995 alice\"";
    EXPECT_EQ(check(*boxes[0], result),
              "quorvik warning : the server refused the password for alice@localhost:995\n" + box +
                  " fails: the sign-in was refused\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(boxes[0]->totalCount, 90);
    scratch::writeFile(answer, "secret\n");
    EXPECT_EQ(check(*boxes[0], result), "");
    EXPECT_EQ(result, 0);  // within the pause
    clock.set(scratch::fakeNow + settings::checkDelay.load());
    expectCounted(*boxes[0], 5, 5, box + " works again\n");
}

// Commands that hang, flood, print a CR, exit 1 or are missing: a warning
// that names the account and the fault, once, never the secret; no sign-in
// with the empty password; the counts kept; no process left behind. The
// next check waits out the pause: nothing runs.
TEST_F(SignIn, FailingCommandsWarnOnceAndKeepTheCounts) {
    setCredentialCommandLimit(1s);
    fs::path pid = directory / "pid";
    struct Case {
        std::string command;
        std::string warning;
    } cases[] = {
        {"echo $$ > '" + pid.string() + "'; echo hunter2; exec sleep 600",
         "was stopped after 1 second"},
        {"yes hunter2", "printed more than 4096 bytes"},
        {"printf 'hunter\\r\\n'", "printed a carriage return or a NUL in its first line"},
        {"echo hunter2; exit 1", "exited with status 1"},
        {"quorvik-no-such-helper", "exited with status 127"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        forgetCredentials();
        resetSettings();
        clearBoxList();
        auto boxes = boxesOf("PasswordCommand = " + c.command +
                             "\nMailbox = IMAP localhost:993 alice\n"
                             "Mailbox = POP3 localhost:995 alice\n");
        ASSERT_EQ(boxes.size(), 2u);
        for (int round = 0; round < 2; ++round) {
            for (const auto& box : boxes) {
                int result = 0;
                std::string said = check(*box, result);
                std::string expected =
                    round == 0 ? "quorvik warning : the password command for alice@localhost:" +
                                     std::to_string(box->port) + " " + c.warning +
                                     "\nquorvik warning : box \"" + box->label +
                                     "\" fails: the credential command failed\n"
                               : "";
                // The shell's own word on a missing command comes first.
                if (round == 0 && c.command.starts_with("quorvik-no-such")) {
                    EXPECT_NE(said.find("quorvik-no-such-helper: not found"), std::string::npos);
                    said = said.substr(said.find("quorvik warning") == std::string::npos
                                           ? said.size()
                                           : said.find("quorvik warning"));
                }
                EXPECT_EQ(said, expected);
                EXPECT_EQ(said.find("hunter"), std::string::npos);
                EXPECT_EQ(result, 0);
                EXPECT_EQ(box->newCount, 70);
                EXPECT_EQ(box->totalCount, 90);
            }
        }
    }
    // No sign-in was tried: dovecot logged no failed login.
    EXPECT_EQ(tlsLog.fresh().find("auth failed"), std::string::npos);
    pid_t hung = 0;
    ASSERT_TRUE(std::ifstream(pid) >> hung);
    EXPECT_TRUE(scratch::eventually([&] {
        std::ifstream stat("/proc/" + std::to_string(hung) + "/stat");
        std::string line;
        return !std::getline(stat, line) || line.find(") Z ") != std::string::npos;
    }));
    EXPECT_EQ(scratch::childrenOf(getpid()), 0);
}
