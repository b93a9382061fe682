#include "monitor/net/idle.h"

#include <cstdlib>

#include "common/text.h"

namespace {

// Lines are kept to this length; the rest of a longer line is dropped, so a
// flood of long lines holds no more memory than one.
constexpr std::size_t lineRoom = 1023;

// Splits what arrives into lines; calls `take` with each whole line,
// without its line end.
template <typename Take>
void feedLines(ImapIdle& idle, std::string_view piece, Take take) {
    for (char byte : piece) {
        if (byte == '\n') {
            std::string_view line = idle.line;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            take(line);
            idle.line.clear();
        } else if (idle.line.size() < lineRoom) {
            idle.line.push_back(byte);
        }
    }
}

// Waits for the continuation that tells that IDLE goes on: true then, false
// when the server refused it or went.
bool awaitContinuation(ImapIdle& idle) {
    bool going = false;
    bool refused = false;
    ReceiveResult got = connectionReceive(idle.conn->connection, [&](std::string_view piece) {
        feedLines(idle, piece, [&](std::string_view line) {
            if (line.starts_with("+")) going = true;
            if (line.starts_with(idle.idleTag)) refused = true;
        });
        return going || refused;
    });
    return got.end == ReceiveEnd::done && going;
}

bool startIdle(ImapIdle& idle) {
    imapSendCommand(*idle.conn, "IDLE\r\n");
    idle.idleTag = idle.conn->tag;
    idle.line.clear();
    return awaitContinuation(idle);
}

}  // namespace

bool imapIdleTellsOfMail(std::string_view line) {
    if (!line.starts_with("* ")) return false;
    line.remove_prefix(2);
    std::size_t digits = 0;
    while (digits < line.size() && isDigit(line[digits])) ++digits;
    if (digits == 0 || digits == line.size() || line[digits] != ' ') return false;
    std::string_view what = line.substr(digits + 1);
    std::string_view word = what.substr(0, what.find(' '));
    return equalsNoCase(word, "EXISTS") || equalsNoCase(word, "EXPUNGE") ||
           equalsNoCase(word, "RECENT") || equalsNoCase(word, "FETCH");
}

IdleStart imapIdleStart(ImapIdle& idle, const Box& box) {
    idle.conn = imapNew();
    if (!idle.conn) return IdleStart::failed;
    ImapConn& conn = *idle.conn;
    if (imapConnect(conn, box.path, box.port) != 0) {
        connectionClose(conn.connection);
        return IdleStart::failed;
    }
    if (imapSignIn(conn, box) != 0) {
        imapLogout(conn);
        return IdleStart::failed;
    }
    // The capabilities may grow once signed in.
    ImapAnswer answer;
    imapSendCommand(conn, "CAPABILITY\r\n");
    if (imapGetAnswer(conn, answer) <= 0 || !imapTaggedOk(answer.data(), conn.tag)) {
        imapLogout(conn);
        return IdleStart::failed;
    }
    if (!imapHasCapability(answer.data(), "IDLE")) {
        imapLogout(conn);
        return IdleStart::notOffered;
    }
    std::optional<std::string> folder = imapQuoted(box.folder.value_or("INBOX"));
    if (!folder) {
        imapLogout(conn);
        return IdleStart::failed;
    }
    // EXAMINE, not SELECT: the folder is opened read-only, nothing marked read.
    imapSendCommand(conn, "EXAMINE " + *folder + "\r\n");
    if (imapGetAnswer(conn, answer) <= 0 || !imapTaggedOk(answer.data(), conn.tag) ||
        !startIdle(idle)) {
        imapLogout(conn);
        return IdleStart::failed;
    }
    return IdleStart::idling;
}

IdleNews imapIdleWait(ImapIdle& idle, int stopFd, std::chrono::steady_clock::time_point deadline) {
    if (!idle.conn || !idle.conn->connection.socket.isOpen()) return IdleNews::dropped;
    for (;;) {
        switch (connectionAwait(idle.conn->connection, stopFd, deadline)) {
        case Readiness::stopped:
            return IdleNews::stopped;
        case Readiness::timedOut:
            return IdleNews::timeUp;
        case Readiness::readable:
            break;
        }
        bool mail = false;
        bool ended = false;
        ReceiveResult got = connectionReceive(idle.conn->connection, [&](std::string_view piece) {
            feedLines(idle, piece, [&](std::string_view line) {
                mail = mail || imapIdleTellsOfMail(line);
                // The server ended the IDLE, or is going.
                ended = ended || line.starts_with(idle.idleTag) || startsWithNoCase(line, "* BYE");
            });
            return true;
        });
        if (got.end != ReceiveEnd::done || ended) return IdleNews::dropped;
        if (mail) return IdleNews::mail;
    }
}

bool imapIdleRenew(ImapIdle& idle) {
    if (!idle.conn || !connectionSend(idle.conn->connection, "DONE\r\n")) return false;
    ImapAnswer answer;
    if (imapGetAnswer(*idle.conn, answer) <= 0 || !imapTaggedOk(answer.data(), idle.idleTag))
        return false;
    return startIdle(idle);
}

void imapIdleEnd(ImapIdle& idle) {
    if (!idle.conn) return;
    if (idle.conn->connection.socket.isOpen()) {
        connectionSend(idle.conn->connection, "DONE\r\n");
        imapLogout(*idle.conn);
    }
    idle.conn.reset();
}
