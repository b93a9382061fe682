// PasswordCommand and TokenCommand as real shell commands: what a run gives,
// how it ends, what it leaves behind, and how a box's credential is chosen,
// kept and warned about.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "monitor/accounts/accountstesting.h"
#include "monitor/accounts/credentials.h"
#include "monitor/net/testing.h"
#include "tests/support/scratch.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

namespace fs = std::filesystem;

using Status = CommandRun::Status;

// Boxes hold atomics and cannot be copied: the tests hold them by pointer.
using BoxPtr = std::shared_ptr<Box>;

BoxPtr networkBox(int32_t type, std::string server, int port, std::optional<std::string> user,
                  std::optional<std::string> password, std::optional<std::string> folder = {}) {
    auto box = std::make_shared<Box>();
    box->type = type;
    box->path = std::move(server);
    box->port = port;
    box->user = std::move(user);
    if (password) box->password.emplace(*password);
    box->folder = std::move(folder);
    return box;
}

BoxPtr imapBox(std::optional<std::string> password = std::nullopt, std::string user = "alice") {
    return networkBox(BOX_IMAP, "imap.example.org", 993, std::move(user), std::move(password),
                      "INBOX");
}

// Whether the process has ended; one left a zombie under an init that does
// not reap has ended too.
bool processGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

class Commands : public testing::Test {
protected:
    void SetUp() override { forgetCredentials(); }
    void TearDown() override {
        settings::passwordCommand.reset();
        settings::tokenCommand.reset();
        setCredentialCommandLimit(0ms);
        forgetCredentials();
    }
    // A command that notes each of its runs in a file, then does `then`.
    std::string counted(const std::string& name, const std::string& then) {
        return "echo run >> '" + (directory / name).string() + "'; " + then;
    }
    int runs(const std::string& name) {
        std::string text = scratch::readFile(directory / name);
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    scratch::Directory directory;
};

const SaslOffer bothOffered{true, true, true};
const SaslOffer noneOffered{};

}  // namespace

TEST_F(Commands, WhatARunGives) {
    scratch::Environment stale("QUORVIK_USER", "someone-else");
    struct Case {
        std::string command;
        Status status;
        int code;
        std::string secret;
    } cases[] = {
        {"printf 'pw\\n'", Status::secret, 0, "pw"},
        {"printf 'pw'", Status::secret, 0, "pw"},  // no line end
        {"printf ' two words \\nsecond line\\n'", Status::secret, 0, " two words "},
        {"printf 'pw\\n'; exit 1", Status::exited, 1, ""},
        {"exit 3", Status::exited, 3, ""},
        {"quorvik-no-such-command 2>/dev/null", Status::exited, 127, ""},
        {"kill -TERM $$", Status::signalled, SIGTERM, ""},
        {"true", Status::silent, 0, ""},
        {"printf '\\nsecond line\\n'", Status::silent, 0, ""},
        {"cat", Status::silent, 0, ""},  // its input is /dev/null, not the monitor's
        {"printf 'pw\\r\\n'", Status::badText, 0, ""},
        {"printf 'p\\rw\\n'", Status::badText, 0, ""},
        {"printf 'p\\000w\\n'", Status::badText, 0, ""},
        {"printf 'pw\\n\\r\\000'", Status::secret, 0, "pw"},  // only the first line counts
        {"head -c 4095 /dev/zero | tr '\\000' a; echo", Status::secret, 0, std::string(4095, 'a')},
        {"head -c 4097 /dev/zero | tr '\\000' a", Status::flooded, 0, ""},
        {"printf 'pw\\n'; yes", Status::flooded, 0, ""},
        {"echo \"$QUORVIK_TYPE $QUORVIK_SERVER $QUORVIK_PORT $QUORVIK_USER $QUORVIK_FOLDER\"",
         Status::secret, 0, "IMAP imap.example.org 993 alice INBOX"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        CommandRun run = runCredentialCommand(c.command, *imapBox());
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.secret.view(), c.secret);
    }
    // IPv6 addresses go without their brackets, as the resolver takes them.
    BoxPtr six = networkBox(BOX_IMAP, "2001:db8::5", 993, "alice", std::nullopt);
    EXPECT_EQ(runCredentialCommand("echo \"$QUORVIK_SERVER\"", *six).secret.view(), "2001:db8::5");
    // A box without user or folder gives them empty.
    BoxPtr pop3 = networkBox(BOX_HOTMAIL, "pop.example.com", 1100, std::nullopt, std::nullopt);
    EXPECT_EQ(runCredentialCommand("echo \"$QUORVIK_TYPE $QUORVIK_PORT [$QUORVIK_USER]"
                                   "[$QUORVIK_FOLDER]\"",
                                   *pop3)
                  .secret.view(),
              "HOTMAIL 1100 [][]");
}

