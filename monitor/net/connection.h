#pragma once
// One connection to a mail server: the socket and, while it is encrypted, its
// TLS link, owned together. Sending and receiving go over whichever is in
// use, and one receive loop holds the limits that keep a hostile or silent
// server from holding a check (or the main loop) for long.

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/fd.h"
#include "monitor/net/socket.h"
#include "monitor/net/tls.h"

// A server that stays silent this long has said all it will say.
inline constexpr std::chrono::milliseconds replySilence{1000};
// A reply that trickles in never takes longer than this in all, and never
// brings more than netAnswerByteLimit bytes: a hostile server cannot hold a
// check (or the main loop) for longer, nor grow its memory.
inline constexpr std::chrono::milliseconds replyTimeLimit{5000};
inline constexpr std::size_t netAnswerByteLimit = 1 << 20;

struct Connection {
    std::string host;  // as the box names it, for checking the certificate
    int port = 0;
    sockaddr_in address{};
    FileDescriptor socket;
    std::unique_ptr<TlsLink> tls;  // none while the connection is plain
};

// Connects to the host's first address; false when that fails.
bool connectionOpen(Connection& conn, const std::string& host, int port);
// Starts TLS on the connected socket (tlsStart): 0 or -1.
int connectionStartTls(Connection& conn);
// Shuts the link down, if any, then closes the socket.
void connectionClose(Connection& conn);

// Sends the whole text; false when it could not all go.
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
ReceiveResult connectionReceive(Connection& conn, const ReplyFeed& feed);

// True when the text can go into a command line without ending it early: no
// CR, LF or NUL. A password holding them could otherwise add commands.
bool isSingleLine(std::string_view text);
