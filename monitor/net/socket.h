#pragma once
// The TCP side of a mail connection: looking the server up, connecting, and
// receiving and sending plain bytes with a deadline. TLS sits above this.

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/fd.h"

// One address of a server, IPv4 or IPv6, with its port.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t size = 0;
};

// A server's addresses with the port set, in the order to try them; empty
// when the host is not known. The seam lets tests hand out addresses that no
// name service has.
using Resolver = std::vector<SocketAddress> (*)(const std::string& host, int port);
// nullptr restores the system's resolver.
void setResolver(Resolver resolver);
// The system's resolver: getaddrinfo, both families.
std::vector<SocketAddress> systemResolver(const std::string& host, int port);

// A dead address must not hold a check: the next address is tried when one
// has not connected in connectStagger (as Happy Eyeballs does, RFC 8305),
// each attempt is given up after connectAttemptLimit, and the whole connect
// after connectLimit.
inline constexpr std::chrono::milliseconds connectStagger{250};
inline constexpr std::chrono::milliseconds connectAttemptLimit{5000};
inline constexpr std::chrono::milliseconds connectLimit{10000};

// Looks the host up and connects to the first of its addresses that answers,
// storing it in `address`. The socket is left non-blocking: every wait after
// this is bounded by the caller. An unopened FileDescriptor on failure.
FileDescriptor connectTcp(const std::string& host, int port, SocketAddress& address);

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

// Waits until the socket is ready for `events` (poll's): none then, else how
// the receive ends: silence at the deadline, closed once the stop descriptor
// (when not -1) became readable.
std::optional<Received> socketAwait(int fd, short events,
                                    std::chrono::steady_clock::time_point deadline, int stopFd);

// Receives at most `room` bytes from the socket, waiting no later than
// `deadline` for them; the stop descriptor (when not -1) becoming readable
// ends the wait as a closed connection would.
Received socketReceive(int fd, char* into, std::size_t room,
                       std::chrono::steady_clock::time_point deadline, int stopFd = -1);

// Sends the whole text before the deadline. A closed connection raises no
// signal; the result tells whether everything went.
bool socketSend(int fd, std::string_view text, std::chrono::steady_clock::time_point deadline);