// At the limit the whole process group goes, the command's own children
// with it; a flood is stopped the same way.
TEST_F(Commands, AHangingOrFloodingCommandIsKilledWithItsGroup) {
    setCredentialCommandLimit(2s);
    std::string pids = (directory / "pids").string();
    CommandRun hung = runCredentialCommand(
        "sleep 600 & echo $! > '" + pids + "'; echo $$ >> '" + pids + "'; wait", *imapBox());
    EXPECT_EQ(hung.status, Status::timedOut);
    std::ifstream hungPids(pids);
    pid_t helper = 0, shell = 0;
    ASSERT_TRUE(hungPids >> helper >> shell) << "the command did not start within its limit";
    EXPECT_TRUE(scratch::eventually([&] { return processGone(helper) && processGone(shell); }));

    setCredentialCommandLimit(0ms);
    std::string floodPid = (directory / "flood").string();
    CommandRun flood =
        runCredentialCommand("sh -c 'echo $$ > " + floodPid + "; exec yes'", *imapBox());
    EXPECT_EQ(flood.status, Status::flooded);
    pid_t yes = 0;
    ASSERT_TRUE(std::ifstream(floodPid) >> yes);
    EXPECT_TRUE(scratch::eventually([&] { return processGone(yes); }));
    EXPECT_EQ(scratch::childrenOf(getpid()), 0);
}

// The monitor ignores SIGCHLD with SA_NOCLDWAIT, which takes exit statuses
// away from waitpid; a test program does not. Both learn the status and
// keep no child.
TEST_F(Commands, StatusAndNoZombieWhetherSigchldIsIgnoredOrNot) {
    for (bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "SIGCHLD ignored" : "SIGCHLD default");
        struct sigaction saved {
        }, set{};
        set.sa_handler = ignored ? SIG_IGN : SIG_DFL;
        set.sa_flags = ignored ? SA_NOCLDWAIT : 0;
        sigemptyset(&set.sa_mask);
        sigaction(SIGCHLD, &set, &saved);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(runCredentialCommand("exit 4", *imapBox()).code, 4);
            EXPECT_EQ(runCredentialCommand("echo pw", *imapBox()).secret.view(), "pw");
        }
        EXPECT_EQ(scratch::childrenOf(getpid()), 0);
        sigaction(SIGCHLD, &saved, nullptr);
    }
}

// Workers of several boxes run their commands at once.
TEST_F(Commands, RunsFromManyThreadsAtOnce) {
    std::vector<std::string> got(8);
    std::vector<std::thread> workers;
    for (std::size_t at = 0; at < got.size(); ++at) {
        workers.emplace_back([&, at] {
            BoxPtr box = imapBox(std::nullopt, "user" + std::to_string(at));
            got[at] = std::string(
                runCredentialCommand("sleep 0.1; echo \"$QUORVIK_USER\"", *box).secret.view());
        });
    }
    for (std::thread& worker : workers) worker.join();
    for (std::size_t at = 0; at < got.size(); ++at) EXPECT_EQ(got[at], "user" + std::to_string(at));
    EXPECT_EQ(scratch::zombieChildrenOf(getpid()), 0);
}

