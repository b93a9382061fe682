#pragma once
// Scripted mail servers for the tests: a listening socket on 127.0.0.1 (or
// another address, IPv6 too) and a thread that plays a script against each
// client, recording what it sent, in plain text or over TLS.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// The server's end of one connection.
class Peer {
public:
    Peer(int socket, std::string& lines, std::mutex& linesLock)
        : fd(socket), heard(lines), lock(linesLock) {}
    ~Peer() {
        if (ssl != nullptr) SSL_free(ssl);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Takes the client's TLS handshake with the context's certificate; from
    // then on the peer says and hears over TLS. False when it fails.
    bool startTls(SSL_CTX* context) {
        ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) return true;
        SSL_free(ssl);
        ssl = nullptr;
        return false;
    }
    // Reads what the client sends within the wait (a ClientHello, say),
    // noting it as it came; false when nothing came.
    bool hearBytes(std::chrono::milliseconds wait = std::chrono::seconds(5)) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(wait.count())) <= 0) return false;
        char bytes[4096];
        ssize_t got = recv(fd, bytes, sizeof bytes, 0);
        if (got <= 0) return false;
        note(std::string(bytes, static_cast<std::size_t>(got)));
        return true;
    }

    // Sends the text, optionally one byte at a time with a pause between.
    void say(std::string_view text, std::chrono::milliseconds gap = {}) {
        if (gap.count() == 0) {
            sendRaw(text);
            return;
        }
        for (char c : text) {
            sendRaw({&c, 1});
            std::this_thread::sleep_for(gap);
        }
    }
    // Reads one line (without its CR LF); false when the client went away.
    bool hear(std::string& line, std::chrono::milliseconds wait = std::chrono::seconds(5)) {
        line.clear();
        for (;;) {
            pollfd entry{fd, POLLIN, 0};
            if ((ssl == nullptr || SSL_pending(ssl) == 0) &&
                poll(&entry, 1, static_cast<int>(wait.count())) <= 0)
                return false;
            char c;
            if (ssl != nullptr ? SSL_read(ssl, &c, 1) != 1 : recv(fd, &c, 1, 0) != 1) return false;
            if (c == '\n') break;
            line.push_back(c);
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        note(line + "\n");
        return true;
    }
    // Waits for the client to end the connection: true when it did, false
    // when the wait ran out first. Whatever it sends meanwhile is noted as
    // it came.
    bool waitForClose(std::chrono::milliseconds wait) {
        auto end = std::chrono::steady_clock::now() + wait;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left.count())) < 0) return false;
            char bytes[512];
            if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t got = recv(fd, bytes, sizeof bytes, 0);
            if (got <= 0) return true;
            note(std::string(bytes, static_cast<std::size_t>(got)));
        }
    }
    int socket() const { return fd; }

private:
    void note(const std::string& text) {
        std::lock_guard hold(lock);
        heard += text;
    }
    void sendRaw(std::string_view text) {
        while (!text.empty()) {
            ssize_t put = ssl != nullptr
                              ? SSL_write(ssl, text.data(), static_cast<int>(text.size()))
                              : send(fd, text.data(), text.size(), MSG_NOSIGNAL);
            if (put <= 0) return;
            text.remove_prefix(static_cast<std::size_t>(put));
        }
    }
    int fd;
    SSL* ssl = nullptr;
    std::string& heard;
    std::mutex& lock;
};

class ScriptedServer {
public:
    using Script = std::function<void(Peer&)>;

    ScriptedServer(const char* address, int port, Script play, int clients = 1)
        : script(std::move(play)) {
        sockaddr_in6 where6{};
        sockaddr_in where{};
        bool six = inet_pton(AF_INET6, address, &where6.sin6_addr) == 1;
        listener = ::socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        where6.sin6_family = AF_INET6;
        where6.sin6_port = htons(static_cast<uint16_t>(port));
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &where.sin_addr);
        bound = (six ? bind(listener, reinterpret_cast<sockaddr*>(&where6), sizeof where6)
                     : bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where)) == 0 &&
                listen(listener, 8) == 0;
        worker = std::thread([this, clients] { serve(clients); });
    }
    ~ScriptedServer() {
        finish();
        close(listener);
    }
    bool ready() const { return bound; }
    // Every line the clients sent, each ended by a newline, once the script
    // has played to its end.
    std::string heard() {
        finish();
        std::lock_guard hold(lock);
        return lines;
    }

private:
    void finish() {
        shutdown(listener, SHUT_RDWR);
        if (worker.joinable()) worker.join();
    }
    void serve(int clients) {
        for (int served = 0; served < clients && bound; ++served) {
            pollfd entry{listener, POLLIN, 0};
            if (poll(&entry, 1, 10000) <= 0) return;
            int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) return;
            Peer peer(client, lines, lock);
            script(peer);
            close(client);
        }
    }

    Script script;
    int listener = -1;
    bool bound = false;
    std::mutex lock;
    std::string lines;
    std::thread worker;
};
