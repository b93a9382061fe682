#pragma once
// Scripted POP3 and IMAP servers for the checks: a box to check against
// them, how they speak TLS, and the dialogues they play, by reply or by
// command word.

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "monitor/state/boxes.h"
#include "tests/monitor/net/script_server.h"

// Every path of a check must give back its socket.
inline int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// A box that holds counts from an earlier check, so a failure shows by
// leaving them.
inline std::unique_ptr<Box> networkBox(int32_t type, int port, std::optional<std::string> user,
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
inline bool beginTls(Peer& peer, const ServerTls& tls) {
    if (tls.context != nullptr) return peer.startTls(tls.context);
    peer.hearBytes();
    peer.say(tls.junk);
    return true;
}

// Nothing a client sends may carry the password or the commands that sign in.
inline void expectNoSecret(const std::string& heard) {
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

inline void playPop3(Peer& peer, const Pop3Case& script) {
    if (script.tls && !beginTls(peer, *script.tls)) return;
    peer.say(script.replies[0], script.gap);
    std::string line;
    for (std::size_t reply = 1; reply < script.replies.size(); ++reply) {
        if (!peer.hear(line)) return;
        peer.say(script.replies[reply], script.gap);
    }
}

// The header block of the newest message, asked for when there is new mail.
inline const std::string topReply =
    "+OK\r\nFrom: Ann <ann@example.org>\r\nSubject: Lunch?\r\n\r\n.\r\n";
inline const std::vector<std::string> withLast = {
    "+OK hi\r\n", "+OK\r\n", "+OK\r\n", "+OK 5 12034\r\n", "+OK 3\r\n", topReply, "+OK bye\r\n"};
inline const std::string fullDialogue = "USER alice\nPASS secret\nSTAT\nLAST\nTOP 5 0\nquit\n";

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

inline std::string withTag(std::string text, const std::string& tag) {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, tag);
    return text;
}

inline void playImap(Peer& peer, const ImapCase& script) {
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