TEST_F(Commands, WhichBoxesTakeTheirCredentialFromTheCommands) {
    struct Case {
        BoxPtr box;
        bool password, token;  // the commands set
        bool takes;
    } cases[] = {
        {imapBox(), true, false, true},
        {imapBox(""), false, true, true},
        {imapBox("-"), true, true, true},  // the editor's word for none
        {imapBox("secret"), true, true, false},
        {imapBox("--"), true, true, false},
        {imapBox(), false, false, false},  // without commands, as always
        {imapBox("-"), false, false, false},
        {networkBox(BOX_POP3, "p", 110, "a", std::nullopt), true, false, true},
        {networkBox(BOX_HOTMAIL, "p", 1100, "a", "-"), false, true, true},
        {networkBox(BOX_MBOX, "/var/mail/a", 0, std::nullopt, std::nullopt), true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.box->password ? boxPassword(*c.box) : "(none)") + " " +
                     std::to_string(c.box->type) + (c.password ? " password" : "") +
                     (c.token ? " token" : ""));
        settings::passwordCommand.reset(c.password ? std::optional<std::string>("echo p")
                                                   : std::nullopt);
        settings::tokenCommand.reset(c.token ? std::optional<std::string>("echo t") : std::nullopt);
        EXPECT_EQ(takesCommandCredential(*c.box), c.takes);
        EXPECT_EQ(mayUseToken(*c.box), c.takes && c.token);
    }
}

