// IMAP IDLE sessions: a delivery to a folder on dovecot is checked the moment
// it lands, and scripted servers show what the sessions do when servers drop
// them, flood them, keep them for long or are dropped by a reload.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "monitor/checks/check.h"
#include "monitor/core/boxes.h"
#include "monitor/core/cycle.h"
#include "monitor/core/idle.h"
#include "monitor/core/options.h"
#include "tests/monitor/net/dovecot_fixture.h"
#include "tests/monitor/net/script_server.h"
#include "tests/support/monitor_testing.h"
#include "tests/support/scratch.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Stands in for the box's check, which takes the push mark as it counts.
std::atomic<int> checks{0};
int countedCheck(Box& box) {
    box.pushed = 0;
    ++checks;
    return 1;
}

class Idle : public testing::Test {
protected:
    void SetUp() override {
        resetSettings();
        clearBoxList();
        checks = 0;
        setIdleTimings({.renewal = 25min, .firstRetry = 100ms, .longestRetry = 400ms});
    }
    void TearDown() override {
        endIdleSessions();
        EXPECT_TRUE(scratch::eventually([] { return idleSessionsIdling() == 0; }));
        setBoxChecker(nullptr);
        setIdleTimings({});
        clearBoxList();
        resetSettings();
    }

    static void follow(const std::string& definition) {
        addDefinition(settings::boxDefinitions, definition);
        rebuildBoxList();
        followIdleBoxes(*boxListSnapshot());
    }
};

// A scripted server's IMAP dialogue up to IDLE; then `afterIdle` plays on.
// Every line heard is recorded by the server. (127.0.0.9: the tests' dovecot
// holds port 143 of 127.0.0.1 and 127.0.0.2.)
struct IdleScript {
    std::string capabilities = "IMAP4rev1 IDLE";
    std::function<void(Peer&, const std::string& idleTag)> afterIdle;
};

void playUntilIdle(Peer& peer, const IdleScript& script) {
    peer.say("* OK ready\r\n");
    std::string line;
    while (peer.hear(line, 30s)) {
        std::string tag = line.substr(0, line.find(' '));
        std::string word = line.substr(std::min(line.size(), tag.size() + 1));
        word = word.substr(0, word.find(' '));
        if (word == "CAPABILITY") {
            peer.say("* CAPABILITY " + script.capabilities + "\r\n" + tag + " OK\r\n");
        } else if (word == "LOGIN") {
            peer.say(tag + " OK logged in\r\n");
        } else if (word == "EXAMINE") {
            peer.say("* 3 EXISTS\r\n* 0 RECENT\r\n" + tag + " OK [READ-ONLY] done\r\n");
        } else if (word == "IDLE") {
            peer.say("+ idling\r\n");
            if (script.afterIdle) script.afterIdle(peer, tag);
            return;
        } else if (word == "LOGOUT") {
            peer.say("* BYE\r\n" + tag + " OK\r\n");
            return;
        } else {
            peer.say(tag + " BAD what?\r\n");
        }
    }
}

}  // namespace

TEST_F(Idle, ADeliveryOnDovecotIsCheckedTheMomentItLands) {
    const std::string& dovecot = dovecotDirectory();
    scratch::Environment trust("SSL_CERT_DIR", dovecot + "/certs");
    // STARTTLS on 143, TLS at once on 993, and a token where the server takes
    // OAuth2 alone: the IDLE connection goes the way the check goes.
    settings::tokenCommand.reset("printf '%s-token\\n' \"$QUORVIK_USER\"");
    for (const char* definition : {"IMAP localhost carol empty", "IMAP localhost:993 carol empty",
                                   "IMAP 127.0.0.3:993 carol"}) {
        SCOPED_TRACE(definition);
        clearBoxList();
        follow(definition);
        auto box = boxAt(1);
        ASSERT_EQ(runBoxCheck(*box), 1);  // as the scheduler's first pass
        int32_t before = box->totalCount;
        ASSERT_TRUE(scratch::eventually([] { return idleSessionsIdling() == 1; }));
        std::string append =
            "python3 -c \"import imaplib, ssl; c = imaplib.IMAP4_SSL('localhost', "
            "993, ssl_context=ssl.create_default_context(capath='" +
            dovecot +
            "/certs')); c.login('carol', 'empty'); c.append('INBOX', '', "
            "None, b'From: a@example.org\\r\\nSubject: s\\r\\n\\r\\nbody\\r\\n'); "
            "c.logout()\"";
        ASSERT_TRUE(scratch::run(append));
        // No scheduler runs: only the IDLE session can have had the box checked.
        EXPECT_TRUE(scratch::eventually([&] { return box->totalCount == before + 1; }));
        endIdleSessions();
        ASSERT_TRUE(scratch::eventually([] { return idleSessionsIdling() == 0; }));
    }
}

