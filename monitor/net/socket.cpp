#include "monitor/net/socket.h"

#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "common/wait.h"

namespace {

using Clock = std::chrono::steady_clock;

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

std::atomic<Resolver> resolverInUse{systemResolver};

// One connection attempt under way.
struct Attempt {
    FileDescriptor socket;
    std::size_t address = 0;
    Clock::time_point deadline;
};

enum class Started { connected, pending, failed };

Started startAttempt(const SocketAddress& address, FileDescriptor& socketFd) {
    socketFd.reset(
        socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socketFd.isOpen()) return Started::failed;
    if (connect(socketFd.get(), reinterpret_cast<const sockaddr*>(&address.storage),
                address.size) == 0)
        return Started::connected;
    // A connect broken off by a signal goes on in the background, like one
    // in progress.
    if (errno == EINPROGRESS || errno == EINTR) return Started::pending;
    socketFd.reset();
    return Started::failed;
}

bool connectedWithoutError(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

int millisecondsUntil(Clock::time_point when) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

}  // namespace

std::vector<SocketAddress> systemResolver(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return {};
    AddrInfoList answer{found};
    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress address;
        std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        address.size = entry->ai_addrlen;
        addresses.push_back(address);
    }
    return addresses;
}

void setResolver(Resolver resolver) {
    resolverInUse = resolver != nullptr ? resolver : systemResolver;
}

// Every address is tried in the resolver's order; an attempt that fails at
// once, or fails or runs out while waiting, starts the next one at once.
FileDescriptor connectTcp(const std::string& host, int port, SocketAddress& address) {
    if (port <= 0 || port > 65535) return FileDescriptor{};
    std::vector<SocketAddress> addresses = resolverInUse.load()(host, port);

    auto limit = Clock::now() + connectLimit;
    std::vector<Attempt> attempts;
    std::size_t next = 0;
    auto nextStart = Clock::now();
    for (;;) {
        auto now = Clock::now();
        if (now >= limit) return FileDescriptor{};
        while (next < addresses.size() && (attempts.empty() || now >= nextStart)) {
            Attempt attempt{FileDescriptor{}, next, now + connectAttemptLimit};
            Started started = startAttempt(addresses[next++], attempt.socket);
            if (started == Started::connected) {
                address = addresses[attempt.address];
                return std::move(attempt.socket);
            }
            if (started == Started::pending) {
                attempts.push_back(std::move(attempt));
                nextStart = now + connectStagger;
                break;
            }
        }
        if (attempts.empty()) return FileDescriptor{};

        auto wake = limit;
        if (next < addresses.size()) wake = std::min(wake, nextStart);
        std::vector<pollfd> waiting;
        for (const Attempt& attempt : attempts) {
            wake = std::min(wake, attempt.deadline);
            waiting.push_back({attempt.socket.get(), POLLOUT, 0});
        }
        int ready = poll(waiting.data(), waiting.size(), millisecondsUntil(wake));
        if (ready < 0 && errno != EINTR) return FileDescriptor{};

        now = Clock::now();
        bool ended = false;
        for (std::size_t at = attempts.size(); at-- > 0;) {
            if (waiting[at].revents != 0) {
                if (connectedWithoutError(attempts[at].socket.get())) {
                    address = addresses[attempts[at].address];
                    return std::move(attempts[at].socket);
                }
            } else if (now < attempts[at].deadline) {
                continue;
            }
            attempts.erase(attempts.begin() + static_cast<std::ptrdiff_t>(at));
            ended = true;
        }
        if (ended) nextStart = now;
    }
}

std::optional<Received> socketAwait(int fd, short events,
                                    std::chrono::steady_clock::time_point deadline, int stopFd) {
    switch (waitUntil(deadline, fd, events, stopFd)) {
    case Woken::deadline:
        return Received{ReceiveStatus::silence, 0, 0};
    case Woken::raised:
        return Received{ReceiveStatus::closed, 0, 0};
    case Woken::ready:
        break;
    }
    return std::nullopt;
}

Received socketReceive(int fd, char* into, std::size_t room,
                       std::chrono::steady_clock::time_point deadline, int stopFd) {
    for (;;) {
        if (std::optional<Received> ended = socketAwait(fd, POLLIN, deadline, stopFd))
            return *ended;
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
