#pragma once
// The IMAP client: the dialogue of a check, and the lines and answers that
// the account connection reads too.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "monitor/headers/headerfields.h"
#include "monitor/net/connection.h"
#include "monitor/net/signin.h"

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

std::unique_ptr<ImapConn> imapNew();
int imapConnect(ImapConn& conn, const std::string& host, int port);
int imapGetAnswer(ImapConn& conn, ImapAnswer& answer);
void imapSendCommand(ImapConn& conn, std::string_view command);
// A missing user name or password is sent as the empty text.
int imapLogin(ImapConn& conn, const std::optional<std::string>& user,
              const std::optional<std::string>& password);
// Signs the account in with the credential `ask` chooses: with LOGIN and a
// password, or AUTHENTICATE and a token. Waits for the verdict however late
// it comes (up to signInPatience), and tells `ask` what it was. On -1 the
// connection's `failure` says why.
int imapSignIn(ImapConn& conn, const NetAccount& account, const CredentialAsk& ask);
int imapStatus(ImapConn& conn, const std::optional<std::string>& folder);
int imapGetMessages(const ImapConn* conn);
int imapGetUnseen(const ImapConn* conn);
int imapLogout(ImapConn& conn);

// Lines of an answer, read on whatever connection holds them.

// Splits what arrives into lines; a line that announces a literal goes on
// past the literal. Lines are kept to 8 KiB; the rest is read and dropped.
struct ImapLineReader {
    std::string line;
    std::size_t literalLeft = 0;
};

// Takes the untagged lines of an answer, or the bytes of a literal as they
// come with the line that announced it so far.
using ImapLineTaker = std::function<void(std::string_view line)>;
using ImapLiteralTaker = std::function<void(std::string_view line, std::string_view bytes)>;

// Feeds bytes to the reader; calls `take` with each whole line, without its
// line end, and `literal` (when given) with each run of a literal's bytes.
template <typename Take>
void imapReadLines(ImapLineReader& reader, std::string_view bytes, Take take,
                   const ImapLiteralTaker& literal = {});

// Reads the answer to the command sent last until its tagged line (or, when
// `untilContinuation`, a line that begins with "+"), which it gives; every
// other line, those after it in the same piece too, goes to `other`. Empty
// when the connection failed or no answer came in time; its failure then
// says notUnderstood.
std::string imapReadTagged(ImapConn& conn, ImapLineReader& reader, const ImapLineTaker& other,
                           const Patience& patience, bool untilContinuation = false,
                           const ImapLiteralTaker& literal = {});

// EXAMINE of the folder: opened read-only, so that nothing in it is marked
// read. The word after the tag (OK, NO, BAD; NO unsent for a name that
// cannot be quoted), empty as imapReadTagged's.
std::string imapExamine(ImapConn& conn, ImapLineReader& reader, std::string_view folder,
                        const ImapLineTaker& other, const Patience& patience);

// Who wrote the newest unseen message of the folder examined and about what,
// with nothing marked read: UID SEARCH for its unseen messages (the highest
// alone with ESEARCH, RFC 4731, when `esearch`; else among the last
// imapSearchWindow of its `messages`), then UID FETCH of that message's From
// and Subject lines with BODY.PEEK. False when the connection can no longer
// be used; `newest` stays empty when the server did not tell.
bool imapReadNewest(ImapConn& conn, ImapLineReader& reader, bool esearch, int32_t messages,
                    const ImapLineTaker& other, const Patience& patience, MessageSummary& newest);

// The UIDs that a search without ESEARCH may name fit in one kept line: at
// most 11 bytes each.
inline constexpr int32_t imapSearchWindow = 500;

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

// The highest number a SEARCH line names ("* SEARCH 2 9 4", a CONDSTORE
// modifier after them left out) or the MAX of an ESEARCH line ("* ESEARCH
// (TAG "A0001") UID MAX 9"); none for another line, or one that names none.
std::optional<uint32_t> imapSearchMax(std::string_view line);

// ---- Implementation of the template ----

inline constexpr std::size_t imapLineRoom = 8192;

template <typename Take>
void imapReadLines(ImapLineReader& reader, std::string_view bytes, Take take,
                   const ImapLiteralTaker& literal) {
    while (!bytes.empty()) {
        if (reader.literalLeft > 0) {
            std::string_view run = bytes.substr(0, std::min(reader.literalLeft, bytes.size()));
            if (literal) literal(reader.line, run);
            std::size_t room = imapLineRoom - std::min(imapLineRoom, reader.line.size());
            reader.line.append(run.substr(0, room));
            reader.literalLeft -= run.size();
            bytes.remove_prefix(run.size());
            continue;
        }
        char byte = bytes.front();
        bytes.remove_prefix(1);
        if (reader.line.size() < imapLineRoom) reader.line.push_back(byte);
        if (byte != '\n') continue;
        if (std::optional<std::size_t> announced = imapAnnouncedLiteral(reader.line)) {
            reader.literalLeft = *announced;
            continue;
        }
        std::string_view line = reader.line;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        take(line);
        reader.line.clear();
    }
}
