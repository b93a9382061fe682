#pragma once
// One connection to a mail server: the socket and, while it is encrypted, its
// TLS link, owned together. Sending and receiving go over whichever is in
// use, and one receive loop holds the limits that keep a hostile or silent
// server from holding a check (or the main loop) for long.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/fd.h"
#include "monitor/net/netfailure.h"
#include "monitor/net/socket.h"
#include "monitor/net/tls.h"

// A server that stays silent this long has said all it will say.
inline constexpr std::chrono::milliseconds replySilence{1000};
// A reply that trickles in never takes longer than this in all, and never
// brings more than netAnswerByteLimit bytes: a hostile server cannot hold a
// check (or the main loop) for longer, nor grow its memory.
inline constexpr std::chrono::milliseconds replyTimeLimit{5000};
inline constexpr std::size_t netAnswerByteLimit = 1 << 20;

// How long a reply may keep the client waiting: in silence, and in all.
struct Patience {
    std::chrono::milliseconds silence = replySilence;
    std::chrono::milliseconds total = replyTimeLimit;
};
// A sign-in's verdict may come late: servers slow down refusals to slow
// down guessing (dovecot's auth_failure_delay is 2 s), and a refusal taken
// for silence would be sent again at every check. Kept connections wait as
// long for every answer: they run in a thread of their own.
inline constexpr Patience signInPatience{std::chrono::seconds(30), std::chrono::seconds(30)};

struct Connection {
    std::string host;  // as the box names it, for checking the certificate
    int port = 0;
    SocketAddress address;
    FileDescriptor socket;
    std::unique_ptr<TlsLink> tls;  // none while the connection is plain
    // Why the dialogue on it failed, when it did.
    NetFailure failure = NetFailure::none;
    // Readable once the connection is to end at once (its account was
    // dropped): a wait for the server breaks off as if it had closed.
    int stopFd = -1;
};

// The steps of every dialogue before its own commands: connect, then, where
// TLS is to be used, secure; signing in is the client's.

// Connects to the first of the host's addresses that answers; false when
// none does (the failure: unreachable).
bool connectionOpen(Connection& conn, const std::string& host, int port);
// Runs the TLS handshake and judges the server by its certificate and the
// remembered servers. True when credentials may go over the link; otherwise
// the connection is closed at once, so that nothing more can be sent on it,
// in plain text least of all (the failure: tlsFailed or identityRefused).
bool connectionSecure(Connection& conn);
// Shuts the link down, if any, then closes the socket.
void connectionClose(Connection& conn);

// Why the dialogue on it failed: what the step that failed said, or, from a
// step that said nothing (a text that cannot be sent), that the exchange
// with the server did not work out.
NetFailure connectionFailure(const Connection& conn);

// The name the remembered servers know the connection's server by.
std::string connectionServer(const Connection& conn);

// Sends the whole text; false when it could not all go, or the connection is
// closed.
bool connectionSend(Connection& conn, std::string_view text);

enum class ReceiveEnd {
    done,       // the parser has its whole reply
    silence,    // the server fell silent before that
    closed,     // the server closed the connection
    failed,     // a receive error; `error` holds the failing call's result
    overLimit,  // past the time limit or the byte cap: no usable reply
};

struct ReceiveResult {
    ReceiveEnd end = ReceiveEnd::silence;
    int error = 0;
};

// Takes each piece as it arrives; true once the reply is complete.
using ReplyFeed = std::function<bool(std::string_view)>;

// Receives and feeds until the parser says done or a limit ends it.
ReceiveResult connectionReceive(Connection& conn, const ReplyFeed& feed,
                                const Patience& patience = {});

enum class Readiness { readable, stopped, timedOut };

// Waits, for as long as it takes, until the connection has something to
// read, the stop descriptor (when not -1) becomes readable, or the deadline
// comes. For a connection kept open between replies (IMAP IDLE).
Readiness connectionAwait(Connection& conn, int stopFd,
                          std::chrono::steady_clock::time_point deadline);

// True when the text can go into a command line without ending it early: no
// CR, LF or NUL. A password holding them could otherwise add commands.
bool isSingleLine(std::string_view text);
