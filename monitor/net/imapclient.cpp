#include "monitor/net/imapclient.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "common/text.h"
#include "monitor/net/knownservers.h"

namespace {

constexpr std::size_t answerRoom = imapAnswerSize - 1;

bool announcesLiteral(std::string_view line) { return imapAnnouncedLiteral(line).has_value(); }

void takeLine(ImapAnswerState& state) {
    bool tagged = state.line.starts_with(state.tag);
    bool continued = state.endsAtContinuation && state.line.starts_with('+');
    bool keep = tagged || continued || state.keepNext ||
                startsWithNoCase(state.line, "* STATUS ") ||
                startsWithNoCase(state.line, "* CAPABILITY ");
    if (keep) {
        std::size_t room = answerRoom - std::min(answerRoom, state.kept.size());
        state.kept.append(state.line, 0, std::min(room, state.line.size()));
    }
    state.keepNext = keep && announcesLiteral(state.line);
    state.line.clear();
    state.ended = tagged || continued;
}

// Reads a number of at most ten digits: none when there are no digits or the
// number does not fit 32 signed bits.
std::optional<int32_t> readNumber(std::string_view text, std::size_t& at) {
    std::size_t start = at;
    int64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (value <= INT32_MAX) value = value * 10 + (text[at] - '0');
        ++at;
    }
    if (at == start || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

void skipBlanks(std::string_view text, std::size_t& at) {
    while (at < text.size() && text[at] == ' ') ++at;
}

// Reads the mailbox name of a STATUS line: an atom, a quoted string (its
// escapes undone) or a literal.
bool readMailbox(std::string_view text, std::size_t& at, std::string& name) {
    name.clear();
    if (at >= text.size()) return false;
    if (text[at] == '"') {
        for (++at; at < text.size() && text[at] != '"'; ++at) {
            if (text[at] == '\\') ++at;
            if (at >= text.size() || text[at] == '\r' || text[at] == '\n') return false;
            name.push_back(text[at]);
        }
        if (at >= text.size()) return false;
        ++at;
        return true;
    }
    if (text[at] == '{') {
        ++at;
        std::optional<int32_t> size = readNumber(text, at);
        if (!size || at >= text.size() || text[at] != '}') return false;
        ++at;
        if (at < text.size() && text[at] == '\r') ++at;
        if (at >= text.size() || text[at] != '\n') return false;
        ++at;
        if (static_cast<std::size_t>(*size) > text.size() - at) return false;
        name.assign(text.substr(at, static_cast<std::size_t>(*size)));
        at += static_cast<std::size_t>(*size);
        return true;
    }
    std::size_t start = at;
    while (at < text.size() &&
           std::string_view{" ()\r\n"}.find(text[at]) == std::string_view::npos) {
        ++at;
    }
    name.assign(text.substr(start, at - start));
    return at > start;
}

// Parses what follows "* STATUS " on one line. Either count may be missing
// (a server's news of a change names only what changed).
std::optional<ImapStatusData> parseStatusData(std::string_view text, std::size_t at) {
    ImapStatusData data;
    if (!readMailbox(text, at, data.mailbox)) return std::nullopt;
    skipBlanks(text, at);
    if (at >= text.size() || text[at] != '(') return std::nullopt;
    ++at;
    for (;;) {
        skipBlanks(text, at);
        if (at >= text.size()) return std::nullopt;
        if (text[at] == ')') break;
        std::size_t start = at;
        while (at < text.size() && text[at] != ' ' && text[at] != ')' && text[at] != '\r' &&
               text[at] != '\n') {
            ++at;
        }
        std::string_view name = text.substr(start, at - start);
        if (name.empty()) return std::nullopt;
        skipBlanks(text, at);
        std::size_t digits = at;
        std::optional<int32_t> value = readNumber(text, at);
        if (at == digits) return std::nullopt;
        if (equalsNoCase(name, "MESSAGES")) {
            if (!value) return std::nullopt;
            data.messages = *value;
        } else if (equalsNoCase(name, "UNSEEN")) {
            if (!value) return std::nullopt;
            data.unseen = *value;
        }
    }
    return data;
}

}  // namespace

void imapAnswerFeed(ImapAnswerState& state, std::string_view bytes) {
    for (char byte : bytes) {
        if (state.ended) return;
        ++state.received;
        if (state.line.size() < answerRoom) state.line.push_back(byte);
        if (byte == '\n') takeLine(state);
    }
}

void imapAnswerFinish(ImapAnswerState& state) {
    if (!state.ended && !state.line.empty()) takeLine(state);
}

bool imapHasCapability(std::string_view answer, std::string_view name) {
    constexpr std::string_view capability = "* CAPABILITY ";
    while (!answer.empty()) {
        std::size_t end = answer.find('\n');
        std::string_view line = answer.substr(0, end);
        if (startsWithNoCase(line, capability)) {
            line.remove_prefix(capability.size());
            while (!line.empty()) {
                std::size_t gap = line.find_first_of(" \r");
                if (equalsNoCase(line.substr(0, gap), name)) return true;
                if (gap == std::string_view::npos) break;
                line.remove_prefix(gap + 1);
            }
        }
        if (end == std::string_view::npos) break;
        answer.remove_prefix(end + 1);
    }
    return false;
}

std::string_view imapTaggedLine(std::string_view answer, std::string_view tag) {
    while (!answer.empty()) {
        std::size_t end = answer.find('\n');
        std::string_view line = answer.substr(0, end);
        if (line.starts_with(tag)) return line;
        if (end == std::string_view::npos) break;
        answer.remove_prefix(end + 1);
    }
    return {};
}

std::string_view imapTaggedWord(std::string_view answer, std::string_view tag) {
    std::string_view line = imapTaggedLine(answer, tag);
    if (line.empty()) return {};
    line.remove_prefix(tag.size());
    return line.substr(0, line.find_first_of(" \r"));
}

bool imapTaggedOk(std::string_view answer, std::string_view tag) {
    return equalsNoCase(imapTaggedWord(answer, tag), "OK");
}

std::optional<ImapStatusData> imapParseStatusLine(std::string_view line) {
    constexpr std::string_view status = "* STATUS ";
    if (!startsWithNoCase(line, status)) return std::nullopt;
    return parseStatusData(line, status.size());
}

std::optional<ImapCounts> imapParseStatus(std::string_view answer) {
    std::size_t at = 0;
    while (at < answer.size()) {
        std::optional<ImapStatusData> data = imapParseStatusLine(answer.substr(at));
        if (data && data->messages && data->unseen)
            return ImapCounts{*data->messages, *data->unseen};
        std::size_t end = answer.find('\n', at);
        if (end == std::string_view::npos) break;
        at = end + 1;
    }
    return std::nullopt;
}

std::optional<std::size_t> imapAnnouncedLiteral(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty() || line.back() != '}') return std::nullopt;
    line.remove_suffix(1);
    std::size_t digits = 0;
    while (digits < line.size() && line[line.size() - 1 - digits] >= '0' &&
           line[line.size() - 1 - digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || digits >= line.size() || line[line.size() - 1 - digits] != '{' || digits > 9)
        return std::nullopt;
    std::size_t size = 0;
    for (char digit : line.substr(line.size() - digits)) size = size * 10 + (digit - '0');
    return size;
}

std::optional<std::string> imapQuoted(std::string_view text) {
    if (!isSingleLine(text)) return std::nullopt;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted.push_back('\\');
        quoted.push_back(c);
    }
    quoted.push_back('"');
    return quoted;
}

