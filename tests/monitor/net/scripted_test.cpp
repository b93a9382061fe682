// The POP3 and IMAP clients against scripted servers: the replies real
// servers never give, split, slow, hostile or broken ones.

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

namespace {

using Clock = std::chrono::steady_clock;

// Every path of a check must give back its socket.
int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// A box that holds counts from an earlier check, so a failure shows by
// leaving them.
std::unique_ptr<Box> networkBox(int32_t type, int port, std::optional<std::string> user,
                                std::optional<std::string> password) {
    auto box = std::make_unique<Box>();
    box->type = type;
    box->path = "127.0.0.1";
    box->port = port;
    box->user = std::move(user);
    if (password) box->password.emplace(*password);
    if (type == BOX_IMAP) box->folder = "INBOX";
    box->newCount = 7;
    box->totalCount = 9;
    return box;
}

// How a scripted server speaks TLS: it shows the certificate of `context`
// in the handshake, or, without one, answers the client's hello with `junk`
// and goes on in plain text, as an impostor that cannot do TLS would.
struct ServerTls {
    bool atOnce = false;  // before the greeting (993, 995); else after STARTTLS
    SSL_CTX* context = nullptr;
    std::string junk;
};

// False when the script should end.
bool beginTls(Peer& peer, const ServerTls& tls) {
    if (tls.context != nullptr) return peer.startTls(tls.context);
    peer.hearBytes();
    peer.say(tls.junk);
    return true;
}

// Nothing a client sends may carry the password or the commands that sign in.
void expectNoSecret(const std::string& heard) {
    for (const char* secret : {"LOGIN", "USER", "PASS", "secret"})
        EXPECT_EQ(heard.find(secret), std::string::npos) << secret << " in: " << heard;
}

struct Pop3Case {
    const char* name;
    // The greeting, then one reply for each command heard; the server hangs
    // up after the last one.
    std::vector<std::string> replies;
    int result;
    int32_t fresh, total;
    std::string heard;  // checked when not empty
    std::chrono::milliseconds gap{0};
    std::optional<std::string> user = "alice";
    std::optional<std::string> password = "secret";
    std::optional<ServerTls> tls = std::nullopt;
};

void playPop3(Peer& peer, const Pop3Case& script) {
    if (script.tls && !beginTls(peer, *script.tls)) return;
    peer.say(script.replies[0], script.gap);
    std::string line;
    for (std::size_t reply = 1; reply < script.replies.size(); ++reply) {
        if (!peer.hear(line)) return;
        peer.say(script.replies[reply], script.gap);
    }
}

// The header block of the newest message, asked for when there is new mail.
const std::string topReply = "+OK\r\nFrom: Ann <ann@example.org>\r\nSubject: Lunch?\r\n\r\n.\r\n";
const std::vector<std::string> withLast = {"+OK hi\r\n", "+OK\r\n", "+OK\r\n",    "+OK 5 12034\r\n",
                                           "+OK 3\r\n",  topReply,  "+OK bye\r\n"};
const std::string fullDialogue = "USER alice\nPASS secret\nSTAT\nLAST\nTOP 5 0\nquit\n";

}  // namespace

