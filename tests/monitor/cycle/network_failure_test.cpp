// Network boxes that fail, for each reason, against real peers (the tests'
// dovecot, a server the network cuts off, a password command that fails)
// or scripted ones where no real peer fails so (a TLS handshake answered
// with junk, a greeting not understood): the box fails for that reason, said
// once, keeps its counts, and works again once the fault is mended. Checked
// by POP3, by IMAP on a connection of each check, and by IMAP on the
// account's kept connection, each IMAP account with two folders.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/accounts/accountstesting.h"
#include "monitor/cycle/cycle.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/net/knownservers.h"
#include "monitor/net/testing.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"
#include "tests/monitor/net/cut_off.h"
#include "tests/monitor/net/dovecot_fixture.h"
#include "tests/monitor/net/net_environment.h"
#include "tests/monitor/net/script_server.h"
#include "tests/monitor/net/test_certificate.h"
#include "tests/support/monitor_testing.h"
#include "tests/support/scratch.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

enum class Fault {
    unreachable,
    tlsFailed,
    certificateChanged,
    startTlsStripped,
    signInRefused,
    commandFailed,
    tooManyConnections,
    notUnderstood,
    noSuchFolder,
};

enum class Path {
    pop3,
    imapPolled,  // Push off: a connection of its own for each check
    imapKept,    // the account's kept connection
};

struct FailureCase {
    Fault fault;
    Path path;
    const char* name;
    friend void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }
};

const char* reasonOf(Fault fault) {
    switch (fault) {
    case Fault::unreachable:
        return "the server cannot be reached";
    case Fault::tlsFailed:
        return "TLS failed";
    case Fault::certificateChanged:
    case Fault::startTlsStripped:
        return "the server's identity was refused";
    case Fault::signInRefused:
        return "the sign-in was refused";
    case Fault::commandFailed:
        return "the credential command failed";
    case Fault::tooManyConnections:
        return "the server refuses more connections";
    case Fault::notUnderstood:
        return "the server's answer was not understood";
    case Fault::noSuchFolder:
        return "the folder does not exist";
    }
    return "";
}

// The boxes of a case, and what is said of them besides their own lines.
struct BrokenBoxes {
    std::string server;  // host and port as the boxes name them
    std::string password = "secret";
    std::string rcLines;  // before the boxes
    std::vector<std::string> folders = {"INBOX", "Work"};
    std::string failingFolder;  // the one folder that fails; all when empty
    std::string alsoSaid;       // a message the program already gave for it
    bool scripted = false;
};

// What a scripted server answers once mended: every folder has 3 messages,
// 1 of them new, and so has the POP3 box (LAST 2).
void playImap(Peer& peer) {
    peer.say("* OK ready\r\n");
    std::string line;
    while (peer.hear(line, 60s)) {
        std::string tag = line.substr(0, line.find(' '));
        std::string rest = line.substr(std::min(line.size(), tag.size() + 1));
        if (rest == "CAPABILITY") {
            peer.say("* CAPABILITY IMAP4rev1\r\n" + tag + " OK\r\n");
        } else if (rest.starts_with("LOGIN ")) {
            peer.say(tag + " OK logged in\r\n");
        } else if (rest.starts_with("STATUS ")) {
            std::string mailbox = rest.substr(7, rest.find(" (") - 7);
            peer.say("* STATUS " + mailbox + " (MESSAGES 3 UNSEEN 1)\r\n" + tag + " OK\r\n");
        } else if (rest == "LOGOUT") {
            peer.say("* BYE\r\n" + tag + " OK\r\n");
            return;
        } else {
            peer.say(tag + " BAD what?\r\n");
        }
    }
}

void playPop3(Peer& peer) {
    peer.say("+OK ready\r\n");
    std::string line;
    while (peer.hear(line, 30s)) {
        if (line.starts_with("STAT")) {
            peer.say("+OK 3 300\r\n");
        } else if (line.starts_with("LAST")) {
            peer.say("+OK 2\r\n");
        } else if (line.starts_with("TOP")) {
            peer.say("+OK\r\nSubject: s\r\n\r\n.\r\n");
        } else if (line == "quit") {
            peer.say("+OK bye\r\n");
            return;
        } else {
            peer.say("+OK\r\n");
        }
    }
}

bool inPlace(std::shared_ptr<Box> box) {
    runBoxCheck(*box);
    return true;
}

