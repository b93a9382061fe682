// The POP3 and IMAP checks against scripted servers: the dialogues, the
// replies real servers never give (split, slow, broken), and hostile
// servers that are given up on.

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

using Clock = std::chrono::steady_clock;

const std::string statusLine = "* STATUS INBOX (MESSAGES 12 UNSEEN 3)\r\n";

}  // namespace

TEST(Pop3Dialogue, Dialogues) {
    int descriptors = openDescriptors();
    const Pop3Case cases[] = {
        {"server with LAST", withLast, 1, 2, 5, fullDialogue},
        {"every reply split byte by byte", withLast, 1, 2, 5, fullDialogue, 1ms},
        {"empty mailbox",
         {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 0 0\r\n", "+OK 0\r\n", "+OK\r\n"},
         1,
         0,
         0,
         "USER alice\nPASS secret\nSTAT\nLAST\nquit\n"},
        {"LAST above the count",
         {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 2 0\r\n", "+OK 5\r\n", "+OK\r\n"},
         1,
         -3,
         2,
         ""},
        {"server without LAST",
         {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 5 0\r\n", "-ERR what?\r\n", topReply, "+OK\r\n"},
         1,
         5,
         5,
         fullDialogue},
        {"numbers beyond 32 bits",
         {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 99999999999 0\r\n", "+OK -99999999999\r\n",
          topReply, "+OK\r\n"},
         1,
         INT32_MAX,
         INT32_MAX,
         ""},
        {"NUL bytes",
         {"+OK\0\r\n"s, "+OK\r\n", "+OK\r\n", "+OK 4\0 1\r\n"s, "-\0\r\n"s, topReply, "+OK\r\n"},
         1,
         4,
         4,
         ""},
        {"STAT reply far beyond 1023 bytes",
         {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 7 " + std::string(3000, 'x') + "\r\n", "+OK 1\r\n",
          topReply, "+OK\r\n"},
         1,
         6,
         7,
         "USER alice\nPASS secret\nSTAT\nLAST\nTOP 7 0\nquit\n"},
        {"no user name or password", withLast, 1, 2, 5, "USER \nPASS \nSTAT\nLAST\nTOP 5 0\nquit\n",
         0ms, std::nullopt, std::nullopt},
        {"greeting -ERR", {"-ERR go away\r\n"}, 0, 7, 9, ""},
        {"garbage greeting", {"HELLO\r\n"}, 0, 7, 9, ""},
        {"password refused",
         {"+OK\r\n", "+OK\r\n", "-ERR [AUTH] failed\r\n"},
         0,
         7,
         9,
         "USER alice\nPASS secret\n"},
        {"closed after USER", {"+OK\r\n", "+OK\r\n"}, 0, 7, 9, ""},
        {"password that would add a command", withLast, 0, 7, 9, "", 0ms, "alice",
         "secret\r\nDELE 1"},
    };
    for (const Pop3Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A refused password waits out a pause: each case meets its server anew.
        forgetCredentials();
        auto box = networkBox(BOX_POP3, 110, c.user, c.password);
        ScriptedServer server("127.0.0.1", 110, [&](Peer& peer) { playPop3(peer, c); });
        ASSERT_TRUE(server.ready());
        int64_t before = wallClockNow();
        EXPECT_EQ(checkBox(*box), c.result);
        EXPECT_EQ(box->newCount, c.fresh);
        EXPECT_EQ(box->totalCount, c.total);
        EXPECT_EQ(box->settled, c.result);
        EXPECT_GE(box->timeStamp, before);  // a failed attempt waits checkDelay too
        if (!c.heard.empty()) {
            EXPECT_EQ(server.heard(), c.heard);
        }
        if (c.result == 0 && c.heard.empty()) {
            EXPECT_EQ(server.heard().find("PASS"), std::string::npos);
        }
    }
    EXPECT_EQ(openDescriptors(), descriptors);
}

// What the newest message's TOP reply tells, and that no reply to it, however
// hostile or missing, fails the check or changes its counts.
TEST(Pop3Dialogue, NewestMessageByTop) {
    const std::string bigHeader = "X-Big: " + std::string(100 * 1024, 'x') + "\r\n";
    struct Case {
        const char* name;
        std::string top;  // the reply to TOP; the server hangs up after it
        MessageSummary newest;
    } cases[] = {
        {"plain", topReply, {"Ann <ann@example.org>", "Lunch?"}},
        {"folded, encoded and dot-stuffed",
         "+OK\r\nSubject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n\t=?ISO-8859-1?Q?_aus_K=F6ln?=\r\n"
         "From: =?UTF-8?B?w4VzYQ==?= <asa@example.org>\r\n\r\n.\r\n",
         {"Åsa <asa@example.org>", "Grüße aus Köln"}},
        {"a shell's words stay text",
         "+OK\r\nSubject: $(touch x) `id` \"'\r\n\r\n.\r\n",
         {"", "$(touch x) `id` \"'"}},
        {"100 KB of other headers first",
         "+OK\r\n" + bigHeader + "Subject: after\r\n..From: dotted\r\n\r\n.\r\n",
         {"", "after"}},
        {"no TOP", "-ERR unknown command\r\n", {}},
        {"reply cut short", "+OK\r\nSubject: half", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pop3Case script{c.name, withLast, 1, 2, 5, ""};
        script.replies[5] = c.top;
        script.replies.resize(6);
        auto box = networkBox(BOX_POP3, 110, "alice", "secret");
        ScriptedServer server("127.0.0.1", 110, [&](Peer& peer) { playPop3(peer, script); });
        ASSERT_TRUE(server.ready());
        EXPECT_EQ(checkBox(*box), 1);
        EXPECT_EQ(box->newCount, 2);
        EXPECT_EQ(box->totalCount, 5);
        MessageSummary newest = newestMessage(*box);
        EXPECT_EQ(newest.from, c.newest.from);
        EXPECT_EQ(newest.subject, c.newest.subject);
    }
}

TEST(Pop3Dialogue, CheckWithinTheDelayTouchesNothing) {
    auto box = networkBox(BOX_POP3, 110, "alice", "secret");
    int64_t now = wallClockNow();
    int64_t stamp = now - settings::checkDelay.load() + 1;
    box->timeStamp = stamp;
    EXPECT_EQ(pop3Check(*box, now), 0);
    EXPECT_EQ(box->timeStamp, stamp);
    EXPECT_EQ(box->totalCount, 9);
}

TEST(ImapDialogue, Dialogues) {
    int descriptors = openDescriptors();
    std::string manyLines;
    for (int line = 0; line < 300; ++line) manyLines += "* " + std::to_string(line) + " EXISTS\r\n";
    const ImapCase cases[] = {
        {"plain dialogue, quoted password",
         {},
         1,
         3,
         12,
         "A0001 CAPABILITY\nA0002 LOGIN \"alice\" \"pa\\\"ss\\\\word\"\n"
         "A0003 STATUS \"INBOX\" (MESSAGES UNSEEN)\nA0004 LOGOUT\n",
         0ms,
         "* OK ready\r\n",
         "pa\"ss\\word"},
        {"UNSEEN first, quoted mailbox, after other data",
         {{"STATUS", "* 5 EXISTS\r\n* STATUS \"INBOX\" (UNSEEN 3 MESSAGES 12)\r\n@ OK\r\n"}},
         1,
         3,
         12,
         ""},
        {"byte by byte, the tag inside a line",
         {{"CAPABILITY", "* OK @ is no end\r\n* CAPABILITY IMAP4rev1\r\n@ OK\r\n"},
          {"LOGIN", "* OK @ OK is no end either\r\n@ OK\r\n"}},
         1,
         3,
         12,
         "",
         1ms},
        {"answers far beyond the buffer",
         {{"LOGIN", "* " + std::string(5000, 'x') + "\r\n@ OK\r\n"},
          {"STATUS", manyLines + statusLine + manyLines + "@ OK\r\n"}},
         1,
         3,
         12,
         "A0001 CAPABILITY\nA0002 LOGIN \"alice\" \"secret\"\n"
         "A0003 STATUS \"INBOX\" (MESSAGES UNSEEN)\nA0004 LOGOUT\n"},
        {"literal mailbox name",
         {{"STATUS", "* STATUS {5}\r\nINBOX (MESSAGES 12 UNSEEN 3)\r\n@ OK\r\n"}},
         1,
         3,
         12,
         ""},
        {"OK without STATUS data", {{"STATUS", "@ OK done\r\n"}}, 0, 7, 9, ""},
        {"STATUS data in another order of words",
         {{"STATUS", "* STATUS INBOX MESSAGES 12 UNSEEN 3\r\n@ OK\r\n"}},
         0,
         7,
         9,
         ""},
        {"counts beyond 32 bits",
         {{"STATUS", "* STATUS INBOX (MESSAGES 99999999999 UNSEEN 3)\r\n@ OK\r\n"}},
         0,
         7,
         9,
         ""},
        {"STATUS refused", {{"STATUS", statusLine + "@ NO no such folder\r\n"}}, 0, 7, 9, ""},
        {"LOGIN refused after an untagged OK",
         {{"LOGIN", "* OK fine\r\n@ NO [AUTHENTICATIONFAILED] failed\r\n"}},
         0,
         7,
         9,
         "A0001 CAPABILITY\nA0002 LOGIN \"alice\" \"secret\"\nA0003 LOGOUT\n"},
        {"garbage greeting", {}, 0, 7, 9, "", 0ms, "HELLO\r\n"},
        {"greeting without line end", {}, 0, 7, 9, "", 0ms, "HEL"},
        {"closed at LOGIN", {{"LOGIN", "close"}}, 0, 7, 9, ""},
        {"STARTTLS offered, then refused",
         {{"CAPABILITY", "* CAPABILITY IMAP4rev1 STARTTLS\r\n@ OK\r\n"},
          {"STARTTLS", "@ NO not today\r\n"}},
         0,
         7,
         9,
         "A0001 CAPABILITY\nA0002 STARTTLS\nA0003 LOGOUT\n"},
        {"password that would add a command",
         {},
         0,
         7,
         9,
         "A0001 LOGOUT\n",
         0ms,
         "* OK ready\r\n",
         "x\r\nA0009 DELETE INBOX"},
        {"no password", {}, 1, 3, 12, "", 0ms, "* OK ready\r\n", std::nullopt},
    };
    for (const ImapCase& c : cases) {
        SCOPED_TRACE(c.name);
        // A refused password waits out a pause: each case meets its server anew.
        forgetCredentials();
        auto box = networkBox(BOX_IMAP, 143, "alice", c.password);
        ScriptedServer server("127.0.0.1", 143, [&](Peer& peer) { playImap(peer, c); });
        ASSERT_TRUE(server.ready());
        EXPECT_EQ(checkBox(*box), c.result);
        EXPECT_EQ(box->newCount, c.fresh);
        EXPECT_EQ(box->totalCount, c.total);
        EXPECT_EQ(box->settled, c.result);
        EXPECT_NE(box->timeStamp, 0);
        if (!c.heard.empty()) {
            EXPECT_EQ(server.heard(), c.heard);
        }
    }
    EXPECT_EQ(openDescriptors(), descriptors);
}

// Who wrote the newest new message, asked by the check without a kept
// connection only when the new count rose (3 where the box showed 1):
// EXAMINE, which marks nothing read, a SEARCH among the last 500 messages,
// and a FETCH of the header fields with BODY.PEEK. A count that did not rise
// asks nothing and keeps what was known; one that fell forgets it. However
// the server answers, the counts are stored.
TEST(ImapDialogue, NewestMessageWhenTheCountRose) {
    // (An @ of the script stands for the tag.)
    const std::string fetched =
        "* 3 FETCH (UID 9 BODY[HEADER.FIELDS (FROM SUBJECT)] {48}\r\n"
        "From: Ann <ann.example.org>\r\nSubject: Lunch?\r\n\r\n)\r\n@ OK\r\n";
    const std::string asked =
        "A0004 EXAMINE \"INBOX\"\nA0005 UID SEARCH 1:* UNSEEN\n"
        "A0006 UID FETCH 9 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\nA0007 LOGOUT\n";
    const std::string search = "* SEARCH 4 9 7\r\n@ OK\r\n";
    struct Case {
        const char* name;
        bool counted;
        int32_t shown;  // the new count the box showed
        std::map<std::string, std::string> answers;
        MessageSummary newest;
        std::string heard;  // after STATUS; checked when not empty
    } cases[] = {
        {"rose",
         true,
         1,
         {{"UID SEARCH", search}, {"UID FETCH", fetched}},
         {"Ann <ann.example.org>", "Lunch?"},
         asked},
        {"rose in a large folder: the last 500 messages searched",
         true,
         1,
         {{"STATUS", "* STATUS INBOX (MESSAGES 1000 UNSEEN 3)\r\n@ OK\r\n"},
          {"UID SEARCH", search},
          {"UID FETCH", fetched}},
         {"Ann <ann.example.org>", "Lunch?"},
         "A0004 EXAMINE \"INBOX\"\nA0005 UID SEARCH 501:* UNSEEN\n"
         "A0006 UID FETCH 9 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\nA0007 LOGOUT\n"},
        {"first count: no news", false, 1, {}, {"", "kept"}, "A0004 LOGOUT\n"},
        {"as many as shown", true, 3, {}, {"", "kept"}, "A0004 LOGOUT\n"},
        {"fewer than shown", true, 5, {}, {}, "A0004 LOGOUT\n"},
        {"read meanwhile: no unseen found",
         true,
         1,
         {{"UID SEARCH", "* SEARCH\r\n@ OK\r\n"}},
         {},
         "A0004 EXAMINE \"INBOX\"\nA0005 UID SEARCH 1:* UNSEEN\nA0006 LOGOUT\n"},
        {"EXAMINE refused", true, 1, {{"EXAMINE", "@ NO gone\r\n"}}, {}, ""},
        {"FETCH refused", true, 1, {{"UID SEARCH", search}, {"UID FETCH", "@ NO\r\n"}}, {}, ""},
        {"FETCH hung up on", true, 1, {{"UID SEARCH", search}, {"UID FETCH", "close"}}, {}, ""},
        {"FETCH of nonsense",
         true,
         1,
         {{"UID SEARCH", search}, {"UID FETCH", "* 3 FETCH (((\r\n}{\r\n@ BAD\r\n"}},
         {},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto box = networkBox(BOX_IMAP, 143, "alice", "secret");
        box->counted = c.counted;
        box->newCount = c.shown;
        setNewestMessage(*box, {"", "kept"});
        ImapCase script{c.name, {{"EXAMINE", "* 12 EXISTS\r\n@ OK [READ-ONLY] done\r\n"}}, 1, 3, 12,
                        ""};
        for (const auto& [word, answer] : c.answers) script.answers[word] = answer;
        ScriptedServer server("127.0.0.1", 143, [&](Peer& peer) { playImap(peer, script); });
        ASSERT_TRUE(server.ready());
        EXPECT_EQ(checkBox(*box), 1);
        EXPECT_EQ(box->newCount, 3);
        MessageSummary newest = newestMessage(*box);
        EXPECT_EQ(newest.from, c.newest.from);
        EXPECT_EQ(newest.subject, c.newest.subject);
        std::string heard = server.heard();
        heard.erase(0, heard.find("A0004"));
        if (!c.heard.empty()) EXPECT_EQ(heard, c.heard);
    }
}

TEST(ImapDialogue, ReceiveErrorIsReported) {
    ImapCase hangUp{"closed at STATUS", {{"STATUS", "close"}}, 0, 7, 9, ""};
    auto box = networkBox(BOX_IMAP, 143, "alice", "secret");
    ScriptedServer server("127.0.0.1", 143, [&](Peer& peer) { playImap(peer, hangUp); });
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkBox(*box), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "imapGetAnswer() receive error\n");
}

namespace {

// Servers that never give a usable reply. Each holds out far longer than
// the client's limits allow; the client must give up on its own and end the
// connection while the server still waits or sends, and no secret reaches
// any of them. (bench/net times them.)
struct HostileCase {
    const char* name;
    int32_t type;
    int port;
    // True when the client ended the connection before the script ran out.
    std::function<bool(Peer&)> script;
};

// Sends the byte until the client closes (true) or a minute has passed.
bool flood(Peer& peer, char byte) {
    std::string chunk(65536, byte);
    auto end = Clock::now() + 60s;
    while (Clock::now() < end) {
        pollfd entry{peer.socket(), POLLOUT, 0};
        if (poll(&entry, 1, 1000) < 0) return false;
        if ((entry.revents & (POLLERR | POLLHUP)) != 0) return true;
        if ((entry.revents & POLLOUT) != 0 &&
            send(peer.socket(), chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0)
            return true;
    }
    return false;
}

// A byte at a time, each before the client's wait for silence could end: only
// its limit on the whole dialogue stops it. The client's close ends the
// script at once.
bool trickle(Peer& peer) {
    for (int round = 0; round < 600; ++round) {
        if (send(peer.socket(), "*", 1, MSG_NOSIGNAL) != 1) return true;
        if (peer.waitForClose(100ms)) return true;
    }
    return false;
}

bool silent(Peer& peer) { return peer.waitForClose(60s); }

}  // namespace

TEST(Dialogue, HostileServersAreGivenUpOn) {
    int descriptors = openDescriptors();
    const HostileCase cases[] = {
        // The greeting comes only once the client has stopped waiting for it:
        // what it then says reaches nobody.
        {"POP3 greeting after the client gave up", BOX_POP3, 110,
         [](Peer& peer) {
             bool closed = silent(peer);
             peer.say("+OK late\r\n");
             return closed;
         }},
        {"POP3 never answering", BOX_POP3, 110, silent},
        {"POP3 endless data", BOX_POP3, 110, [](Peer& peer) { return flood(peer, '+'); }},
        {"IMAP never answering", BOX_IMAP, 143, silent},
        {"IMAP endless lines", BOX_IMAP, 143, [](Peer& peer) { return flood(peer, '\n'); }},
        {"IMAP endless NUL bytes", BOX_IMAP, 143, [](Peer& peer) { return flood(peer, '\0'); }},
        {"IMAP data trickling in", BOX_IMAP, 143, trickle},
        {"IMAP TLS handshake never answered", BOX_IMAP, 993, silent},
        {"POP3 TLS handshake never answered", BOX_POP3, 995, silent},
    };
    // All at once, each server on an address of its own, as workers would
    // check them.
    constexpr std::size_t count = std::size(cases);
    std::array<int, count> results{};
    std::array<std::atomic<bool>, count> givenUp{};
    std::array<std::unique_ptr<Box>, count> boxes;
    std::array<std::string, count> heard;
    std::vector<std::thread> checks;
    testing::internal::CaptureStderr();
    for (std::size_t i = 0; i < count; ++i) {
        checks.emplace_back([&, i] {
            const HostileCase& c = cases[i];
            std::string address = "127.0.0." + std::to_string(10 + i);
            boxes[i] = networkBox(c.type, c.port, "alice", "secret");
            boxes[i]->path = address;
            ScriptedServer server(address.c_str(), c.port,
                                  [&](Peer& peer) { givenUp[i] = c.script(peer); });
            results[i] = server.ready() ? checkBox(*boxes[i]) : -1;
            heard[i] = server.heard();  // the script has played to its end
        });
    }
    for (std::thread& check : checks) check.join();
    testing::internal::GetCapturedStderr();
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(results[i], 0);
        EXPECT_TRUE(givenUp[i]);
        EXPECT_EQ(boxes[i]->totalCount, 9);
        expectNoSecret(heard[i]);
    }
    EXPECT_EQ(openDescriptors(), descriptors);
}
