#include "monitor/net/pop3.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "common/clock.h"
#include "common/numbers.h"
#include "monitor/net/account.h"

namespace {

constexpr std::size_t replyRoom = pop3ReplySize - 1;

// Sends a command and reads its reply: its length, 0 for none, -1 on error.
int exchange(Pop3Conn& conn, std::string_view command, Pop3Reply& reply) {
    connectionSend(conn.connection, command);
    return pop3Recv(conn, reply);
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
    if (port == 995) connectionStartTls(conn.connection);
    return 0;
}

// A reply ends at its first line end. Only its first 1023 bytes are kept; the
// rest of a longer line is read and dropped, so that the next reply starts
// where it should. A server that falls silent ends the reply with what has
// come; one that goes on past the limits without a line end gave no reply.
int pop3Recv(Pop3Conn& conn, Pop3Reply& reply) {
    std::size_t total = 0;
    ReceiveResult got = connectionReceive(conn.connection, [&](std::string_view piece) {
        std::size_t keep = std::min(piece.size(), replyRoom - total);
        std::copy_n(piece.data(), keep, reply.data() + total);
        total += keep;
        return piece.find('\n') != std::string_view::npos;
    });
    if (got.end == ReceiveEnd::failed) {
        std::fprintf(stderr, "pop3Recv() error (%d)\n", got.error);
        return -1;
    }
    if (got.end == ReceiveEnd::overLimit) total = 0;
    reply[total] = '\0';
    return static_cast<int>(total);
}

int pop3Login(Pop3Conn& conn, const std::optional<std::string>& user,
              const std::optional<std::string>& password) {
    std::string name = user.value_or("");
    std::string secret = password.value_or("");
    if (!isSingleLine(name) || !isSingleLine(secret)) return -1;

    Pop3Reply reply;
    if (pop3Recv(conn, reply) <= 0 || !positive(reply)) return -1;
    if (exchange(conn, "USER " + name + "\r\n", reply) <= 0 || !positive(reply)) return -1;
    if (exchange(conn, "PASS " + secret + "\r\n", reply) <= 0) return -1;
    return positive(reply) ? 0 : -1;
}

int pop3Stat(Pop3Conn& conn) {
    Pop3Reply reply;
    int length = exchange(conn, "STAT\r\n", reply);
    if (length <= 0 || !positive(reply)) return -1;
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

int pop3GetNew(const Pop3Conn* conn) { return conn != nullptr ? conn->newCount : -1; }
int pop3GetTotal(const Pop3Conn* conn) { return conn != nullptr ? conn->totalCount : -1; }

int pop3Quit(Pop3Conn& conn) {
    Pop3Reply reply;
    exchange(conn, "quit\r\n", reply);
    connectionClose(conn.connection);
    return 0;
}

void pop3Free(std::unique_ptr<Pop3Conn>& place) { place.reset(); }

int pop3Check(Box& box, int64_t now) {
    if (!accountCheckDue(box, now)) return 0;
    std::unique_ptr<Pop3Conn> conn = pop3New();
    if (!conn) return 0;
    box.timeStamp = wallClockNow();

    int result = 0;
    if (pop3Connect(*conn, box.path, box.port) != 0 ||
        pop3Login(*conn, box.user, box.password) != 0 || pop3Stat(*conn) != 1) {
        // A failed step drops the connection without a goodbye.
        connectionClose(conn->connection);
    } else {
        pop3Quit(*conn);
        result = storeAccountCounts(box, pop3GetNew(conn.get()), pop3GetTotal(conn.get()));
    }
    pop3Free(conn);
    return result;
}
