#include "monitor/net/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "common/wait.h"

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

}  // namespace

FileDescriptor connectTcp(const std::string& host, int port, sockaddr_in& address) {
    if (port <= 0 || port > 65535) return FileDescriptor{};
    FileDescriptor socketFd{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (!socketFd.isOpen()) return FileDescriptor{};

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return FileDescriptor{};
    }
    AddrInfoList answer{found};
    address = *reinterpret_cast<const sockaddr_in*>(answer->ai_addr);
    address.sin_port = htons(static_cast<uint16_t>(port));
    answer.reset();

    int result;
    do {
        result =
            connect(socketFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return FileDescriptor{};

    int flags = fcntl(socketFd.get(), F_GETFL);
    if (flags < 0 || fcntl(socketFd.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return FileDescriptor{};
    return socketFd;
}

Received socketReceive(int fd, char* into, std::size_t room,
                       std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (!waitFor(fd, POLLIN, deadline)) return {ReceiveStatus::silence, 0, 0};
        ssize_t got = recv(fd, into, room, 0);
        if (got > 0) return {ReceiveStatus::data, static_cast<std::size_t>(got), 0};
        if (got == 0) return {ReceiveStatus::closed, 0, 0};
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return {ReceiveStatus::failed, 0, static_cast<int>(got)};
        }
    }
}

bool socketSend(int fd, std::string_view text, std::chrono::steady_clock::time_point deadline) {
    while (!text.empty()) {
        // MSG_NOSIGNAL: a server that has gone must not raise SIGPIPE.
        ssize_t put = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (put > 0) {
            text.remove_prefix(static_cast<std::size_t>(put));
        } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, deadline)) return false;
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}
