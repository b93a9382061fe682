#pragma once
// The TCP side of a mail connection: looking the server up, connecting, and
// receiving and sending plain bytes with a deadline. TLS sits above this.

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/fd.h"

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

// Receives at most `room` bytes from the socket, waiting no later than
// `deadline` for them.
Received socketReceive(int fd, char* into, std::size_t room,
                       std::chrono::steady_clock::time_point deadline);

// Sends the whole text before the deadline. A closed connection raises no
// signal; the result tells whether everything went.
bool socketSend(int fd, std::string_view text, std::chrono::steady_clock::time_point deadline);