std::optional<uint32_t> imapSearchMax(std::string_view line) {
    bool extended = startsWithNoCase(line, "* ESEARCH");
    if (!extended && !startsWithNoCase(line, "* SEARCH")) return std::nullopt;
    line.remove_prefix(extended ? 9 : 8);
    if (!line.empty() && line.front() != ' ') return std::nullopt;
    std::optional<uint32_t> highest;
    bool maxNext = false;
    while (!line.empty()) {
        std::size_t gap = line.find(' ');
        std::string_view word = line.substr(0, gap);
        line.remove_prefix(gap == std::string_view::npos ? line.size() : gap + 1);
        if (word.empty()) continue;
        // A CONDSTORE modifier, "(MODSEQ n)", ends the numbers of a SEARCH.
        if (!extended && word.front() == '(') break;
        bool wanted = !extended || maxNext;
        maxNext = extended && equalsNoCase(word, "MAX");
        if (!wanted) continue;
        std::size_t at = 0;
        uint64_t value = 0;
        while (at < word.size() && isDigit(word[at]) && value <= UINT32_MAX)
            value = value * 10 + static_cast<uint64_t>(word[at++] - '0');
        if (at == 0 || at != word.size() || value == 0 || value > UINT32_MAX) continue;
        highest = std::max(highest.value_or(0), static_cast<uint32_t>(value));
    }
    return highest;
}

std::unique_ptr<ImapConn> imapNew() {
    return std::unique_ptr<ImapConn>{new (std::nothrow) ImapConn};
}

