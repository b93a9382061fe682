// The account connections: one signed-in connection counts every folder of
// an account on dovecot, with NOTIFY and with IDLE alone, hears each change
// and survives reloads; scripted servers that have neither, refuse, drop,
// flood or say BYE; the credentials it signs in with; and the pace of the
// scheduler's network checks.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "monitor/accounts/account.h"
#include "monitor/accounts/accountstesting.h"
#include "monitor/accounts/credentials.h"
#include "monitor/checks/check.h"
#include "monitor/cycle/cycle.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/headers/headertext.h"
#include "monitor/net/testing.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"
#include "tests/monitor/net/dovecot_fixture.h"
#include "tests/monitor/net/net_environment.h"
#include "tests/monitor/net/script_server.h"
#include "tests/support/monitor_testing.h"
#include "tests/support/scratch.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::atomic<int> workersStarted{0};
bool countWorker(std::shared_ptr<Box>) {
    ++workersStarted;
    return true;
}

class Accounts : public testing::Test {
protected:
    void SetUp() override {
        forgetAllAccountState();
        workersStarted = 0;
        setWorkerStarter(countWorker);
        setAccountTimings({.renewal = 25min, .firstRetry = 100ms, .longestRetry = 400ms});
    }
    void TearDown() override {
        endAccountConnections();
        EXPECT_TRUE(scratch::eventually([] { return accountThreadsRunning() == 0; }));
        setWorkerStarter(nullptr);
        setAccountTimings({});
        setCredentialCommandLimit(0ms);
        setCredentialCommandWarning(0ms);
        forgetAllAccountState();
    }

    // Reads an rc file of these lines and puts its boxes in force, as a
    // reload does, then makes the scheduler's pass.
    BoxList reload(const std::string& rc) {
        fs::path file = directory / "rc";
        scratch::writeFile(file, rc);
        EXPECT_TRUE(readRcFile(optionTable(), file.string(), 1));
        rebuildBoxList();
        schedulerPass(Pass::regular);
        return *boxListSnapshot();
    }

    static bool counted(const BoxList& boxes) {
        return std::all_of(boxes.begin(), boxes.end(),
                           [](const auto& box) { return box->counted.load() == 1; });
    }

    scratch::Directory directory;
};

// ---- dovecot ----

class OnDovecot : public Accounts {
protected:
    void SetUp() override {
        Accounts::SetUp();
        ASSERT_FALSE(dovecotDirectory().empty());
        setenv("SSL_CERT_DIR", (dovecotDirectory() + "/certs").c_str(), 1);
        forgetCertificates();
    }
    void TearDown() override {
        Accounts::TearDown();
        unsetenv("SSL_CERT_DIR");
        forgetCertificates();
    }

    // Runs Python with an imaplib client signed in as alice (c), over TLS.
    bool asAlice(const std::string& host, const std::string& code) {
        fs::path script = directory / "client.py";
        scratch::writeFile(script,
                           "import imaplib, ssl, sys\n"
                           "c = imaplib.IMAP4_SSL('" +
                               host + "', 993, ssl_context=ssl.create_default_context(capath='" +
                               dovecotDirectory() +
                               "/certs'))\n"
                               "c.login('alice', 'secret')\n" +
                               code + "\nc.logout()\n");
        return scratch::run("python3 " + script.string()).has_value();
    }

    // The counts a client of its own reads from the server: MESSAGES, UNSEEN.
    std::map<std::string, std::pair<int32_t, int32_t>> truth(
        const std::string& host, const std::vector<std::string>& folders) {
        fs::path out = directory / "truth";
        std::string code = "out = open('" + out.string() + "', 'w')\n";
        for (const std::string& folder : folders)
            code += "t, d = c.status('" + folder +
                    "', '(MESSAGES UNSEEN)')\n"
                    "w = d[0].decode().split('(')[1].rstrip(')').split()\n"
                    "out.write('" +
                    folder + " ' + w[1] + ' ' + w[3] + '\\n')\n";
        EXPECT_TRUE(asAlice(host, code + "out.close()"));
        std::map<std::string, std::pair<int32_t, int32_t>> counts;
        std::istringstream lines(scratch::readFile(out));
        std::string folder;
        int32_t messages, unseen;
        while (lines >> folder >> messages >> unseen) counts[folder] = {messages, unseen};
        return counts;
    }

    // Folders of their own for a test: F1 with one message seen and one not,
    // F2 with two of each, and so on.
    std::vector<std::string> makeFolders(const std::string& host, const std::string& prefix,
                                         int count) {
        std::vector<std::string> names;
        std::string code = "m = b'From: a@example.org\\r\\nSubject: s\\r\\n\\r\\nbody\\r\\n'\n";
        for (int at = 1; at <= count; ++at) {
            std::string name = prefix + std::to_string(at);
            names.push_back(name);
            code += "c.create('" + name + "')\nfor i in range(" + std::to_string(at) +
                    "):\n  c.append('" + name + "', '(\\\\Seen)', None, m)\n  c.append('" + name +
                    "', '', None, m)\n";
        }
        EXPECT_TRUE(asAlice(host, code));
        return names;
    }