TEST(Pop3Scripted, Dialogues) {
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
TEST(Pop3Scripted, NewestMessageByTop) {
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

TEST(Pop3Scripted, CheckWithinTheDelayTouchesNothing) {
    auto box = networkBox(BOX_POP3, 110, "alice", "secret");
    int64_t now = wallClockNow();
    int64_t stamp = now - settings::checkDelay.load() + 1;
    box->timeStamp = stamp;
    EXPECT_EQ(pop3Check(*box, now), 0);
    EXPECT_EQ(box->timeStamp, stamp);
    EXPECT_EQ(box->totalCount, 9);
}

namespace {

struct ImapCase {
    const char* name;
    // Answers by command word; "@" stands for the command's tag and "close"
    // hangs up instead of answering.
    std::map<std::string, std::string> answers;
    int result;
    int32_t fresh, total;
    std::string heard;  // checked when not empty
    std::chrono::milliseconds gap{0};
    std::string greeting = "* OK ready\r\n";
    std::optional<std::string> password = "secret";
    std::optional<ServerTls> tls = std::nullopt;
};

std::string withTag(std::string text, const std::string& tag) {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, tag);
    return text;
}

void playImap(Peer& peer, const ImapCase& script) {
    std::map<std::string, std::string> answers = {
        {"CAPABILITY", "* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n@ OK done\r\n"},
        {"STARTTLS", "@ OK begin TLS\r\n"},
        {"LOGIN", "@ OK logged in\r\n"},
        {"STATUS", "* STATUS INBOX (MESSAGES 12 UNSEEN 3)\r\n@ OK done\r\n"},
        {"LOGOUT", "* BYE\r\n@ OK\r\n"},
    };
    for (const auto& [word, answer] : script.answers) answers[word] = answer;
    if (script.tls && script.tls->atOnce && !beginTls(peer, *script.tls)) return;
    peer.say(script.greeting, script.gap);
    std::string line;
    while (peer.hear(line)) {
        std::string tag = line.substr(0, line.find(' '));
        std::string rest = line.substr(std::min(line.size(), tag.size() + 1));
        std::string word = rest.substr(0, rest.find(' '));
        // UID SEARCH and UID FETCH are answered apart.
        if (word == "UID") word = rest.substr(0, rest.find(' ', 4));
        auto answer = answers.find(word);
        std::string text = answer != answers.end() ? answer->second : "@ BAD what?\r\n";
        if (text == "close") return;
        peer.say(withTag(text, tag), script.gap);
        if (word == "LOGOUT") return;
        if (word == "STARTTLS" && script.tls && !beginTls(peer, *script.tls)) return;
    }
}

const std::string statusLine = "* STATUS INBOX (MESSAGES 12 UNSEEN 3)\r\n";

}  // namespace

TEST(ImapScripted, Dialogues) {
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
TEST(ImapScripted, NewestMessageWhenTheCountRose) {
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

TEST(ImapScripted, ReceiveErrorIsReported) {
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

bool trickle(Peer& peer) {
    for (int round = 0; round < 600; ++round) {
        if (send(peer.socket(), "*", 1, MSG_NOSIGNAL) != 1) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

bool silent(Peer& peer) { return peer.waitForClose(60s); }

}  // namespace

TEST(Scripted, HostileServersAreGivenUpOn) {
    int descriptors = openDescriptors();
    const HostileCase cases[] = {
        {"POP3 greeting after more than a second", BOX_POP3, 110,
         [](Peer& peer) {
             std::this_thread::sleep_for(1300ms);
             peer.say("+OK late\r\n");
             return silent(peer);
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

namespace {

// Packets to this test network (TEST-NET-2) are routed to the loopback
// device, which drops them as not its own: a connect to it never completes,
// as to a server behind a firewall that drops. Each test has a network
// namespace of its own, so the route goes with it.
constexpr const char* droppedAddress = "198.51.100.7";

bool routeTestNetToNowhere() {
    return std::system("ip route replace 198.51.100.0/24 dev lo 2>/dev/null") == 0;
}

SocketAddress addressOf(const char* text, int port) {
    SocketAddress address;
    auto* six = reinterpret_cast<sockaddr_in6*>(&address.storage);
    auto* four = reinterpret_cast<sockaddr_in*>(&address.storage);
    if (inet_pton(AF_INET6, text, &six->sin6_addr) == 1) {
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(static_cast<uint16_t>(port));
        address.size = sizeof *six;
    } else {
        inet_pton(AF_INET, text, &four->sin_addr);
        four->sin_family = AF_INET;
        four->sin_port = htons(static_cast<uint16_t>(port));
        address.size = sizeof *four;
    }
    return address;
}

// Names no name service knows, each with its addresses in the order given.
std::vector<SocketAddress> testResolver(const std::string& host, int port) {
    if (host == "dropped-first.test")
        return {addressOf(droppedAddress, port), addressOf("127.0.0.1", port)};
    if (host == "refused-first.test") return {addressOf("::1", port), addressOf("127.0.0.1", port)};
    if (host == "dropped.test")
        return {addressOf(droppedAddress, port), addressOf("198.51.100.8", port)};
    return systemResolver(host, port);
}

class Connect : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(routeTestNetToNowhere());
        setResolver(testResolver);
    }
    void TearDown() override { setResolver(nullptr); }
};

// Runs the check in a thread of its own and waits for it, far longer than
// the connect limits allow; the result, or -1 when it did not end.
int checkEnds(Box& box) {
    auto check = std::async(std::launch::async, [&] { return checkBox(box); });
    if (check.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "the check did not end";
        check.wait();
        return -1;
    }
    return check.get();
}

}  // namespace

// Both families, in the resolver's order: an address that drops packets or
// refuses does not keep the check from the next one.
TEST_F(Connect, NextAddressAnswers) {
    const struct Case {
        const char* host;
        const char* listening;
    } cases[] = {
        {"dropped-first.test", "127.0.0.1"}, {"refused-first.test", "127.0.0.1"}, {"::1", "::1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        auto box = networkBox(BOX_IMAP, 143, "alice", "secret");
        box->path = c.host;
        ImapCase dialogue{"", {}, 1, 3, 12, ""};
        ScriptedServer server(c.listening, 143, [&](Peer& peer) { playImap(peer, dialogue); });
        ASSERT_TRUE(server.ready());
        EXPECT_EQ(checkEnds(*box), 1);
        EXPECT_EQ(box->newCount, 3);
        EXPECT_EQ(box->totalCount, 12);
        EXPECT_NE(server.heard().find("A0002 LOGIN"), std::string::npos);
    }
}

// A server whose every address drops packets costs one bounded wait, and
// the box keeps its counts and fails as one that cannot be reached.
// (bench/net times it.)
TEST_F(Connect, DroppedAddressesEnd) {
    auto box = networkBox(BOX_IMAP, 993, "alice", "secret");
    box->path = "dropped.test";
    EXPECT_EQ(checkEnds(*box), 0);
    EXPECT_EQ(box->totalCount, 9);
    EXPECT_EQ(box->failure, BoxFailure::unreachable);
}
