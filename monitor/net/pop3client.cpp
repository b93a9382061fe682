#include "monitor/net/pop3client.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <utility>

#include "common/numbers.h"

namespace {

constexpr std::size_t replyRoom = pop3ReplySize - 1;

int receiveReply(Pop3Conn& conn, Pop3Reply& reply, const Patience& patience);

// Sends a command and reads its reply: its length, 0 for none, -1 on error.
int exchange(Pop3Conn& conn, std::string_view command, Pop3Reply& reply,
             const Patience& patience = {}) {
    connectionSend(conn.connection, command);
    return receiveReply(conn, reply, patience);
}

bool positive(const Pop3Reply& reply) { return reply[0] == '+'; }

// The status line of a reply; anything after it is not part of the reply.
std::string_view statusLine(const Pop3Reply& reply, int length) {
    std::string_view received{reply.data(), static_cast<std::size_t>(std::max(length, 0))};
    std::size_t line = pop3LineLength(received);
    return line != 0 ? received.substr(0, line) : received;
}

}  // namespace

std::size_t pop3LineLength(std::string_view received) {
    std::size_t end = received.find('\n');
    return end == std::string_view::npos ? 0 : end + 1;
}

int32_t pop3ReplyNumber(std::string_view reply) {
    // Fields are split at runs of blanks, as strtok would split them.
    std::size_t start = reply.find_first_not_of(' ');
    if (start == std::string_view::npos) return 0;
    std::size_t gap = reply.find(' ', start);
    if (gap == std::string_view::npos) return 0;
    std::size_t second = reply.find_first_not_of(' ', gap);
    if (second == std::string_view::npos) return 0;
    std::string_view field = reply.substr(second);
    return leadingInteger(field.substr(0, field.find(' ')));
}

std::unique_ptr<Pop3Conn> pop3New() {
    return std::unique_ptr<Pop3Conn>{new (std::nothrow) Pop3Conn};
}

int pop3Connect(Pop3Conn& conn, const std::string& host, int port) {
    if (!connectionOpen(conn.connection, host, port)) return -1;
    // Once TLS is to be used, a failed handshake or an untrusted server ends
    // the check: nothing goes in plain text instead.
    if (port == 995 && !connectionSecure(conn.connection)) return -1;
    return 0;
}

namespace {

// A reply ends at its first line end. Only its first 1023 bytes are kept; the
// rest of a longer line is read and dropped, so that the next reply starts
// where it should. A server that falls silent ends the reply with what has
// come; one that goes on past the limits without a line end gave no reply.
int receiveReply(Pop3Conn& conn, Pop3Reply& reply, const Patience& patience) {
    std::size_t total = 0;
    ReceiveResult got = connectionReceive(
        conn.connection,
        [&](std::string_view piece) {
            std::size_t keep = std::min(piece.size(), replyRoom - total);
            std::copy_n(piece.data(), keep, reply.data() + total);
            total += keep;
            return piece.find('\n') != std::string_view::npos;
        },
        patience);
    if (got.end == ReceiveEnd::failed) {
        std::fprintf(stderr, "pop3Recv() error (%d)\n", got.error);
        conn.connection.failure = NetFailure::notUnderstood;
        return -1;
    }
    if (got.end == ReceiveEnd::overLimit) total = 0;
    if (total == 0) conn.connection.failure = NetFailure::notUnderstood;
    reply[total] = '\0';
    return static_cast<int>(total);
}

}  // namespace

int pop3Recv(Pop3Conn& conn, Pop3Reply& reply) { return receiveReply(conn, reply, {}); }

void pop3ListFeed(Pop3ListState& state, std::string_view bytes) {
    for (char byte : bytes) {
        if (state.ended) return;
        if (state.line.size() < replyRoom) state.line.push_back(byte);
        if (byte != '\n') continue;
        std::string_view line = state.line;
        bool last = state.first ? line.starts_with('-') : line == ".\r\n" || line == ".\n";
        if (state.takeLine && !state.first && !last) {
            if (line.starts_with('.')) line.remove_prefix(1);
            // A line longer than the limit comes cut, without its end.
            state.takeLine(line.ends_with('\n') ? line : std::string(line) + '\n');
        } else {
            std::size_t room = replyRoom - std::min(replyRoom, state.kept.size());
            state.kept.append(line.substr(0, room));
        }
        state.first = false;
        state.ended = last;
        state.line.clear();
    }
}