    static std::string rcFor(const std::string& server, const std::vector<std::string>& folders) {
        std::string rc;
        for (const std::string& folder : folders)
            rc += "Mailbox = IMAP " + server + " alice secret " + folder + "\n";
        return rc;
    }

    // How often the log has said `what` once it says it `expected` times:
    // dovecot's log service writes a moment after the event.
    static int said(scratch::Tail& log, const std::string& what, int expected) {
        std::string seen;
        scratch::eventually([&] {
            seen += log.fresh();
            return scratch::occurrences(seen, what) >= expected;
        });
        return scratch::occurrences(seen, what);
    }

    static std::string logOf(const std::string& host) {
        return dovecotDirectory() + (host == "127.0.0.4" ? "/defaults/log" : "/tls/log");
    }

    // Another client appends the message, as a delivery would.
    bool append(const std::string& host, const std::string& folder, const std::string& message) {
        fs::path file = directory / "message";
        scratch::writeFile(file, message);
        return asAlice(host, "c.append('" + folder + "', '', None, open('" + file.string() +
                                 "', 'rb').read())");
    }
};

// What the notify command is told, as the main thread's cycle tells it.
std::mutex toldLock;
std::vector<std::string> told;
void keepTold(const std::vector<std::string>& variables) {
    std::lock_guard guard(toldLock);
    told = variables;
}
std::vector<std::string> takeTold() {
    std::lock_guard guard(toldLock);
    return std::exchange(told, {});
}

struct ServerCase {
    const char* name;
    const char* host;
    bool notify;  // else IDLE alone: the other folders wait for a pass
    friend void PrintTo(const ServerCase& server, std::ostream* out) { *out << server.name; }
};

class EveryChange : public OnDovecot, public testing::WithParamInterface<ServerCase> {};

