// The POP3 and IMAP clients against scripted servers: the replies real
// servers never give, split, slow, hostile or broken ones.

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "monitor/checks/check.h"
#include "monitor/net/imap.h"
#include "monitor/net/pop3.h"
#include "tests/monitor/net/ignore_sigpipe.h"
#include "tests/monitor/net/script_server.h"

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
    box->password = std::move(password);
    if (type == BOX_IMAP) box->folder = "INBOX";
    box->newCount = 7;
    box->totalCount = 9;
    return box;
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
};

void playPop3(Peer& peer, const Pop3Case& script) {
    peer.say(script.replies[0], script.gap);
    std::string line;
    for (std::size_t reply = 1; reply < script.replies.size(); ++reply) {
        if (!peer.hear(line)) return;
        peer.say(script.replies[reply], script.gap);
    }
}

const std::vector<std::string> withLast = {"+OK hi\r\n",      "+OK\r\n",   "+OK\r\n",
                                           "+OK 5 12034\r\n", "+OK 3\r\n", "+OK bye\r\n"};
const std::string fullDialogue = "USER alice\nPASS secret\nSTAT\nLAST\nquit\n";

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
         fullDialogue},
        {"LAST above the count",
         {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 2 0\r\n", "+OK 5\r\n", "+OK\r\n"},
         1,
         -3,
         2,
         ""},
        {"server without LAST",
         {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 5 0\r\n", "-ERR what?\r\n", "+OK\r\n"},
         1,
         5,
         5,
         fullDialogue},
        {"numbers beyond 32 bits",
         {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 99999999999 0\r\n", "+OK -99999999999\r\n",
          "+OK\r\n"},
         1,
         INT32_MAX,
         INT32_MAX,
         ""},
        {"NUL bytes",
         {"+OK\0\r\n"s, "+OK\r\n", "+OK\r\n", "+OK 4\0 1\r\n"s, "-\0\r\n"s, "+OK\r\n"},
         1,
         4,
         4,
         ""},
        {"STAT reply far beyond 1023 bytes",
         {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 7 " + std::string(3000, 'x') + "\r\n", "+OK 1\r\n",
          "+OK\r\n"},
         1,
         6,
         7,
         fullDialogue},
        {"no user name or password", withLast, 1, 2, 5, "USER \nPASS \nSTAT\nLAST\nquit\n", 0ms,
         std::nullopt, std::nullopt},
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

TEST(Pop3Scripted, CheckWithinTheDelayTouchesNothing) {
    auto box = networkBox(BOX_POP3, 110, "alice", "secret");
    int64_t stamp = wallClockNow() - settings::checkDelay.load();
    box->timeStamp = stamp;
    EXPECT_EQ(pop3Check(*box, wallClockNow()), 0);
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
};

std::string withTag(std::string text, const std::string& tag) {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, tag);
    return text;
}

void playImap(Peer& peer, const ImapCase& script) {
    std::map<std::string, std::string> answers = {
        {"CAPABILITY", "* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n@ OK done\r\n"},
        {"LOGIN", "@ OK logged in\r\n"},
        {"STATUS", "* STATUS INBOX (MESSAGES 12 UNSEEN 3)\r\n@ OK done\r\n"},
        {"LOGOUT", "* BYE\r\n@ OK\r\n"},
    };
    for (const auto& [word, answer] : script.answers) answers[word] = answer;
    peer.say(script.greeting, script.gap);
    std::string line;
    while (peer.hear(line)) {
        std::string tag = line.substr(0, line.find(' '));
        std::string rest = line.substr(std::min(line.size(), tag.size() + 1));
        std::string word = rest.substr(0, rest.find(' '));
        auto answer = answers.find(word);
        std::string text = answer != answers.end() ? answer->second : "@ BAD what?\r\n";
        if (text == "close") return;
        peer.say(withTag(text, tag), script.gap);
        if (word == "LOGOUT") return;
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
// connection while the server still waits or sends. (bench/net times them.)
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
        {"TLS handshake never answered", BOX_IMAP, 993, silent},
    };
    // All at once, each server on an address of its own, as workers would
    // check them.
    constexpr std::size_t count = std::size(cases);
    std::array<int, count> results{};
    std::array<std::atomic<bool>, count> givenUp{};
    std::array<std::unique_ptr<Box>, count> boxes;
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
            server.heard();  // the script has played to its end
        });
    }
    for (std::thread& check : checks) check.join();
    testing::internal::GetCapturedStderr();
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(results[i], 0);
        EXPECT_TRUE(givenUp[i]);
        EXPECT_EQ(boxes[i]->totalCount, 9);
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

TEST(Scripted, FailedHandshakeLeavesThePlainConnection) {
    struct Case {
        const char* name;
        std::function<void(Peer&)> script;
    } cases[] = {
        {"server speaking plain text on 993",
         [](Peer& peer) { peer.say("* OK this is no TLS\r\n"); }},
        // The client keeps the library's default cipher suites, which leave
        // out the anonymous ones: no link, and so no "No certificates!".
        {"server without a certificate", anonymousTls},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto box = networkBox(BOX_IMAP, 993, "alice", "secret");
        ScriptedServer server("127.0.0.1", 993, c.script);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(checkBox(*box), 0);
        std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(errors.rfind("SSL_connect failed\n", 0), 0u) << errors;
        EXPECT_EQ(box->totalCount, 9);
    }
}