namespace {

bool readGreeting(Pop3Conn& conn) {
    Pop3Reply reply;
    int length = pop3Recv(conn, reply);
    if (length > 0 && positive(reply)) return true;
    if (length > 0)
        conn.connection.failure = isConnectionLimit(statusLine(reply, length))
                                      ? NetFailure::tooManyConnections
                                      : NetFailure::notUnderstood;
    return false;
}

// What a reply tells of the credential.
SignInVerdict verdictOf(Pop3Conn& conn, const Pop3Reply& reply, int length) {
    if (length <= 0) return SignInVerdict::undecided;
    if (positive(reply)) return SignInVerdict::accepted;
    return refusalVerdict(statusLine(reply, length), conn.connection.failure);
}

int sendUserPass(Pop3Conn& conn, std::string_view name, std::string_view secret,
                 SignInVerdict& verdict) {
    if (!isSingleLine(name) || !isSingleLine(secret)) return -1;
    Pop3Reply reply;
    std::string user = "USER " + std::string(name) + "\r\n";
    int length = exchange(conn, user, reply, signInPatience);
    if (length <= 0 || !positive(reply)) {
        verdict = verdictOf(conn, reply, length);
        return -1;
    }
    SecretText pass{"PASS "};
    pass.append(secret).append("\r\n");
    length = exchange(conn, pass.view(), reply, signInPatience);
    if (length <= 0) return -1;
    verdict = verdictOf(conn, reply, length);
    return positive(reply) ? 0 : -1;
}

// The SASL mechanisms of the server's CAPA list; none from a server
// without CAPA.
SaslOffer askCapabilities(Pop3Conn& conn) {
    connectionSend(conn.connection, "CAPA\r\n");
    Pop3ListState state;
    ReceiveResult got = connectionReceive(conn.connection, [&](std::string_view piece) {
        pop3ListFeed(state, piece);
        return state.ended;
    });
    if (got.end != ReceiveEnd::done) return SaslOffer{};
    return pop3SaslOffer(state.kept);
}

// A command line of POP3 holds at most 255 bytes with its CR LF (RFC 2449):
// a longer first response goes after the server's "+" (RFC 5034).
constexpr std::size_t commandLimit = 255;

// AUTH with a token. A refused token brings an error challenge first, which
// the client answers so that the server can end the exchange with -ERR.
int sendAuth(Pop3Conn& conn, const NetAccount& account, const Credential& credential,
             SignInVerdict& verdict) {
    std::optional<SecretText> first = tokenResponse(credential, account);
    if (!first) return -1;
    SecretText& response = *first;
    std::string command = "AUTH " + std::string(saslMechanismName(credential.mechanism));
    Pop3Reply reply;
    int length;
    if (command.size() + 1 + response.size() + 2 <= commandLimit) {
        SecretText line{command};
        length = exchange(conn, line.append(" ").append(response.view()).append("\r\n").view(),
                          reply, signInPatience);
    } else {
        length = exchange(conn, command + "\r\n", reply);
        if (length <= 0 || reply[0] != '+' || reply[1] == 'O') {
            verdict = verdictOf(conn, reply, length);
            return -1;
        }
        length = exchange(conn, response.append("\r\n").view(), reply, signInPatience);
    }
    // "+ " is the error challenge, "+OK" the welcome.
    if (length > 0 && reply[0] == '+' && reply[1] != 'O') {
        length = exchange(conn, std::string(oauthErrorReply(credential.mechanism)) + "\r\n", reply,
                          signInPatience);
    }
    verdict = verdictOf(conn, reply, length);
    return verdict == SignInVerdict::accepted ? 0 : -1;
}

}  // namespace

int pop3Login(Pop3Conn& conn, const std::optional<std::string>& user,
              const std::optional<std::string>& password) {
    std::string name = user.value_or("");
    if (!isSingleLine(name) || !isSingleLine(password.value_or(""))) return -1;
    if (!readGreeting(conn)) return -1;
    SignInVerdict verdict = SignInVerdict::undecided;
    return sendUserPass(conn, name, password.value_or(""), verdict);
}

int pop3SignIn(Pop3Conn& conn, const NetAccount& account, const CredentialAsk& ask) {
    if (!readGreeting(conn)) return -1;
    // Without a token command there is no mechanism to ask for.
    SaslOffer offer = ask.mayUseToken ? askCapabilities(conn) : SaslOffer{};
    Credential credential = ask.choose(offer);
    SignInVerdict verdict = SignInVerdict::undecided;
    int result = -1;
    if (!credential.maySignIn())
        conn.connection.failure = NetFailure::credentialFailed;
    else if (credential.isToken())
        result = sendAuth(conn, account, credential, verdict);
    else
        result = sendUserPass(conn, account.user.value_or(""), credential.secret.view(), verdict);
    ask.report(credential, verdict, conn.connection.failure);
    return result;
}

int pop3Stat(Pop3Conn& conn) {
    Pop3Reply reply;
    int length = exchange(conn, "STAT\r\n", reply);
    if (length <= 0 || !positive(reply)) {
        conn.connection.failure = NetFailure::notUnderstood;
        return -1;
    }
    conn.totalCount = pop3ReplyNumber(statusLine(reply, length));

    length = exchange(conn, "LAST\r\n", reply);
    if (length <= 0) return -1;
    if (positive(reply)) {
        // A LAST above the count gives a negative new count, kept as it is.
        int64_t fresh = int64_t{conn.totalCount} - pop3ReplyNumber(statusLine(reply, length));
        conn.newCount = static_cast<int>(std::clamp<int64_t>(fresh, INT32_MIN, INT32_MAX));
    } else {
        // A server without LAST: every message counts as new.
        conn.newCount = conn.totalCount;
    }
    return 1;
}

MessageSummary pop3Top(Pop3Conn& conn, int32_t message) {
    if (!connectionSend(conn.connection, "TOP " + std::to_string(message) + " 0\r\n")) return {};
    HeaderFields fields;
    Pop3ListState state;
    state.takeLine = [&](std::string_view line) { fields.feed(line); };
    ReceiveResult got = connectionReceive(conn.connection, [&](std::string_view piece) {
        pop3ListFeed(state, piece);
        return state.ended;
    });
    // A server without TOP, or a reply cut short, tells nothing sure.
    if (got.end != ReceiveEnd::done || !state.kept.starts_with('+')) return {};
    return fields.summary();
}

int pop3GetNew(const Pop3Conn* conn) { return conn != nullptr ? conn->newCount : -1; }
int pop3GetTotal(const Pop3Conn* conn) { return conn != nullptr ? conn->totalCount : -1; }

int pop3Quit(Pop3Conn& conn) {
    Pop3Reply reply;
    exchange(conn, "quit\r\n", reply);
    connectionClose(conn.connection);
    return 0;
}

void pop3Free(std::unique_ptr<Pop3Conn>& place) { place.reset(); }
