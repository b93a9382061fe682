#pragma once
// TLS on a connected mail socket. The OpenSSL types are only declared here,
// so the clients' headers stay free of OpenSSL.

#include <cstddef>
#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

struct SslCtxFree {
    void operator()(ssl_ctx_st* ctx) const;
};
struct SslFree {
    void operator()(ssl_st* ssl) const;
};

// The TLS state of one connection. The socket stays with the connection.
struct TlsLink {
    std::unique_ptr<ssl_ctx_st, SslCtxFree> ctx;
    std::unique_ptr<ssl_st, SslFree> ssl;  // freed before ctx
};

// Runs the client handshake on `socket` (connected, non-blocking) and stores
// the link in `place`: 0 on success, -1 with `place` empty otherwise. `host`
// names the server for SNI and for checking its certificate.
int tlsStart(std::unique_ptr<TlsLink>& place, int socket, const std::string& host);

// Shuts the link down (one SSL_shutdown, its result ignored) and frees it.
void tlsClose(std::unique_ptr<TlsLink>& place);

// The descriptor of the link's socket.
int tlsSocket(const TlsLink& link);

enum class TlsIo { done, wantRead, wantWrite, closed, failed };

// One SSL_read or SSL_write; `count` gets the bytes moved when done.
TlsIo tlsRead(TlsLink& link, char* into, std::size_t room, std::size_t& count);
TlsIo tlsWrite(TlsLink& link, const char* from, std::size_t size, std::size_t& count);