INSTANTIATE_TEST_SUITE_P(Accounts, EveryChange,
                         testing::Values(ServerCase{"Notify", "localhost", true},
                                         ServerCase{"IdleAlone", "127.0.0.4", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Six folders of one account: one sign-in, one connection, the counts a
// client of its own reads, and every change heard without another sign-in:
// mail appended to the folder in IDLE or, with NOTIFY, to any folder, and a
// message read, at once; with IDLE alone the other folders at the next pass.
TEST_P(EveryChange, OneSignInCountsSixFoldersAndHearsEachChange) {
    const ServerCase& server = GetParam();
    std::string host = server.host;
    std::vector<std::string> folders = makeFolders(host, std::string(server.name) + "F", 5);
    folders.insert(folders.begin(), "INBOX");
    scratch::Tail log(logOf(host));
    BoxList boxes = reload(rcFor(host + ":993", folders));
    ASSERT_EQ(boxes.size(), 6u);
    ASSERT_TRUE(scratch::eventually([&] { return counted(boxes); }));
    auto expectTruth = [&] {
        auto counts = truth(host, folders);
        for (std::size_t at = 0; at < folders.size(); ++at) {
            SCOPED_TRACE(folders[at]);
            EXPECT_EQ(boxes[at]->totalCount, counts[folders[at]].first);
            EXPECT_EQ(boxes[at]->newCount, counts[folders[at]].second);
        }
    };
    expectTruth();
    EXPECT_EQ(said(log, "Login: user=<alice>", 1 + 1), 1 + 1);  // and truth's
    EXPECT_EQ(accountConnectionsServing(), 1);
    EXPECT_EQ(workersStarted, 0);  // the scheduler checked none of them itself

    struct Change {
        const char* name;
        std::size_t box;
        std::string code;
        int32_t total, fresh;  // the change in the box's counts
    } changes[] = {
        {"appended to INBOX", 0, "c.append('INBOX', '', None, b'Subject: x\\r\\n\\r\\nx\\r\\n')", 1,
         1},
        {"appended to another folder", 3,
         "c.append('" + folders[3] + "', '', None, b'Subject: x\\r\\n\\r\\nx\\r\\n')", 1, 1},
        {"a message read", 2, "c.select('" + folders[2] + "')\nc.store('2', '+FLAGS', '\\\\Seen')",
         0, -1},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        Box& box = *boxes[change.box];
        int32_t total = box.totalCount + change.total, fresh = box.newCount + change.fresh;
        ASSERT_TRUE(asAlice(host, change.code));
        // Only the folder in IDLE is told of: the others wait for a pass.
        if (!server.notify && change.box != 0) schedulerPass(Pass::regular);
        EXPECT_TRUE(
            scratch::eventually([&] { return box.totalCount == total && box.newCount == fresh; }));
    }
    expectTruth();
    EXPECT_EQ(said(log, "Login: user=<alice>", 3 + 1), 3 + 1);  // none ours
    EXPECT_EQ(workersStarted, 0);
}

// Mail that lands in a folder of the account is read, sender and subject, on
// the one connection, before its count is stored: the notify command is told
// of that folder, from whoever wrote. Only the folder that got mail is read,
// nothing is marked read, and the connection goes on watching what it
// watched: with NOTIFY every folder, with IDLE alone INBOX (mail that comes
// there after another folder was read shows at once).
TEST_P(EveryChange, TheNewestMessageOfTheFolderThatGotItIsTold) {
    const ServerCase& server = GetParam();
    std::string host = server.host;
    std::vector<std::string> folders = makeFolders(host, std::string(server.name) + "N", 2);
    folders.insert(folders.begin(), "INBOX");
    scratch::Tail log(logOf(host));
    settings::notify.reset("true");
    setNotifyRunner(keepTold);
    BoxList boxes = reload(rcFor(host + ":993", folders));
    ASSERT_TRUE(scratch::eventually([&] { return counted(boxes); }));
    checkCycle(0);  // the first counts are no news
    for (const auto& box : boxes) EXPECT_EQ(newestMessage(*box), MessageSummary{});

    struct Delivery {
        std::size_t box;
        std::string message;
        std::vector<std::string> told;
    } deliveries[] = {
        {2,
         "From: =?UTF-8?Q?Ann_=C3=85berg?= <ann@example.org>\r\nSubject: =?UTF-8?Q?Lunch=3F?=\r\n"
         "\r\nbody\r\n",
         {"QUORVIK_BOX=3", "QUORVIK_FROM=Ann Åberg <ann@example.org>", "QUORVIK_SUBJECT=Lunch?"}},
        {0,
         "From: bob@example.org\r\nSubject: into INBOX\r\n\r\nbody\r\n",
         {"QUORVIK_BOX=1", "QUORVIK_FROM=bob@example.org", "QUORVIK_SUBJECT=into INBOX"}},
        {2,
         "Subject: again\r\nFrom: Carol <carol@example.org>\r\n\r\nbody\r\n",
         {"QUORVIK_BOX=3", "QUORVIK_FROM=Carol <carol@example.org>", "QUORVIK_SUBJECT=again"}},
    };
    for (const Delivery& delivery : deliveries) {
        SCOPED_TRACE(delivery.told.back());
        Box& box = *boxes[delivery.box];
        int32_t fresh = box.newCount + 1;
        ASSERT_TRUE(append(host, folders[delivery.box], delivery.message));
        // Only the folder in IDLE is told of: the others wait for a pass.
        if (!server.notify && delivery.box != 0) schedulerPass(Pass::regular);
        ASSERT_TRUE(scratch::eventually([&] { return box.newCount == fresh; }));
        checkCycle(0);
        std::vector<std::string> variables = takeTold(), named;
        for (const std::string& variable : variables)
            if (variable.starts_with("QUORVIK_BOX=") || variable.starts_with("QUORVIK_FROM=") ||
                variable.starts_with("QUORVIK_SUBJECT="))
                named.push_back(variable);
        EXPECT_EQ(named, delivery.told);
    }
    EXPECT_EQ(newestMessage(*boxes[1]), MessageSummary{});
    auto counts = truth(host, folders);
    for (std::size_t at = 0; at < folders.size(); ++at) {
        SCOPED_TRACE(folders[at]);
        EXPECT_EQ(boxes[at]->newCount, counts[folders[at]].second);  // nothing marked read
    }
    EXPECT_EQ(said(log, "Login: user=<alice>", 1 + 4), 1 + 4);  // ours and the clients'
    setNotifyRunner(nullptr);
}

// The headers a hostile sender writes, delivered to dovecot and read over the
// account connection: each comes out one clean line of text, the count is
// right, and the connection reads the next one.
TEST_F(OnDovecot, HostileHeadersComeOutCleanOverTheConnection) {
    BoxList boxes = reload(rcFor("localhost:993", {"INBOX"}));
    ASSERT_TRUE(scratch::eventually([&] { return counted(boxes); }));
    Box& box = *boxes[0];
    const std::string big(100 * 1024, 'x');
    struct Case {
        const char* name;
        std::string headers;
        MessageSummary newest;
    } cases[] = {
        {"100 KB subject, the sender after it",
         "Subject: " + big + "\r\nFrom: a@example.org\r\n",
         {"a@example.org", std::string(headerTextLimit, 'x')}},
        {"shell words",
         "Subject: $(touch pwned) `id` \"q\" 'q' ; |\r\n",
         {"", "$(touch pwned) `id` \"q\" 'q' ; |"}},
        {"invalid UTF-8",
         "Subject: caf\xe9 \xc3\x28\r\nFrom: \xff <x@example.org>\r\n",
         {"ÿ <x@example.org>", "café Ã("}},
        {"unknown charset", "Subject: =?x-no-such-charset?Q?abc?= d\r\n", {"", "abc d"}},
        {"controls in an encoded word",
         "Subject: =?UTF-8?Q?a=0D=0AX-Evil:_1=1B[31m?=\r\n",
         {"", "a X-Evil: 1[31m"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t fresh = box.newCount + 1;
        ASSERT_TRUE(append("localhost", "INBOX", c.headers + "\r\nbody\r\n"));
        ASSERT_TRUE(scratch::eventually([&] { return box.newCount == fresh; }));
        MessageSummary newest = newestMessage(box);
        EXPECT_EQ(newest.from, c.newest.from);
        EXPECT_EQ(newest.subject, c.newest.subject);
    }
    EXPECT_EQ(accountConnectionsServing(), 1);
}

// A folder that does not exist (NO to STATUS) beside folders that do: they
// are counted, it is said to be missing, on the one connection.
TEST_P(EveryChange, AMissingFolderBesideOthers) {
    std::string host = GetParam().host;
    scratch::Tail log(logOf(host));
    BoxList boxes = reload(rcFor(host + ":993", {"INBOX", "Missing", "Work"}));
    boxes[1]->newCount = 7;
    ASSERT_TRUE(scratch::eventually([&] { return boxes[0]->counted && boxes[2]->counted; }));
    ASSERT_TRUE(scratch::eventually([&] { return boxes[1]->failure == BoxFailure::noSuchFolder; }));
    EXPECT_EQ(boxes[1]->newCount, 7);
    EXPECT_EQ(boxes[0]->failure, BoxFailure::none);
    EXPECT_EQ(boxes[2]->totalCount, truth(host, {"Work"})["Work"].first);
    EXPECT_EQ(said(log, "Login: user=<alice>", 1 + 1), 1 + 1);
}

// A reload that keeps an account's boxes (new Boxes, a folder more) keeps its
// connection; one that drops them ends it with LOGOUT.
TEST_F(OnDovecot, AReloadKeepsTheConnectionOfTheAccountItKeeps) {
    scratch::Tail log(logOf("localhost"));
    BoxList first = reload(rcFor("localhost:993", {"INBOX"}));
    ASSERT_TRUE(scratch::eventually([&] { return counted(first); }));
    BoxList second = reload("DefaultBox = 1\n" + rcFor("localhost:993", {"INBOX", "Work"}));
    ASSERT_NE(second[0], first[0]);
    EXPECT_TRUE(scratch::eventually([&] { return counted(second); }));
    EXPECT_EQ(second[1]->totalCount, truth("localhost", {"Work"})["Work"].first);
    EXPECT_EQ(said(log, "Login: user=<alice>", 1 + 1), 1 + 1);
    reload("Mailbox = IMAP localhost:993 bob pa\"ss\\word\n");
    std::string said;
    EXPECT_TRUE(scratch::eventually([&] {
        said += log.fresh();
        return said.find("imap(alice)") != std::string::npos;
    }));
    EXPECT_NE(said.find("Logged out"), std::string::npos) << said;
}

// Connections held open by another client up to dovecot's limit: the
// refusal is said once, the account waits a minute, the counts are kept;
// once the pause is over and a connection is free, the counts come.
TEST_F(OnDovecot, ARefusalForTooManyConnectionsIsWaitedOut) {
    fs::path release = directory / "release";
    ASSERT_EQ(mkfifo(release.c_str(), 0600), 0);
    fs::path holding = directory / "holding";
    std::string holder =
        "python3 -c \"import imaplib\n"
        "cs = [imaplib.IMAP4('127.0.0.4', 143) for i in range(10)]\n"
        "[c.login('alice', 'secret') for c in cs]\n"
        "open('" +
        holding.string() +
        "', 'w').close()\n"
        "open('" +
        release.string() +
        "').read()\n"
        "[c.logout() for c in cs]\n"
        "import os; os.remove('" +
        holding.string() + "')\" &";
    ASSERT_EQ(std::system(holder.c_str()), 0);
    ASSERT_TRUE(scratch::eventually([&] { return fs::exists(holding); }));
    scratch::FakeClock clock(wallClockNow());
    scratch::Tail log(logOf("127.0.0.4"));
    scratch::StandardError stderrText;
    BoxList boxes = reload("Mailbox = IMAP 127.0.0.4:993 alice secret\n");
    boxes[0]->newCount = 70;
    ASSERT_TRUE(
        scratch::eventually([&] { return boxes[0]->failure == BoxFailure::tooManyConnections; }));
    for (int pass = 0; pass < 3; ++pass) schedulerPass(Pass::regular);
    scratch::writeFile(release, "go\n");
    EXPECT_EQ(said(log, "Maximum number of connections", 1), 1);
    EXPECT_EQ(boxes[0]->newCount, 70);
    ASSERT_TRUE(scratch::eventually([&] { return !fs::exists(holding); }));
    clock.set(scratch::fakeNow + 60);
    ASSERT_TRUE(scratch::eventually([&] {
        schedulerPass(Pass::regular);
        return boxes[0]->counted == 1;
    }));
    const std::string box = "quorvik warning : box \"IMAP 127.0.0.4:993 alice\"";
    EXPECT_TRUE(stderrText.holds(box + " works again\n"));
    EXPECT_EQ(stderrText.text(),
              "quorvik warning : the server of alice@127.0.0.4:993 allows no more connections: "
              "the monitor waits a while before it asks again\n" +
                  box + " fails: the server refuses more connections\n" + box + " works again\n");
}

// dovecot refuses a wrong password after 2 s, as it does unless told
// otherwise: the refusal is taken for one, said, and the password is not
// sent again before its pause is over or the rc file changes; the check
// without a kept connection takes it for one too.
TEST_F(OnDovecot, APasswordRefusedLateIsNotSentAgain) {
    scratch::FakeClock clock(wallClockNow());
    scratch::Tail log(logOf("127.0.0.4"));
    std::optional<scratch::StandardError> stderrText(std::in_place);
    BoxList boxes = reload("Mailbox = IMAP 127.0.0.4:993 alice wrong\n");
    const std::string refused =
        "quorvik warning : the server refused the password for alice@127.0.0.4:993: it is sent "
        "again in 5 minutes, or once the rc file changes\n";
    const std::string failing =
        "quorvik warning : box \"IMAP 127.0.0.4:993 alice\" fails: the sign-in was refused\n";
    ASSERT_TRUE(stderrText->holds(failing));
    for (int pass = 0; pass < 3; ++pass) schedulerPass(Pass::regular);
    clock.set(scratch::fakeNow + 299);
    schedulerPass(Pass::regular);
    EXPECT_EQ(stderrText->text(), refused + failing);
    stderrText.reset();
    EXPECT_EQ(said(log, "auth failed", 1), 1);
    // The rc file changed: tried at once.
    testing::internal::CaptureStderr();
    endCredentialPauses();
    schedulerPass(Pass::regular);
    EXPECT_EQ(said(log, "auth failed", 1), 1);

    // Without Push each check has its connection; the late refusal is one.
    endAccountConnections();
    forgetCredentials();
    Box polled;
    polled.type = BOX_IMAP;
    polled.path = "127.0.0.4";
    polled.port = 993;
    polled.user = "alice";
    polled.password.emplace("wrong");
    polled.folder = "INBOX";
    EXPECT_EQ(checkBox(polled), 0);
    EXPECT_EQ(polled.failure, BoxFailure::signInRefused);
    EXPECT_TRUE(signInHeld(polled));
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(scratch::occurrences(said, "the server refused the password"), 2) << said;
}

// The credential commands of an account run once for all its folders: a
// token for two folders at start-up; a hanging password command said to be
// still running, then stopped, and no sign-in with the empty password; a
// failing one not run again before its pause is over.
TEST_F(OnDovecot, CommandsRunOnceForTheAccount) {
    scratch::FakeClock clock(wallClockNow());
    scratch::Tail log(logOf("localhost"));
    fs::path runs = directory / "runs";
    auto runCount = [&] { return scratch::occurrences(scratch::readFile(runs), "run"); };
    std::string count = "echo run >> '" + runs.string() + "'; ";
    BoxList boxes = reload("TokenCommand = " + count +
                           "echo alice-token\n"
                           "Mailbox = IMAP localhost:993 alice - INBOX\n"
                           "Mailbox = IMAP localhost:993 alice - Work\n");
    ASSERT_TRUE(scratch::eventually([&] { return counted(boxes); }));
    EXPECT_EQ(runCount(), 1);
    EXPECT_EQ(said(log, "Login: user=<alice>", 1), 1);
    endAccountConnections();
    resetSettings();

    setCredentialCommandLimit(2s);
    setCredentialCommandWarning(300ms);
    fs::path gate = directory / "gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    std::optional<scratch::StandardError> stderrText(std::in_place);
    boxes = reload("PasswordCommand = " + count + "cat '" + gate.string() +
                   "'\n"
                   "Mailbox = IMAP localhost:993 carol - INBOX\n"
                   "Mailbox = IMAP localhost:993 carol - inbox\n");
    const std::string failing = "fails: the credential command failed\n";
    ASSERT_TRUE(scratch::eventually(
        [&] { return scratch::occurrences(stderrText->text(), failing) == 2; }));
    EXPECT_TRUE(signInHeld(*boxes[0]));  // within the pause nothing runs
    EXPECT_EQ(stderrText->text(),
              "quorvik warning : the password command for carol@localhost:993 is still running "
              "after 1 second\n"
              "quorvik warning : the password command for carol@localhost:993 was stopped after "
              "2 seconds\n"
              "quorvik warning : box \"IMAP localhost:993 carol INBOX\" fails: the credential "
              "command failed\n"
              "quorvik warning : box \"IMAP localhost:993 carol inbox\" fails: the credential "
              "command failed\n");
    stderrText.reset();
    EXPECT_EQ(runCount(), 2);
    EXPECT_EQ(log.fresh().find("carol"), std::string::npos);  // no sign-in at all
    setCredentialCommandLimit(0ms);  // the person at the prompt takes their time
    clock.set(scratch::fakeNow + settings::checkDelay.load());
    // Opened for the third run only, so that nothing left of the stopped run
    // can take the line.
    std::thread opener([&] {
        if (scratch::eventually([&] { return runCount() == 3; }))
            scratch::writeFile(gate, "empty\n");
    });
    schedulerPass(Pass::regular);
    EXPECT_TRUE(scratch::eventually([&] { return counted(boxes); }));
    opener.join();
    EXPECT_EQ(runCount(), 3);
}

// ---- scripted servers ----

// A scripted IMAP server on 127.0.0.9 (the tests' dovecot holds the others):
// it answers CAPABILITY, LOGIN, STATUS, NOTIFY, EXAMINE, UNSELECT, CLOSE, UID SEARCH
// (the UID 5) and LOGOUT, and hands IDLE and UID FETCH to the script.
struct ImapScript {
    std::string capabilities = "IMAP4rev1 IDLE";
    std::string login = "OK logged in";  // after the tag
    // The counts of a folder's STATUS, none for NO.
    std::function<std::optional<std::pair<int, int>>(const std::string& folder)> status =
        [](const std::string&) {
            return std::pair{3, 1};
        };
    // Said in the answer to STATUS, before its tagged line.
    std::function<std::string()> alsoSaid = [] { return std::string(); };
    // Plays while the client is in IDLE; false ends the connection.
    std::function<bool(Peer&, const std::string& idleTag)> idle;
    // Answers UID FETCH; false ends the connection.
    std::function<bool(Peer&, const std::string& tag)> fetch;
};

void playImap(Peer& peer, const ImapScript& script) {
    peer.say("* OK ready\r\n");
    std::string line;
    while (peer.hear(line, 30s)) {
        std::string tag = line.substr(0, line.find(' '));
        std::string rest = line.substr(std::min(line.size(), tag.size() + 1));
        std::string word = rest.substr(0, rest.find(' '));
        if (word == "CAPABILITY") {
            peer.say("* CAPABILITY " + script.capabilities + "\r\n" + tag + " OK\r\n");
        } else if (word == "LOGIN") {
            peer.say(tag + " " + script.login + "\r\n");
            if (!script.login.starts_with("OK")) return;
        } else if (word == "STATUS") {
            std::string folder = rest.substr(8, rest.find(' ', 8) - 8);
            folder.erase(std::remove(folder.begin(), folder.end(), '"'), folder.end());
            auto counts = script.status(folder);
            if (!counts)
                peer.say(tag + " NO no such folder\r\n");
            else
                peer.say("* STATUS " + folder + " (MESSAGES " + std::to_string(counts->first) +
                         " UNSEEN " + std::to_string(counts->second) + ")\r\n" + script.alsoSaid() +
                         tag + " OK\r\n");
        } else if (word == "EXAMINE" || word == "NOTIFY" || word == "UNSELECT" || word == "CLOSE") {
            peer.say(tag + " OK done\r\n");
        } else if (rest.starts_with("UID SEARCH ")) {
            peer.say("* SEARCH 5\r\n" + tag + " OK\r\n");
        } else if (rest.starts_with("UID FETCH ") && script.fetch) {
            if (!script.fetch(peer, tag)) return;
        } else if (word == "IDLE") {
            peer.say("+ idling\r\n");
            if (!script.idle || !script.idle(peer, tag)) return;
        } else if (word == "DONE") {
        } else if (word == "LOGOUT") {
            peer.say("* BYE\r\n" + tag + " OK\r\n");
            return;
        } else {
            peer.say(tag + " BAD what?\r\n");
        }
    }
}

// Waits in IDLE until DONE, which it answers.
bool idleUntilDone(Peer& peer, const std::string& tag) {
    std::string line;
    if (!peer.hear(line, 60s) || line != "DONE") return false;
    peer.say(tag + " OK idle done\r\n");
    return true;
}

// A server with neither NOTIFY nor IDLE: the folders are asked at each pass
// on the one kept connection.
TEST_F(Accounts, WithoutNotifyOrIdleTheKeptConnectionIsAskedAtEachPass) {
    std::atomic<int> asked{0};
    ImapScript script;
    script.capabilities = "IMAP4rev1";
    script.status = [&](const std::string&) { return std::pair{++asked, 1}; };
    ScriptedServer server("127.0.0.9", 143, [&](Peer& peer) { playImap(peer, script); });
    ASSERT_TRUE(server.ready());
    BoxList boxes = reload(
        "Mailbox = IMAP 127.0.0.9 alice secret INBOX\nMailbox = IMAP 127.0.0.9 alice secret "
        "Work\n");
    ASSERT_TRUE(scratch::eventually([&] { return asked == 2; }));
    for (int pass = 1; pass <= 3; ++pass) {
        schedulerPass(Pass::regular);
        ASSERT_TRUE(scratch::eventually([&] { return asked == 2 + 2 * pass; }));
    }
    EXPECT_TRUE(scratch::eventually([&] { return boxes[1]->totalCount == 8; }));
    endAccountConnections();
    std::string heard = server.heard();  // one client only: one connection
    EXPECT_EQ(scratch::occurrences(heard, "LOGIN"), 1);
    EXPECT_EQ(workersStarted, 0);
}

// Mail that lands in the examined folder while the folders are counted at a
// pass is told in the answer to STATUS (EXISTS, as dovecot tells it at the end
// of any command): it is counted at once, not a pass later.
TEST_F(Accounts, NewsInTheAnswerToACountIsCountedAtOnce) {
    std::atomic<int> asked{0};
    ImapScript script;
    script.status = [&](const std::string&) {
        int count = ++asked;
        return std::pair{count, count};
    };
    script.alsoSaid = [&] { return std::string(asked == 2 ? "* 9 EXISTS\r\n" : ""); };
    script.idle = idleUntilDone;
    ScriptedServer server("127.0.0.9", 143, [&](Peer& peer) { playImap(peer, script); });
    ASSERT_TRUE(server.ready());
    BoxList boxes = reload("Mailbox = IMAP 127.0.0.9 alice secret\n");
    ASSERT_TRUE(scratch::eventually([&] { return boxes[0]->totalCount == 1; }));
    schedulerPass(Pass::regular);
    EXPECT_TRUE(scratch::eventually([&] { return boxes[0]->totalCount == 3; }));
    endAccountConnections();
}

// Servers that fail the connection in the middle: the counts are kept,
// nothing goes but the dialogue, and the connection is made again after a
// pause that starts over once a connection has answered, so that twelve
// drops in a row are twelve quick reconnections (doubling pauses would take
// minutes).
TEST_F(Accounts, DropsAndByesAreReconnectedAfterAPauseThatStartsOver) {
    setAccountTimings({.renewal = 25min, .firstRetry = 50ms, .longestRetry = 1h});
    struct Case {
        const char* name;
        std::function<bool(Peer&, const std::string&)> idle;
    } cases[] = {
        {"BYE in IDLE",
         [](Peer& peer, const std::string&) {
             peer.say("* BYE going down\r\n");
             return false;
         }},
        {"dropped in IDLE", [](Peer&, const std::string&) { return false; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearBoxList();
        schedulerPass();
        std::atomic<int> connections{0};
        ImapScript script;
        script.status = [&](const std::string&) { return std::pair{connections.load(), 0}; };
        script.idle = c.idle;
        ScriptedServer server(
            "127.0.0.9", 143,
            [&](Peer& peer) {
                ++connections;
                playImap(peer, script);
            },
            12);
        ASSERT_TRUE(server.ready());
        BoxList boxes = reload("Mailbox = IMAP 127.0.0.9 alice secret\n");
        EXPECT_TRUE(scratch::eventually([&] { return boxes[0]->totalCount == 12; }));
        endAccountConnections();
        std::string heard = server.heard();
        EXPECT_EQ(scratch::occurrences(heard, "LOGIN \"alice\" \"secret\""), 12);
        EXPECT_EQ(scratch::occurrences(heard, "secret"), 12);
    }
}

// NOTIFY's news: each STATUS line of a flood is taken, the last one stays;
// a line that names one count changes that one; nothing makes a second
// connection.
TEST_F(Accounts, AFloodOfNotifyNewsEndsWithItsLastCounts) {
    ImapScript script;
    script.capabilities = "IMAP4rev1 IDLE NOTIFY";
    script.idle = [](Peer& peer, const std::string& tag) {
        std::string flood;
        for (int i = 0; i < 20000; ++i)
            flood += "* STATUS INBOX (MESSAGES " + std::to_string(i) + " UNSEEN " +
                     std::to_string(i % 7) + " UIDNEXT 9)\r\n";
        flood += "* STATUS \"Other folder\" (MESSAGES 1 UNSEEN 1)\r\n";
        flood += "* STATUS inbox (UNSEEN 4 HIGHESTMODSEQ 2)\r\n";
        peer.say(flood);
        return idleUntilDone(peer, tag);
    };
    ScriptedServer server("127.0.0.9", 143, [&](Peer& peer) { playImap(peer, script); });
    ASSERT_TRUE(server.ready());
    BoxList boxes = reload("Mailbox = IMAP 127.0.0.9 alice secret\n");
    EXPECT_TRUE(scratch::eventually(
        [&] { return boxes[0]->totalCount == 19999 && boxes[0]->newCount == 4; }));
    endAccountConnections();
    EXPECT_EQ(scratch::occurrences(server.heard(), "LOGIN"), 1);
}

// A server that answers the FETCH of a newest message with nonsense, a
// literal past the limit of an answer, or not at all: the rise is stored
// (with no sender known) all the same, and the next one is read, on the
// same connection or, after one that was given up, on the next.
TEST_F(Accounts, AFetchAnsweredWithNonsenseOrNotAtAllHoldsNoCount) {
    setAccountTimings(
        {.renewal = 25min, .firstRetry = 100ms, .longestRetry = 400ms, .newestWait = 200ms});
    const std::string good =
        "* 2 FETCH (UID 5 BODY[HEADER.FIELDS (FROM SUBJECT)] {34}\r\n"
        "From: a@b.example\r\nSubject: s\r\n\r\n)\r\n";
    struct Case {
        const char* name;
        std::string answer;  // to the first FETCH, before its tagged line
        bool answered;       // else nothing more is said
        int signIns;
    } cases[] = {
        {"nonsense", "* 2 FETCH (((\r\n}{ \x01\r\n* 2 FETCH (BODY[HEADER.FIELDS (FROM)] NIL)\r\n",
         true, 1},
        {"a literal that swallows the tagged line", "* 2 FETCH (BODY[HEADER.FIELDS] {3}\r\nab",
         true, 2},
        {"a literal past the limit of an answer",
         "* 2 FETCH (UID 5 BODY[HEADER.FIELDS (FROM SUBJECT)] {4000000}\r\n" +
             std::string(2 << 20, 'x'),
         false, 2},
        {"no answer at all", "", false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearBoxList();
        schedulerPass();
        std::atomic<int> unseen{1}, fetches{0};
        ImapScript script;
        script.status = [&](const std::string&) { return std::pair{9, unseen.load()}; };
        script.idle = idleUntilDone;
        script.fetch = [&](Peer& peer, const std::string& tag) {
            if (++fetches > 1) {
                peer.say(good + tag + " OK\r\n");
                return true;
            }
            peer.say(c.answer + (c.answered ? tag + " BAD\r\n" : ""));
            return c.answered;
        };
        ScriptedServer server(
            "127.0.0.9", 143, [&](Peer& peer) { playImap(peer, script); }, 2);
        ASSERT_TRUE(server.ready());
        BoxList boxes = reload("Mailbox = IMAP 127.0.0.9 alice secret\n");
        ASSERT_TRUE(scratch::eventually([&] { return boxes[0]->newCount == 1; }));
        unseen = 2;
        schedulerPass(Pass::regular);
        ASSERT_TRUE(scratch::eventually([&] { return boxes[0]->newCount == 2; }));
        EXPECT_EQ(newestMessage(*boxes[0]), MessageSummary{});
        unseen = 3;
        ASSERT_TRUE(scratch::eventually([&] {
            schedulerPass(Pass::regular);
            return boxes[0]->newCount == 3;
        }));
        EXPECT_EQ(newestMessage(*boxes[0]).subject, "s");
        endAccountConnections();
        EXPECT_EQ(scratch::occurrences(server.heard(), "LOGIN"), c.signIns);
    }
}

// ---- the pace of the network checks ----

// A check that takes two seconds stamps the box when it ends: the next
// regular pass, one check delay after the last, checks it all the same; a
// pass that comes early (SIGUSR1) leaves it to its delay. Without threads it
// is checked once its delay is over, not a delay later.
TEST_F(Accounts, NetworkBoxesAreCheckedEveryCheckDelay) {
    setWorkerStarter([](std::shared_ptr<Box> box) {
        runBoxCheck(*box);
        return true;
    });
    scratch::FakeClock clock(1000000);
    std::atomic<int> connections{0};
    ScriptedServer server(
        "127.0.0.9", 110,
        [&](Peer& peer) {
            ++connections;
            scratch::fakeNow += 2;  // a slow server
            const char* replies[] = {"+OK hi\r\n",    "+OK\r\n",   "+OK\r\n",
                                     "+OK 3 300\r\n", "+OK 1\r\n", "+OK bye\r\n"};
            peer.say(replies[0]);
            std::string line;
            for (std::size_t at = 1; at < std::size(replies) && peer.hear(line); ++at)
                peer.say(replies[at]);
        },
        4);
    ASSERT_TRUE(server.ready());
    const int64_t delay = settings::checkDelay.load();
    BoxList boxes = reload("Mailbox = POP3 127.0.0.9 alice secret\n");
    EXPECT_EQ(connections, 1);
    clock.set(1000000 + delay / 2);
    schedulerPass(Pass::early);
    EXPECT_EQ(connections, 1);
    clock.set(1000000 + delay);
    schedulerPass(Pass::regular);
    EXPECT_EQ(connections, 2);

    settings::useThreads = 0;
    clock.set(1000000 + 2 * delay + 2);  // the last check ended at + delay + 2
    checkCycle(0);
    EXPECT_EQ(connections, 3);
}

}  // namespace
