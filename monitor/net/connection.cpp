#include "monitor/net/connection.h"

#include <poll.h>

#include "common/wait.h"
#include "monitor/net/knownservers.h"

namespace {

using Clock = std::chrono::steady_clock;

Received receiveTls(TlsLink& link, char* into, std::size_t room, Clock::time_point deadline,
                    int stopFd) {
    int fd = tlsSocket(link);
    for (;;) {
        std::size_t count = 0;
        short events = 0;
        switch (tlsRead(link, into, room, count)) {
        case TlsIo::done:
            return {ReceiveStatus::data, count, 0};
        case TlsIo::wantRead:
            events = POLLIN;
            break;
        case TlsIo::wantWrite:
            events = POLLOUT;
            break;
        case TlsIo::closed:
            return {ReceiveStatus::closed, 0, 0};
        case TlsIo::failed:
            return {ReceiveStatus::failed, 0, -1};
        }
        if (std::optional<Received> ended = socketAwait(fd, events, deadline, stopFd))
            return *ended;
    }
}

bool sendTls(TlsLink& link, std::string_view text, Clock::time_point deadline) {
    int fd = tlsSocket(link);
    while (!text.empty()) {
        std::size_t count = 0;
        switch (tlsWrite(link, text.data(), text.size(), count)) {
        case TlsIo::done:
            text.remove_prefix(count);
            break;
        case TlsIo::wantRead:
            if (!waitFor(fd, POLLIN, deadline)) return false;
            break;
        case TlsIo::wantWrite:
            if (!waitFor(fd, POLLOUT, deadline)) return false;
            break;
        case TlsIo::closed:
        case TlsIo::failed:
            return false;
        }
    }
    return true;
}

Received receiveSome(Connection& conn, char* into, std::size_t room, Clock::time_point deadline) {
    return conn.tls ? receiveTls(*conn.tls, into, room, deadline, conn.stopFd)
                    : socketReceive(conn.socket.get(), into, room, deadline, conn.stopFd);
}

}  // namespace

bool connectionOpen(Connection& conn, const std::string& host, int port) {
    conn.host = host;
    conn.port = port;
    conn.socket = connectTcp(host, port, conn.address);
    if (!conn.socket.isOpen()) conn.failure = NetFailure::unreachable;
    return conn.socket.isOpen();
}

bool connectionSecure(Connection& conn) {
    if (tlsStart(conn.tls, conn.socket.get(), conn.host) != 0) {
        conn.failure = NetFailure::tlsFailed;
    } else if (!knownServerAccepts(connectionServer(conn), conn.tls->peer)) {
        conn.failure = NetFailure::identityRefused;
    } else {
        return true;
    }
    connectionClose(conn);
    return false;
}

std::string connectionServer(const Connection& conn) {
    return knownServerName(conn.host, conn.port);
}

void connectionClose(Connection& conn) {
    tlsClose(conn.tls);
    conn.socket.reset();
}

NetFailure connectionFailure(const Connection& conn) {
    return conn.failure != NetFailure::none ? conn.failure : NetFailure::notUnderstood;
}

bool connectionSend(Connection& conn, std::string_view text) {
    if (!conn.socket.isOpen()) return false;
    auto deadline = Clock::now() + replyTimeLimit;
    return conn.tls ? sendTls(*conn.tls, text, deadline)
                    : socketSend(conn.socket.get(), text, deadline);
}

ReceiveResult connectionReceive(Connection& conn, const ReplyFeed& feed, const Patience& patience) {
    if (!conn.socket.isOpen()) return {ReceiveEnd::closed, 0};
    char chunk[4096];
    std::size_t received = 0;
    auto limit = Clock::now() + patience.total;
    for (;;) {
        auto deadline = std::min(limit, Clock::now() + patience.silence);
        Received got = receiveSome(conn, chunk, sizeof chunk, deadline);
        switch (got.status) {
        case ReceiveStatus::failed:
            return {ReceiveEnd::failed, got.error};
        case ReceiveStatus::closed:
            return {ReceiveEnd::closed, 0};
        case ReceiveStatus::data:
            received += got.count;
            if (feed({chunk, got.count})) return {ReceiveEnd::done, 0};
            break;
        case ReceiveStatus::silence:
            break;
        }
        // Past the limits the server has not answered at all.
        if (received >= netAnswerByteLimit || Clock::now() >= limit)
            return {ReceiveEnd::overLimit, 0};
        if (got.status == ReceiveStatus::silence) return {ReceiveEnd::silence, 0};
    }
}

Readiness connectionAwait(Connection& conn, int stopFd, Clock::time_point deadline) {
    if (conn.tls && tlsPending(*conn.tls)) return Readiness::readable;
    switch (waitUntil(deadline, conn.socket.get(), POLLIN, stopFd)) {
    case Woken::raised:
        return Readiness::stopped;
    case Woken::ready:
        return Readiness::readable;  // data, or the end of the connection
    case Woken::deadline:
        break;
    }
    return Readiness::timedOut;
}

bool isSingleLine(std::string_view text) {
    return text.find_first_of(std::string_view{"\r\n\0", 3}) == std::string_view::npos;
}
