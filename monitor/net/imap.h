#pragma once
// IMAP accounts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "monitor/core/boxes.h"
#include "monitor/net/connection.h"

// An answer is kept in 1023 bytes and a terminating zero.
inline constexpr std::size_t imapAnswerSize = 1024;
using ImapAnswer = std::array<char, imapAnswerSize>;

// One connection, made and dropped within one check.
struct ImapConn {
    Connection connection;
    int unseen = -1;
    int messages = -1;
    // The tag of the last command. Empty before the first one, so that the
    // greeting ends with its first line.
    std::string tag;
    int counter = 1;
    // How long each answer may take; a sign-in's verdict waits longer.
    Patience patience;
};

int imapCheck(Box& box, int64_t now);

std::unique_ptr<ImapConn> imapNew();
int imapConnect(ImapConn& conn, const std::string& host, int port);
int imapGetAnswer(ImapConn& conn, ImapAnswer& answer);
void imapSendCommand(ImapConn& conn, std::string_view command);
// A missing user name or password is sent as the empty text.
int imapLogin(ImapConn& conn, const std::optional<std::string>& user,
              const std::optional<std::string>& password);
// Signs the box in: with LOGIN and its own password, or, for a box that
// takes its credential from the password and token commands, with
// AUTHENTICATE and a token or LOGIN and the password they give. Waits for
// the verdict however late it comes (up to signInPatience), and tells the
// credentials what it was. On -1 the connection's `failure` says why.
int imapSignIn(ImapConn& conn, const Box& box);
int imapStatus(ImapConn& conn, const std::optional<std::string>& folder);
int imapGetMessages(const ImapConn* conn);
int imapGetUnseen(const ImapConn* conn);
int imapLogout(ImapConn& conn);

// Answer parsing, apart from the I/O.

// One answer while it arrives. It ends with the line that begins with the
// tag. Only the lines the dialogue looks at are kept (the tagged line, the
// CAPABILITY and STATUS data, and the continuation of a literal they
// announce), at most 1023 bytes of them; the rest is read and dropped, so
// that an answer of any length is read to its end.
struct ImapAnswerState {
    std::string tag;
    std::string kept;
    std::string line;  // the line arriving, its first 1023 bytes
    bool keepNext = false;
    bool ended = false;
    std::size_t received = 0;
    // A line that begins with "+" ends the answer too, and is kept.
    bool endsAtContinuation = false;
};

// Takes the bytes that arrived; those after the end of the answer are dropped.
void imapAnswerFeed(ImapAnswerState& state, std::string_view bytes);
// The server fell silent: a partial last line counts as a line.
void imapAnswerFinish(ImapAnswerState& state);

// True when a CAPABILITY line of the answer names the capability (a whole
// word, in any case).
bool imapHasCapability(std::string_view answer, std::string_view name);

// True when the answer's tagged line says OK.
bool imapTaggedOk(std::string_view answer, std::string_view tag);
// The answer's tagged line, or the empty text when it has none.
std::string_view imapTaggedLine(std::string_view answer, std::string_view tag);
// The word after the tag on that line (OK, NO, BAD), or the empty text.
std::string_view imapTaggedWord(std::string_view answer, std::string_view tag);

struct ImapCounts {
    int32_t messages = -1;
    int32_t unseen = -1;
};
// The counts of the first STATUS line of the answer that holds both, the
// attributes in any order, the mailbox an atom, a quoted string or a literal.
std::optional<ImapCounts> imapParseStatus(std::string_view answer);

// One STATUS line, which may name only some of the counts (NOTIFY tells
// what changed).
struct ImapStatusData {
    std::string mailbox;
    std::optional<int32_t> messages;
    std::optional<int32_t> unseen;
};
// The line must begin with "* STATUS "; none when it does not or cannot be read.
std::optional<ImapStatusData> imapParseStatusLine(std::string_view line);

// The size N of the literal that a line ending with {N} announces.
std::optional<std::size_t> imapAnnouncedLiteral(std::string_view line);

// The text as an IMAP quoted string, or none when it holds CR, LF or NUL.
std::optional<std::string> imapQuoted(std::string_view text);