int imapConnect(ImapConn& conn, const std::string& host, int port) {
    if (!connectionOpen(conn.connection, host, port)) return -1;
    // Once TLS is to be used, a failed handshake or an untrusted server ends
    // the check: nothing goes in plain text instead.
    if (port != 143 && port != 220 && !connectionSecure(conn.connection)) return -1;
    ImapAnswer answer;
    int size = imapGetAnswer(conn, answer);
    // A BYE for a greeting is a refusal: most often of one more connection.
    if (size <= 0 || answer[0] != '*' || startsWithNoCase(answer.data(), "* BYE")) {
        conn.connection.failure = size > 0 && isConnectionLimit(answer.data())
                                      ? NetFailure::tooManyConnections
                                      : NetFailure::notUnderstood;
        return -1;
    }
    return 0;
}

namespace {

int getAnswer(ImapConn& conn, ImapAnswer& answer, bool continuation, const Patience& patience) {
    ImapAnswerState state;
    state.tag = conn.tag;
    state.endsAtContinuation = continuation;
    ReceiveResult got = connectionReceive(
        conn.connection,
        [&](std::string_view piece) {
            imapAnswerFeed(state, piece);
            return state.ended;
        },
        patience);
    switch (got.end) {
    case ReceiveEnd::closed:
    case ReceiveEnd::failed:
        std::fputs("imapGetAnswer() receive error\n", stderr);
        conn.connection.failure = NetFailure::notUnderstood;
        return -1;
    case ReceiveEnd::overLimit:
        state.kept.clear();
        break;
    case ReceiveEnd::silence:
        imapAnswerFinish(state);
        break;
    case ReceiveEnd::done:
        break;
    }
    std::size_t size = std::min(state.kept.size(), answerRoom);
    std::copy_n(state.kept.data(), size, answer.data());
    answer[size] = '\0';
    return static_cast<int>(size);
}

// Asks for the capabilities, and switches to TLS when they offer it. After
// the switch the list is asked again when `askAgain`: the mechanisms the
// server offers before TLS need not be the ones it offers after.
int startSession(ImapConn& conn, ImapAnswer& answer, bool askAgain) {
    imapSendCommand(conn, "CAPABILITY\r\n");
    if (imapGetAnswer(conn, answer) < 0) return -1;
    Connection& link = conn.connection;
    // A server that takes no more connections may say so at once.
    if (!imapTaggedOk(answer.data(), conn.tag) && isConnectionLimit(answer.data())) {
        link.failure = NetFailure::tooManyConnections;
        return -1;
    }
    if (!link.tls && imapHasCapability(answer.data(), "STARTTLS")) {
        imapSendCommand(conn, "STARTTLS\r\n");
        // A refusal leaves the server talking plain text; the password is
        // then not sent at all rather than sent in the clear.
        if (imapGetAnswer(conn, answer) <= 0 || !imapTaggedOk(answer.data(), conn.tag)) {
            link.failure = NetFailure::tlsFailed;
            return -1;
        }
        // The server has taken STARTTLS: a failed handshake or an untrusted
        // server ends the check, with nothing more sent.
        if (!connectionSecure(link)) return -1;
        // The capabilities told before TLS no longer hold (RFC 3501 6.2.1).
        answer[0] = '\0';
        if (askAgain) {
            imapSendCommand(conn, "CAPABILITY\r\n");
            if (imapGetAnswer(conn, answer) < 0) return -1;
        }
    } else if (!link.tls && knownServerRefusesPlainText(connectionServer(link))) {
        // A server met over TLS before that offers no STARTTLS now: the
        // offer was most likely stripped on the way.
        connectionClose(link);
        link.failure = NetFailure::identityRefused;
        return -1;
    }
    return 0;
}

// The text as a quoted string, in a text that is wiped when it goes.
SecretText quotedSecret(std::string_view text) {
    SecretText quoted{"\""};
    for (char c : text) {
        if (c == '"' || c == '\\') quoted.append('\\');
        quoted.append(c);
    }
    quoted.append('"');
    return quoted;
}

// What the tagged line tells of the credential.
SignInVerdict verdictOf(ImapConn& conn, std::string_view answer) {
    if (imapTaggedOk(answer, conn.tag)) return SignInVerdict::accepted;
    std::string_view line = imapTaggedLine(answer, conn.tag);
    if (line.empty()) {
        conn.connection.failure = NetFailure::notUnderstood;
        return SignInVerdict::undecided;
    }
    return refusalVerdict(line, conn.connection.failure);
}

int sendLogin(ImapConn& conn, std::string_view name, std::string_view secret,
              SignInVerdict& verdict) {
    if (!isSingleLine(secret)) return -1;
    SecretText command{"LOGIN "};
    command.append(name).append(" ").append(quotedSecret(secret).view()).append("\r\n");
    imapSendCommand(conn, command.view());
    ImapAnswer answer;
    int size = getAnswer(conn, answer, false, signInPatience);
    if (size <= 0) {
        conn.connection.failure = NetFailure::notUnderstood;
        return -1;
    }
    verdict = verdictOf(conn, answer.data());
    return verdict == SignInVerdict::accepted ? 0 : -1;
}

// AUTHENTICATE with a token (RFC 7628; XOAUTH2 the same way). A refused
// token brings an error challenge first, which the client answers so that
// the server can end the exchange with its NO.
int sendAuthenticate(ImapConn& conn, const NetAccount& account, const Credential& credential,
                     const SaslOffer& offer, SignInVerdict& verdict) {
    std::optional<SecretText> first = tokenResponse(credential, account);
    if (!first) return -1;
    SecretText& response = *first;
    std::string command = "AUTHENTICATE " + std::string(saslMechanismName(credential.mechanism));
    ImapAnswer answer;
    if (offer.initialResponse) {
        SecretText line{command};
        imapSendCommand(conn, line.append(" ").append(response.view()).append("\r\n").view());
    } else {
        imapSendCommand(conn, command + "\r\n");
        if (getAnswer(conn, answer, true, conn.patience) <= 0 || answer[0] != '+') {
            verdict = answer[0] == '\0' ? SignInVerdict::undecided : verdictOf(conn, answer.data());
            return -1;
        }
        connectionSend(conn.connection, response.append("\r\n").view());
    }
    int size = getAnswer(conn, answer, true, signInPatience);
    if (size > 0 && answer[0] == '+') {
        connectionSend(conn.connection,
                       std::string(oauthErrorReply(credential.mechanism)) + "\r\n");
        size = getAnswer(conn, answer, false, signInPatience);
    }
    if (size <= 0) {
        conn.connection.failure = NetFailure::notUnderstood;
        return -1;
    }
    verdict = verdictOf(conn, answer.data());
    return verdict == SignInVerdict::accepted ? 0 : -1;
}

}  // namespace