class FailingNetworkBox : public testing::TestWithParam<FailureCase> {
protected:
    void SetUp() override {
        forgetAllAccountState();
        ASSERT_FALSE(dovecotDirectory().empty());
        // A changed certificate is one that cannot be verified.
        if (GetParam().fault != Fault::certificateChanged)
            setenv("SSL_CERT_DIR", (dovecotDirectory() + "/certs").c_str(), 1);
        forgetCertificates();
        // The polled boxes are checked in the scheduler's pass itself; a kept
        // connection tries again at each pass, and only then.
        setWorkerStarter(inPlace);
        setAccountTimings({.renewal = 25min, .firstRetry = 1h, .longestRetry = 1h});
    }
    void TearDown() override {
        endAccountConnections();
        EXPECT_TRUE(scratch::eventually([] { return accountThreadsRunning() == 0; }));
        releaseHolder();
        setWorkerStarter(nullptr);
        setAccountTimings({});
        forgetAllAccountState();
        unsetenv("SSL_CERT_DIR");
        forgetCertificates();
        fs::remove(knownServersPath());
    }

    bool imap() const { return GetParam().path != Path::pop3; }

    // Puts the fault in place; gives the boxes that meet it.
    BrokenBoxes breakIt() {
        BrokenBoxes setup;
        Fault fault = GetParam().fault;
        switch (fault) {
        case Fault::unreachable:
            setup.server = imap() ? "127.0.0.4:993" : "127.0.0.1";
            cut.emplace(imap() ? "127.0.0.4" : "127.0.0.1");
            break;
        case Fault::tlsFailed:
            setup.server = imap() ? "127.0.0.9:993" : "127.0.0.9:995";
            setup.alsoSaid = "SSL_connect failed\n";
            startScripted(imap() ? 993 : 995);
            break;
        case Fault::certificateChanged:
            setup.server = imap() ? "localhost:993" : "localhost:995";
            setup.alsoSaid = "has changed and cannot be verified";
            remember(imap() ? "localhost:993" : "localhost:995");
            break;
        case Fault::startTlsStripped:
            setup.server = "127.0.0.2";  // dovecot without TLS
            setup.alsoSaid = "127.0.0.2:143 offers no STARTTLS, though it was met over TLS before";
            remember("127.0.0.2:143");
            break;
        case Fault::signInRefused:
            // 127.0.0.4 answers a wrong password after dovecot's default delay.
            setup.server = imap() ? "127.0.0.4:993" : "127.0.0.1";
            setup.password = "wrong";
            setup.alsoSaid = "the server refused the password for alice@";
            break;
        case Fault::commandFailed:
            setup.server = imap() ? "127.0.0.4:993" : "127.0.0.1";
            setup.password = "";
            setup.rcLines = "PasswordCommand = cat '" + (directory / "password").string() + "'\n";
            setup.alsoSaid = "the password command for alice@" +
                             (imap() ? "127.0.0.4:993" : std::string("127.0.0.1:110")) +
                             " exited with status 1\n";
            break;
        case Fault::tooManyConnections:
            setup.server = imap() ? "127.0.0.4:993" : "127.0.0.1";
            setup.alsoSaid = "allows no more connections";
            holdConnections();
            break;
        case Fault::notUnderstood:
            setup.server = "127.0.0.9";
            startScripted(imap() ? 143 : 110);
            break;
        case Fault::noSuchFolder:
            // NOTIFY tells of the folders that exist; the one that does not
            // is asked again at each pass.
            setup.server = "localhost:993";
            setup.folders = {"INBOX", "Missing"};
            setup.failingFolder = "Missing";
            break;
        }
        setup.scripted = fault == Fault::tlsFailed || fault == Fault::notUnderstood;
        if (!imap()) setup.folders = {""};
        return setup;
    }

    // Mends the fault. True when the boxes are counted at the next pass;
    // false when that pass may still meet the fault a moment longer.
    bool mend(const BrokenBoxes& setup) {
        switch (GetParam().fault) {
        case Fault::unreachable:
            cut->mend();
            break;
        case Fault::tlsFailed:
        case Fault::notUnderstood:
            mended = true;
            break;
        case Fault::certificateChanged:
        case Fault::startTlsStripped:
            // As the warning asks: the server's line deleted.
            scratch::writeFile(knownServersPath(), "");
            break;
        case Fault::signInRefused:
            // The user corrects the password; the reload tries it at once.
            load(rcOf(setup, "secret"));
            break;
        case Fault::commandFailed:
            scratch::writeFile(directory / "password", "secret\n");
            scratch::fakeNow += settings::checkDelay.load();
            break;
        case Fault::tooManyConnections:
            releaseHolder();
            // The server may count a connection a moment after it ended.
            return false;
        case Fault::noSuchFolder:
            EXPECT_TRUE(scratch::run(
                "python3 -c \"import imaplib, ssl; c = imaplib.IMAP4_SSL('localhost', 993, "
                "ssl_context=ssl.create_default_context(capath='" +
                dovecotDirectory() +
                "/certs')); c.login('alice', 'secret'); "
                "c.create('Missing'); c.logout()\""));
            break;
        }
        return true;
    }