// Servers that take the connection and drop it: each try comes no sooner
// than the pause before it, which doubles up to the longest.
TEST_F(Idle, DroppedConnectionsAreTriedAgainLaterAndLater) {
    setBoxChecker(countedCheck);
    std::mutex timesLock;
    std::vector<Clock::time_point> opened, dropped;
    IdleScript script;
    script.afterIdle = [&](Peer&, const std::string&) {
        std::lock_guard hold(timesLock);
        dropped.push_back(Clock::now());
    };
    ScriptedServer server(
        "127.0.0.9", 143,
        [&](Peer& peer) {
            {
                std::lock_guard hold(timesLock);
                opened.push_back(Clock::now());
            }
            playUntilIdle(peer, script);
        },
        5);
    ASSERT_TRUE(server.ready());
    follow("IMAP 127.0.0.9 alice secret");
    // Five connections, each checked as its IDLE began (and told no news).
    ASSERT_TRUE(scratch::eventually([&] {
        std::lock_guard hold(timesLock);
        return dropped.size() == 5 && checks == 5;
    }));
    std::lock_guard hold(timesLock);
    const std::chrono::milliseconds pauses[] = {100ms, 200ms, 400ms, 400ms};
    for (std::size_t i = 0; i + 1 < opened.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(opened[i + 1] - dropped[i], pauses[i]);
    }
}

// A flood of untagged news is one check now and then, not one a line.
TEST_F(Idle, AFloodOfNewsIsFewChecks) {
    setBoxChecker(countedCheck);
    std::atomic<int> lines{0};
    IdleScript script;
    script.afterIdle = [&](Peer& peer, const std::string&) {
        std::string burst;
        for (int i = 0; i < 1000; ++i) burst += "* " + std::to_string(i + 4) + " EXISTS\r\n";
        // On until the client goes: a reload ends its session.
        while (send(peer.socket(), burst.data(), burst.size(), MSG_NOSIGNAL) > 0) lines += 1000;
    };
    ScriptedServer server("127.0.0.9", 143, [&](Peer& peer) { playUntilIdle(peer, script); });
    ASSERT_TRUE(server.ready());
    follow("IMAP 127.0.0.9 alice secret");
    ASSERT_TRUE(scratch::eventually([] { return checks >= 4; }));  // one as IDLE began
    endIdleSessions();
    server.heard();
    EXPECT_GT(lines.load(), 100 * checks.load());
}

// IDLE is ended and started again before a server would end it; a reload
// that drops the box ends its session with DONE and LOGOUT, not a cut.
TEST_F(Idle, RenewedInTimeAndEndedCleanlyByAReload) {
    setIdleTimings({.renewal = 200ms, .firstRetry = 100ms, .longestRetry = 400ms});
    IdleScript script;
    script.afterIdle = [&](Peer& peer, const std::string& tag) {
        std::string line;
        // DONE, then IDLE again, then DONE and LOGOUT at the end.
        for (std::string idleTag = tag; peer.hear(line, 30s);) {
            if (line == "DONE") {
                peer.say(idleTag + " OK IDLE done\r\n");
            } else if (line.find(" IDLE") != std::string::npos) {
                idleTag = line.substr(0, line.find(' '));
                peer.say("+ idling\r\n");
            } else if (line.find(" LOGOUT") != std::string::npos) {
                peer.say("* BYE\r\n" + line.substr(0, line.find(' ')) + " OK\r\n");
                return;
            }
        }
    };
    ScriptedServer server("127.0.0.9", 143, [&](Peer& peer) { playUntilIdle(peer, script); });
    ASSERT_TRUE(server.ready());
    follow("IMAP 127.0.0.9 alice secret");
    ASSERT_TRUE(scratch::eventually([] { return idleSessionsIdling() == 1; }));
    // Renewed twice at least: two more IDLE commands after the first.
    ASSERT_TRUE(scratch::eventually([&] {
        std::string heard = server.heardSoFar();
        std::size_t idles = 0;
        for (std::size_t at = 0; (at = heard.find(" IDLE\n", at)) != std::string::npos; ++at)
            ++idles;
        return idles >= 3;
    }));
    // The reload: a list without the box.
    clearBoxList();
    followIdleBoxes(*boxListSnapshot());
    std::string heard = server.heard();
    EXPECT_NE(heard.find("DONE\nA"), std::string::npos) << heard;
    EXPECT_EQ(heard.substr(heard.rfind('\n', heard.size() - 2) + 1).find("LOGOUT"), 6u) << heard;
}

TEST_F(Idle, AServerWithoutIdleIsOnlyPolled) {
    IdleScript script;
    script.capabilities = "IMAP4rev1";
    ScriptedServer server("127.0.0.9", 143, [&](Peer& peer) { playUntilIdle(peer, script); });
    ASSERT_TRUE(server.ready());
    follow("IMAP 127.0.0.9 alice secret");
    ASSERT_TRUE(scratch::eventually(
        [&] { return server.heardSoFar().find("LOGOUT") != std::string::npos; }));
    std::string heard = server.heard();
    EXPECT_EQ(heard.find("IDLE"), std::string::npos) << heard;
    EXPECT_EQ(heard.find("EXAMINE"), std::string::npos) << heard;
    EXPECT_NE(heard.find("LOGOUT"), std::string::npos) << heard;
}