int imapGetAnswer(ImapConn& conn, ImapAnswer& answer) {
    return getAnswer(conn, answer, false, conn.patience);
}

void imapSendCommand(ImapConn& conn, std::string_view command) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "A%04d ", conn.counter % 100000000);
    ++conn.counter;
    conn.tag = tag;
    // The line may hold a password: it goes in a text that is wiped.
    SecretText line{conn.tag};
    line.append(command);
    connectionSend(conn.connection, line.view());
}

int imapLogin(ImapConn& conn, const std::optional<std::string>& user,
              const std::optional<std::string>& password) {
    std::optional<std::string> name = imapQuoted(user.value_or(""));
    if (!name || !isSingleLine(password.value_or(""))) return -1;
    ImapAnswer answer;
    if (startSession(conn, answer, false) != 0) return -1;
    if (imapHasCapability(answer.data(), "LOGINDISABLED")) return -1;
    SignInVerdict verdict = SignInVerdict::undecided;
    return sendLogin(conn, *name, password.value_or(""), verdict);
}

int imapSignIn(ImapConn& conn, const NetAccount& account, const CredentialAsk& ask) {
    std::optional<std::string> name = imapQuoted(account.user.value_or(""));
    if (!name || !ask.passwordFits) return -1;
    ImapAnswer answer;
    if (startSession(conn, answer, ask.mayUseToken) != 0) return -1;
    SaslOffer offer = imapSaslOffer(answer.data());
    Credential credential = ask.choose(offer);
    SignInVerdict verdict = SignInVerdict::undecided;
    int result = -1;
    if (!credential.maySignIn())
        conn.connection.failure = NetFailure::credentialFailed;
    else if (credential.isToken())
        result = sendAuthenticate(conn, account, credential, offer, verdict);
    else if (!offer.loginDisabled)
        result = sendLogin(conn, *name, credential.secret.view(), verdict);
    else
        conn.connection.failure = NetFailure::signInRefused;
    ask.report(credential, verdict, conn.connection.failure);
    return result;
}

