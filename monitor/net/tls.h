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

// Who answered at the other end of a link, as far as its certificate tells.
struct TlsPeer {
    // The SHA-256 fingerprint of the certificate in colon-separated hex, as
    // `openssl x509 -noout -fingerprint -sha256` prints it; "none" when the
    // server presented none.
    std::string fingerprint;
    // True when the chain verifies against the system's trust store and the
    // certificate names the host (or the address) the box names.
    bool verified = false;
    // Why it does not verify, in OpenSSL's words; empty when it does.
    std::string problem;
};

// The TLS state of one connection. The socket stays with the connection.
struct TlsLink {
    std::unique_ptr<ssl_ctx_st, SslCtxFree> ctx;  // a reference to the shared one
    std::unique_ptr<ssl_st, SslFree> ssl;         // freed before ctx
    TlsPeer peer;
};

// Runs the client handshake on `socket` (connected, non-blocking) and stores
// the link in `place`: 0 on success, -1 with `place` empty otherwise. `host`
// names the server for SNI and for checking its certificate. What the
// certificate proves is left in the link's `peer`: the link is made whatever
// it is, and the caller decides whether to trust the server.
int tlsStart(std::unique_ptr<TlsLink>& place, int socket, const std::string& host);

// Shuts the link down (one SSL_shutdown, its result ignored) and frees it.
void tlsClose(std::unique_ptr<TlsLink>& place);

// The descriptor of the link's socket.
int tlsSocket(const TlsLink& link);

enum class TlsIo { done, wantRead, wantWrite, closed, failed };

// One SSL_read or SSL_write; `count` gets the bytes moved when done.
TlsIo tlsRead(TlsLink& link, char* into, std::size_t room, std::size_t& count);
TlsIo tlsWrite(TlsLink& link, const char* from, std::size_t size, std::size_t& count);