    std::string rcOf(const BrokenBoxes& setup, const std::string& password) const {
        std::string rc = setup.rcLines;
        if (GetParam().path == Path::imapPolled) rc += "Push = off\n";
        for (const std::string& folder : setup.folders) {
            rc +=
                std::string("Mailbox = ") + (imap() ? "IMAP " : "POP3 ") + setup.server + " alice";
            if (!password.empty() || imap()) rc += " " + (password.empty() ? "-" : password);
            rc += folder.empty() ? "\n" : " " + folder + "\n";
        }
        return rc;
    }

    // Reads the rc file as a reload does, then makes the scheduler's pass.
    BoxList load(const std::string& rc) {
        fs::path file = directory / "rc";
        scratch::writeFile(file, rc);
        settings::rcFilePath.reset(file.string());
        EXPECT_EQ(reloadChangedRcFile(), 1);
        schedulerPass(Pass::regular);
        return *boxListSnapshot();
    }

    // The counts of a folder once the box works: total, new.
    static std::pair<int32_t, int32_t> countsOf(const BrokenBoxes& setup,
                                                const std::string& folder) {
        if (setup.scripted) return {3, 1};
        if (folder.empty()) return {5, 5};  // dovecot's POP3 has no LAST
        if (folder == "Missing") return {0, 0};
        return folder == "Work" ? std::pair{4, 3} : std::pair{5, 2};
    }

    void startScripted(int port) {
        bool pop3 = !imap();
        bool tls = GetParam().fault == Fault::tlsFailed;
        server.emplace(
            "127.0.0.9", port,
            [this, pop3, tls](Peer& peer) {
                bool fixed = mended.load();
                if (tls && !fixed) {
                    // An impostor that cannot do TLS answers the hello.
                    peer.hearBytes();
                    peer.say(pop3 ? "+OK this is no TLS\r\n" : "* OK this is no TLS\r\n");
                    return;
                }
                if (tls && !peer.startTls(certificate.server.get())) return;
                if (!fixed) {
                    peer.say("hello there\r\n");
                    return;
                }
                pop3 ? playPop3(peer) : playImap(peer);
            },
            50);
        ASSERT_TRUE(server->ready());
    }

    // A line for the server in the remembered servers, with a fingerprint
    // that is not its certificate's.
    static void remember(const std::string& name) {
        std::string fingerprint = "00";
        for (int at = 1; at < 32; ++at) fingerprint += ":00";
        scratch::writeFile(knownServersPath(), name + " pinned " + fingerprint + "\n");
    }

    // Another client signed in on dovecot's limit of ten connections, until
    // it is released.
    void holdConnections() {
        release = directory / "release";
        holding = directory / "holding";
        ASSERT_EQ(mkfifo(release.c_str(), 0600), 0);
        std::string clients = imap() ? "import imaplib\n"
                                       "cs = [imaplib.IMAP4('127.0.0.4', 143) for i in range(10)]\n"
                                       "[c.login('alice', 'secret') for c in cs]\n"
                                     : "import poplib\n"
                                       "cs = [poplib.POP3('127.0.0.1', 110) for i in range(10)]\n"
                                       "[(c.user('alice'), c.pass_('secret')) for c in cs]\n";
        std::string leave = imap() ? "[c.logout() for c in cs]\n" : "[c.quit() for c in cs]\n";
        fs::path script = directory / "holder.py";
        scratch::writeFile(script, clients + "open('" + holding.string() +
                                       "', 'w').close()\n"
                                       "open('" +
                                       release.string() + "').read()\n" + leave +
                                       "import os; os.remove('" + holding.string() + "')\n");
        ASSERT_EQ(std::system(("python3 " + script.string() + " &").c_str()), 0);
        holder = true;
        ASSERT_TRUE(scratch::eventually([&] { return fs::exists(holding); }));
    }
    void releaseHolder() {
        if (!holder) return;
        holder = false;
        int fd = open(release.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            EXPECT_EQ(write(fd, "go\n", 3), 3);
            close(fd);
        }
        EXPECT_TRUE(scratch::eventually([&] { return !fs::exists(holding); }));
    }

    scratch::Directory directory;
    std::optional<CutOff> cut;
    std::atomic<bool> mended{false};
    TestCertificate certificate = makeCertificate("127.0.0.9");
    std::optional<ScriptedServer> server;
    bool holder = false;
    fs::path release, holding;
};