int imapStatus(ImapConn& conn, const std::optional<std::string>& folder) {
    std::optional<std::string> mailbox = imapQuoted(folder.value_or("INBOX"));
    if (!mailbox) return -1;
    imapSendCommand(conn, "STATUS " + *mailbox + " (MESSAGES UNSEEN)\r\n");
    ImapAnswer answer;
    int size = imapGetAnswer(conn, answer);
    if (size < 0) return -1;
    std::string_view text{answer.data(), static_cast<std::size_t>(size)};
    std::optional<ImapCounts> counts = imapParseStatus(text);
    // OK without usable counts is no count at all.
    if (size < 2 || !imapTaggedOk(text, conn.tag) || !counts) {
        conn.connection.failure = equalsNoCase(imapTaggedWord(text, conn.tag), "NO")
                                      ? NetFailure::noSuchFolder
                                      : NetFailure::notUnderstood;
        return -1;
    }
    conn.messages = counts->messages;
    conn.unseen = counts->unseen;
    return 0;
}

int imapGetMessages(const ImapConn* conn) { return conn != nullptr ? conn->messages : -1; }
int imapGetUnseen(const ImapConn* conn) { return conn != nullptr ? conn->unseen : -1; }

int imapLogout(ImapConn& conn) {
    imapSendCommand(conn, "LOGOUT\r\n");
    connectionClose(conn.connection);
    conn.tag.clear();
    return 0;
}

std::string imapReadTagged(ImapConn& conn, ImapLineReader& reader, const ImapLineTaker& other,
                           const Patience& patience, bool untilContinuation,
                           const ImapLiteralTaker& literal) {
    std::string tagged;
    bool ended = false;
    ReceiveResult got = connectionReceive(
        conn.connection,
        [&](std::string_view piece) {
            imapReadLines(
                reader, piece,
                [&](std::string_view line) {
                    bool last = (untilContinuation && line.starts_with("+")) ||
                                (!conn.tag.empty() && line.starts_with(conn.tag));
                    if (ended || !last) {
                        other(line);
                        return;
                    }
                    ended = true;
                    tagged = line;
                },
                literal);
            return ended;
        },
        patience);
    if (got.end != ReceiveEnd::done) {
        conn.connection.failure = NetFailure::notUnderstood;
        return {};
    }
    return tagged;
}

std::string imapExamine(ImapConn& conn, ImapLineReader& reader, std::string_view folder,
                        const ImapLineTaker& other, const Patience& patience) {
    std::optional<std::string> mailbox = imapQuoted(folder);
    if (!mailbox) return "NO";
    imapSendCommand(conn, "EXAMINE " + *mailbox + "\r\n");
    std::string tagged = imapReadTagged(conn, reader, other, patience);
    return std::string(imapTaggedWord(tagged, conn.tag));
}

namespace {

// A FETCH line that carries a body section (our header fields), not news of
// a message's flags.
bool carriesBody(std::string_view line) {
    if (!line.starts_with("* ")) return false;
    std::size_t fetch = std::string_view::npos;
    for (std::size_t at = 2; at + 7 <= line.size() && fetch == std::string_view::npos; ++at)
        if (startsWithNoCase(line.substr(at), " FETCH ")) fetch = at;
    if (fetch == std::string_view::npos) return false;
    for (std::size_t at = fetch; at + 5 <= line.size(); ++at)
        if (startsWithNoCase(line.substr(at), "BODY[")) return true;
    return false;
}

}  // namespace

bool imapReadNewest(ImapConn& conn, ImapLineReader& reader, bool esearch, int32_t messages,
                    const ImapLineTaker& other, const Patience& patience, MessageSummary& newest) {
    newest = {};
    std::optional<uint32_t> uid;
    auto searched = [&](std::string_view line) {
        if (std::optional<uint32_t> highest = imapSearchMax(line))
            uid = std::max(uid.value_or(0), *highest);
        else
            other(line);
    };
    imapSendCommand(conn, esearch
                              ? std::string("UID SEARCH RETURN (MAX) UNSEEN\r\n")
                              : "UID SEARCH " +
                                    std::to_string(std::max(1, messages - imapSearchWindow + 1)) +
                                    ":* UNSEEN\r\n");
    std::string tagged = imapReadTagged(conn, reader, searched, patience);
    if (tagged.empty()) return false;
    if (!uid || !imapTaggedOk(tagged, conn.tag)) return true;

    HeaderFields fields;
    imapSendCommand(conn, "UID FETCH " + std::to_string(*uid) +
                              " (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n");
    tagged = imapReadTagged(
        conn, reader,
        [&](std::string_view line) {
            if (!carriesBody(line)) other(line);
        },
        patience, false,
        [&](std::string_view line, std::string_view bytes) {
            // Streamed: a field past the line's 8 KiB is read all the same.
            if (carriesBody(line)) fields.feed(bytes);
        });
    if (tagged.empty()) return false;
    if (imapTaggedOk(tagged, conn.tag)) newest = fields.summary();
    return true;
}
