#pragma once
// The TCP side of a mail connection, shared by the POP3 and IMAP clients:
// the owned descriptor, the connection, and receiving and sending with or
// without a TLS link.

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/fd.h"
#include "common/wait.h"

struct TlsLink;

// A server that stays silent this long has said all it will say.
inline constexpr std::chrono::milliseconds replySilence{1000};
// A reply that trickles in never takes longer than this in all, and never
// brings more than netAnswerByteLimit bytes: a hostile server cannot hold a
// check (or the main loop) for longer, nor grow its memory.
inline constexpr std::chrono::milliseconds replyTimeLimit{5000};
inline constexpr std::size_t netAnswerByteLimit = 1 << 20;

// Looks the host up (IPv4), connects to the first address and stores it in
// `address`. The socket is left non-blocking: every wait after this is bounded
// by the caller. An unopened FileDescriptor on failure.
FileDescriptor connectTcp(const std::string& host, int port, sockaddr_in& address);

enum class ReceiveStatus {
    data,     // `count` bytes were stored
    silence,  // nothing came before the deadline
    closed,   // the server closed the connection
    failed,   // a receive error; `error` holds the result of the failing call
};

struct Received {
    ReceiveStatus status = ReceiveStatus::silence;
    std::size_t count = 0;
    int error = 0;
};

// Receives at most `room` bytes, over the link when there is one, waiting no
// later than `deadline` for them.
Received receiveSome(int fd, TlsLink* tls, char* into, std::size_t room,
                     std::chrono::steady_clock::time_point deadline);

// True when the text can go into a command line without ending it early: no
// CR, LF or NUL. A password holding them could otherwise add commands.
bool isSingleLine(std::string_view text);

// Sends the whole text, over the link when there is one. A closed connection
// raises no signal; the result tells whether everything went.
bool sendAll(int fd, TlsLink* tls, std::string_view text);