std::vector<FailureCase> everyCase() {
    struct Named {
        Fault fault;
        const char* name;
        bool pop3;
    } faults[] = {
        {Fault::unreachable, "Unreachable", true},
        {Fault::tlsFailed, "TlsFailed", true},
        {Fault::certificateChanged, "CertificateChanged", true},
        {Fault::startTlsStripped, "StartTlsStripped", false},
        {Fault::signInRefused, "SignInRefused", true},
        {Fault::commandFailed, "CommandFailed", true},
        {Fault::tooManyConnections, "TooManyConnections", true},
        {Fault::notUnderstood, "NotUnderstood", true},
        {Fault::noSuchFolder, "NoSuchFolder", false},
    };
    static std::vector<std::string> names;
    std::vector<FailureCase> cases;
    names.reserve(std::size(faults) * 3);
    for (const Named& fault : faults) {
        for (auto [path, name] : {std::pair{Path::pop3, "Pop3"},
                                  {Path::imapPolled, "ImapPolled"},
                                  {Path::imapKept, "ImapKept"}}) {
            if (path == Path::pop3 && !fault.pop3) continue;
            names.push_back(std::string(fault.name) + name);
            cases.push_back({fault.fault, path, names.back().c_str()});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(NetworkFailures, FailingNetworkBox, testing::ValuesIn(everyCase()),
                         [](const auto& info) { return std::string(info.param.name); });

// The lines about each box, by its label.
std::map<std::string, std::string> boxLines(const std::string& said) {
    const std::string start = "quorvik warning : box \"";
    std::map<std::string, std::string> lines;
    std::istringstream text(said);
    for (std::string line; std::getline(text, line);) {
        if (!line.starts_with(start)) continue;
        std::size_t end = line.find("\" ", start.size());
        lines[line.substr(start.size(), end - start.size())] += line.substr(end + 2) + "\n";
    }
    return lines;
}

}  // namespace

TEST_P(FailingNetworkBox, SaysWhyOnceKeepsItsCountsAndWorksAgain) {
    scratch::FakeClock clock(wallClockNow());
    BrokenBoxes setup = breakIt();
    const std::string reason = reasonOf(GetParam().fault);
    scratch::StandardError said;
    BoxList boxes = load(rcOf(setup, setup.password));
    ASSERT_EQ(boxes.size(), setup.folders.size());
    auto fails = [&](const Box& box) {
        return setup.failingFolder.empty() || box.folder == setup.failingFolder;
    };
    ASSERT_TRUE(scratch::eventually([&] {
        return std::all_of(boxes.begin(), boxes.end(), [&](const auto& box) {
            return (box->failure != BoxFailure::none) == fails(*box);
        });
    })) << said.text();
    for (const auto& box : boxes) {
        if (!fails(*box)) continue;
        EXPECT_STREQ(failureReason(box->failure), reason.c_str()) << box->label;
        box->newCount = 70;
        box->totalCount = 90;
    }
    // Failing again, or held back by a pause, it says nothing more and keeps
    // its counts.
    schedulerPass(Pass::regular);
    for (const auto& box : boxes) {
        if (!fails(*box)) continue;
        EXPECT_NE(box->failure, BoxFailure::none) << box->label;
        EXPECT_EQ(box->newCount, 70) << box->label;
        EXPECT_EQ(box->totalCount, 90) << box->label;
    }

    bool atOnce = mend(setup);
    schedulerPass(Pass::regular);
    auto working = [&] {
        boxes = *boxListSnapshot();
        return std::all_of(boxes.begin(), boxes.end(), [&](const auto& box) {
            auto [total, fresh] = countsOf(setup, box->folder.value_or(""));
            return box->failure == BoxFailure::none && box->totalCount == total &&
                   box->newCount == fresh;
        });
    };
    EXPECT_TRUE(scratch::eventually([&] {
        if (!atOnce) {
            // Past any pause a refusal in the meantime started.
            scratch::fakeNow += 3600;
            schedulerPass(Pass::regular);
        }
        return working();
    })) << said.text();

    for (const auto& box : boxes)
        if (fails(*box)) EXPECT_TRUE(said.holds("box \"" + box->label + "\" works again\n"));
    std::map<std::string, std::string> lines = boxLines(said.text());
    for (const auto& box : boxes) {
        SCOPED_TRACE(box->label);
        EXPECT_EQ(lines[box->label], fails(*box) ? "fails: " + reason + "\nworks again\n" : "");
        lines.erase(box->label);
    }
    EXPECT_TRUE(lines.empty()) << said.text();
    EXPECT_NE(said.text().find(setup.alsoSaid), std::string::npos) << said.text();
}