TEST_F(Commands, OrderOfUse) {
    struct Case {
        const char* name;
        std::optional<std::string> token, password;
        SaslOffer offer;
        CredentialSource source;
        SaslMechanism mechanism;
        std::string secret;
        std::vector<std::string> warnings;
        std::string server = "imap.example.org";
    } cases[] = {
        {"token when offered",
         "echo tok",
         "echo pw",
         bothOffered,
         CredentialSource::tokenCommand,
         SaslMechanism::oauthBearer,
         "tok",
         {}},
        {"XOAUTH2 when alone",
         "echo tok",
         std::nullopt,
         SaslOffer{false, true, false},
         CredentialSource::tokenCommand,
         SaslMechanism::xoauth2,
         "tok",
         {}},
        {"password when OAuth2 is not offered",
         "echo tok",
         "echo pw",
         noneOffered,
         CredentialSource::passwordCommand,
         SaslMechanism::none,
         "pw",
         {}},
        {"password when the token command is not for the account",
         "exit 1",
         "echo pw",
         bothOffered,
         CredentialSource::passwordCommand,
         SaslMechanism::none,
         "pw",
         {}},
        {"a missing token command is a fault all the same",
         "quorvik-no-such 2>/dev/null",
         "echo pw",
         bothOffered,
         CredentialSource::passwordCommand,
         SaslMechanism::none,
         "pw",
         {"quorvik warning : the token command for alice@imap.example.org:993 exited with "
          "status 127\n"}},
        {"neither gives: no sign-in, and why",
         "exit 1",
         "true",
         bothOffered,
         CredentialSource::failed,
         SaslMechanism::none,
         "",
         {"quorvik warning : the token command for alice@imap.example.org:993 exited with "
          "status 1\n",
          "quorvik warning : the password command for alice@imap.example.org:993 printed "
          "nothing\n"}},
        {"an IPv6 server is named in brackets",
         "exit 1",
         std::nullopt,
         bothOffered,
         CredentialSource::failed,
         SaslMechanism::none,
         "",
         {"quorvik warning : the token command for alice@[2001:db8::5]:993 exited with status 1\n"},
         "2001:db8::5"},
        {"a token command alone, for a server without OAuth2",
         "echo tok",
         std::nullopt,
         noneOffered,
         CredentialSource::none,
         SaslMechanism::none,
         "",
         {"quorvik warning : the server of alice@imap.example.org:993 offers neither "
          "OAUTHBEARER nor XOAUTH2\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        forgetCredentials();
        settings::tokenCommand.reset(c.token);
        settings::passwordCommand.reset(c.password);
        BoxPtr box = imapBox("-");
        box->path = c.server;
        Credential credential = chooseCredential(*box, c.offer);
        EXPECT_EQ(credential.source, c.source);
        EXPECT_EQ(credential.mechanism, c.mechanism);
        EXPECT_EQ(credential.isToken(), c.source == CredentialSource::tokenCommand);
        EXPECT_EQ(credential.secret.view(), c.secret);
        EXPECT_EQ(credential.warnings, c.warnings);
    }
}

TEST_F(Commands, ABoxWithItsOwnPasswordRunsNothing) {
    settings::passwordCommand.reset(counted("password-runs", "echo pw"));
    settings::tokenCommand.reset(counted("token-runs", "echo tok"));
    Credential credential = chooseCredential(*imapBox("secret"), bothOffered);
    EXPECT_EQ(credential.source, CredentialSource::box);
    EXPECT_EQ(credential.secret.view(), "secret");
    testing::internal::CaptureStderr();
    reportSignIn(*imapBox("secret"), credential, SignInVerdict::refused);
    // Said, since the password now waits before it is sent again.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "quorvik warning : the server refused the password for "
              "alice@imap.example.org:993: it is sent again in 5 minutes, or once the rc file "
              "changes\n");
    EXPECT_EQ(runs("password-runs") + runs("token-runs"), 0);

    // Without commands "-" is a password like any other.
    settings::passwordCommand.reset();
    settings::tokenCommand.reset();
    EXPECT_EQ(chooseCredential(*imapBox("-"), bothOffered).secret.view(), "-");
    EXPECT_EQ(chooseCredential(*imapBox(), bothOffered).secret.view(), "");
}

// A password is asked once per account, and again only after a refusal and
// the pause after it; a token before every sign-in.
TEST_F(Commands, PasswordsAreKeptPerAccountTokensNever) {
    scratch::FakeClock clock(1000000);
    settings::passwordCommand.reset(counted("password-runs", "echo \"pw-$QUORVIK_USER\""));
    BoxPtr inbox = imapBox(), work = imapBox();
    work->folder = "Work";
    BoxPtr bob = imapBox(std::nullopt, "bob");
    auto signIn = [&](const BoxPtr& box, SignInVerdict verdict) {
        Credential credential = chooseCredential(*box, noneOffered);
        std::string secret{credential.secret.view()};
        reportSignIn(*box, credential, verdict);
        EXPECT_TRUE(credential.secret.empty());
        return secret;
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(signIn(inbox, SignInVerdict::accepted), "pw-alice");
    EXPECT_EQ(signIn(work, SignInVerdict::accepted), "pw-alice");  // the same account
    EXPECT_EQ(signIn(bob, SignInVerdict::accepted), "pw-bob");
    EXPECT_EQ(runs("password-runs"), 2);
    EXPECT_EQ(signIn(inbox, SignInVerdict::undecided), "pw-alice");
    EXPECT_EQ(runs("password-runs"), 2);
    EXPECT_EQ(signIn(inbox, SignInVerdict::refused), "pw-alice");
    EXPECT_TRUE(signInHeld(*work));
    EXPECT_EQ(signIn(work, SignInVerdict::accepted), "");  // nothing during the pause
    EXPECT_EQ(runs("password-runs"), 2);
    clock.set(1000000 + settings::checkDelay.load());
    EXPECT_FALSE(signInHeld(*work));
    EXPECT_EQ(signIn(work, SignInVerdict::accepted), "pw-alice");
    EXPECT_EQ(runs("password-runs"), 3);
    testing::internal::GetCapturedStderr();

    settings::tokenCommand.reset(counted("token-runs", "echo tok"));
    EXPECT_EQ(signIn(inbox, SignInVerdict::accepted), "pw-alice");  // nothing offered
    EXPECT_EQ(runs("token-runs"), 0);
    for (int i = 0; i < 3; ++i) {
        Credential credential = chooseCredential(*inbox, bothOffered);
        EXPECT_EQ(credential.secret.view(), "tok");
        reportSignIn(*inbox, credential, SignInVerdict::accepted);
    }
    EXPECT_EQ(runs("token-runs"), 3);
}

// One warning for each change of what goes wrong with an account, and never
// the secret in it.
TEST_F(Commands, WarningsOncePerChangeWithoutTheSecret) {
    BoxPtr box = imapBox();
    // Each sign-in comes after the pause of the failure before it.
    scratch::FakeClock clock(1000000);
    int64_t now = 1000000;
    auto signIn = [&](SignInVerdict verdict, const SaslOffer& offer = noneOffered) {
        clock.set(now += 3600);
        testing::internal::CaptureStderr();
        Credential credential = chooseCredential(*box, offer);
        reportSignIn(*box, credential, verdict);
        return testing::internal::GetCapturedStderr();
    };
    const std::string account = "alice@imap.example.org:993";
    settings::passwordCommand.reset("printf 'hunter\\r2\\n'");
    std::string bad = "quorvik warning : the password command for " + account +
                      " printed a carriage return or a NUL in its first line\n";
    EXPECT_EQ(signIn(SignInVerdict::refused), bad);
    EXPECT_EQ(signIn(SignInVerdict::refused), "");

    settings::passwordCommand.reset("echo hunter2");
    std::string refused = "quorvik warning : the server refused the password for " + account + "\n";
    EXPECT_EQ(signIn(SignInVerdict::refused), refused);
    EXPECT_EQ(signIn(SignInVerdict::refused), "");
    EXPECT_EQ(signIn(SignInVerdict::undecided), "");  // a dropped line changes nothing
    EXPECT_EQ(signIn(SignInVerdict::refused), "");
    EXPECT_EQ(signIn(SignInVerdict::accepted), "");
    EXPECT_EQ(signIn(SignInVerdict::refused), refused);  // trouble again after a good sign-in

    settings::tokenCommand.reset("echo hunter3");
    EXPECT_EQ(signIn(SignInVerdict::refused, bothOffered),
              "quorvik warning : the server refused the token for " + account + "\n");
    EXPECT_EQ(signIn(SignInVerdict::refused, bothOffered), "");

    setCredentialCommandLimit(1s);
    settings::tokenCommand.reset();
    settings::tokenCommand.reset("echo hunter4; exec sleep 600");
    EXPECT_EQ(
        signIn(SignInVerdict::accepted, bothOffered),
        "quorvik warning : the token command for " + account + " was stopped after 1 second\n");
    settings::tokenCommand.reset("yes hunter5");
    EXPECT_EQ(
        signIn(SignInVerdict::accepted, bothOffered),
        "quorvik warning : the token command for " + account + " printed more than 4096 bytes\n");
    // A token holds no control character at all: ^A would end its field.
    settings::tokenCommand.reset("printf 'hunter\\0016\\n'");
    EXPECT_EQ(signIn(SignInVerdict::accepted, bothOffered),
              "quorvik warning : the token command for " + account +
                  " printed a control character in its first line\n");
}

// Two sign-ins of one account at once (two folders checked by workers): the
// command runs once and both take what it gave, a token or a failure; the
// failure is told the moment the run ends, before any verdict.
TEST_F(Commands, OneRunAtATimeForAnAccountSharedByItsSignIns) {
    fs::path gate = directory / "gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    setCredentialCommandLimit(2s);
    struct Case {
        const char* name;
        std::string then;  // after the command has started
        std::string secret;
        std::string warnings;
    } cases[] = {
        {"a token", "cat '" + gate.string() + "'", "tok", ""},
        {"a hanging command", "exec sleep 600", "",
         "quorvik warning : the token command for alice@imap.example.org:993 was stopped after "
         "2 seconds\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        forgetCredentials();
        fs::remove(directory / "token-runs");
        settings::tokenCommand.reset(counted("token-runs", c.then));
        BoxPtr inbox = imapBox(), work = imapBox();
        work->folder = "Work";
        std::string got[2];
        testing::internal::CaptureStderr();
        std::thread first([&] { got[0] = chooseCredential(*inbox, bothOffered).secret.view(); });
        ASSERT_TRUE(scratch::eventually([&] { return runs("token-runs") == 1; }));
        std::thread second([&] { got[1] = chooseCredential(*work, bothOffered).secret.view(); });
        ASSERT_TRUE(scratch::eventually([&] { return credentialRunWaiters(*work) == 1; }));
        if (!c.secret.empty()) scratch::writeFile(gate, c.secret + "\n");
        first.join();
        second.join();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warnings);
        EXPECT_EQ(got[0], c.secret);
        EXPECT_EQ(got[1], c.secret);
        EXPECT_EQ(runs("token-runs"), 1);
    }
}
