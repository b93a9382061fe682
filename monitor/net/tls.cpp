#include "monitor/net/tls.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <mutex>
#include <new>
#include <set>

namespace {

using Clock = std::chrono::steady_clock;

// A handshake that makes no progress for this long, or takes longer than the
// limit in all, is given up like a silent reply.
constexpr std::chrono::milliseconds handshakeSilence{5000};
constexpr std::chrono::milliseconds handshakeLimit{10000};
// Certificates already warned about; a server that makes a new one for every
// connection must not grow the set without end.
constexpr std::size_t warnedLimit = 256;

std::mutex subjectLock;  // guards lastSubject alone
std::optional<std::string> lastSubject;

std::mutex warnedLock;
std::set<std::string> warned;  // SHA-256 digests; "" for a server without one

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct OpenSslText {
    char* text;
    ~OpenSslText() { OPENSSL_free(text); }
    const char* get() const { return text != nullptr ? text : ""; }
};

// OpenSSL writes to the socket with write(), which raises SIGPIPE on a
// connection the server has closed. The signal is held back from this thread
// while OpenSSL works and taken away again if the work raised it.
class SigpipeHold {
public:
    SigpipeHold() {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &saved);
    }
    ~SigpipeHold() {
        if (!wasPending) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                timespec none{};
                sigtimedwait(&pipe, nullptr, &none);
            }
        }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
    SigpipeHold(const SigpipeHold&) = delete;
    SigpipeHold& operator=(const SigpipeHold&) = delete;

private:
    sigset_t pipe{};
    sigset_t saved{};
    bool wasPending = false;
};

bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0) return true;
        if (ready == 0) return false;
    }
}

bool handshake(SSL* ssl, int socket) {
    auto limit = Clock::now() + handshakeLimit;
    for (;;) {
        ERR_clear_error();
        int result = SSL_connect(ssl);
        if (result == 1) return true;
        auto deadline = std::min(limit, Clock::now() + handshakeSilence);
        switch (SSL_get_error(ssl, result)) {
        case SSL_ERROR_WANT_READ:
            if (!waitFor(socket, POLLIN, deadline)) return false;
            break;
        case SSL_ERROR_WANT_WRITE:
            if (!waitFor(socket, POLLOUT, deadline)) return false;
            break;
        default:
            return false;
        }
    }
}

bool isIpv4Literal(const std::string& host) {
    in_addr ignored{};
    return inet_pton(AF_INET, host.c_str(), &ignored) == 1;
}

// The certificate is checked against the system's trust store and the host
// name. A failure does not stop the link (the monitor only counts mail), but
// the user is told once per certificate.
void warnIfUntrusted(SSL* ssl, X509* certificate) {
    std::string key;
    const char* reason = "the server presented no certificate";
    long verdict = X509_V_OK;
    if (certificate != nullptr) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) size = 0;
        key.assign(reinterpret_cast<const char*>(digest), size);
        verdict = SSL_get_verify_result(ssl);
        if (verdict == X509_V_OK) return;
    }
    std::lock_guard hold(warnedLock);
    if (warned.count(key) != 0) return;
    if (warned.size() >= warnedLimit) warned.clear();
    warned.insert(key);
    if (certificate == nullptr) {
        std::fprintf(stderr, "quorvik warning : %s\n", reason);
    } else {
        std::fprintf(stderr,
                     "quorvik warning : the certificate of the server could not be verified: "
                     "%s\n",
                     X509_verify_cert_error_string(verdict));
    }
}

void printCipher(SSL* ssl) {
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (cipher == nullptr) return;
    int bits = 0;
    SSL_CIPHER_get_bits(cipher, &bits);
    std::printf("Cipher: %s with %d bits\n", SSL_CIPHER_get_name(cipher), bits);
}

// The report on standard output, once per change of server certificate.
// The lock also keeps the lines of two handshakes from interleaving.
void reportCertificate(SSL* ssl, X509* certificate) {
    std::lock_guard hold(subjectLock);
    if (certificate == nullptr) {
        std::fputs("No certificates!\n", stdout);
    } else {
        OpenSslText subject{X509_NAME_oneline(X509_get_subject_name(certificate), nullptr, 0)};
        if (lastSubject && *lastSubject == subject.get()) return;
        std::fputs("Server has following certificate(s):\n", stdout);
        std::printf("Subject: %s\n", subject.get());
        lastSubject = subject.get();
        OpenSslText issuer{X509_NAME_oneline(X509_get_issuer_name(certificate), nullptr, 0)};
        std::printf("Issuer : %s\n", issuer.get());
    }
    printCipher(ssl);
    std::fflush(stdout);
}

}  // namespace

void SslCtxFree::operator()(ssl_ctx_st* ctx) const { SSL_CTX_free(ctx); }
void SslFree::operator()(ssl_st* ssl) const { SSL_free(ssl); }

int tlsStart(std::unique_ptr<TlsLink>& place, int socket, const std::string& host) {
    place.reset();
    std::unique_ptr<TlsLink> link{new (std::nothrow) TlsLink};
    if (!link) return -1;
    SigpipeHold hold;
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    link->ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (link->ctx) {
        SSL_CTX_set_default_verify_paths(link->ctx.get());
        link->ssl.reset(SSL_new(link->ctx.get()));
    }
    if (!link->ssl) {
        std::fputs("SSL_new() error\n", stderr);
        return -1;
    }
    SSL* ssl = link->ssl.get();
    if (!host.empty()) {
        if (isIpv4Literal(host)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
        } else {
            SSL_set_tlsext_host_name(ssl, host.c_str());
            SSL_set1_host(ssl, host.c_str());
        }
    }
    if (SSL_set_fd(ssl, socket) != 1 || !handshake(ssl, socket)) {
        std::fputs("SSL_connect failed\n", stderr);
        ERR_clear_error();
        return -1;
    }

    std::unique_ptr<X509, X509Free> certificate{SSL_get1_peer_certificate(ssl)};
    warnIfUntrusted(ssl, certificate.get());
    reportCertificate(ssl, certificate.get());
    place = std::move(link);
    return 0;
}

void tlsClose(std::unique_ptr<TlsLink>& place) {
    if (!place) return;
    {
        SigpipeHold hold;
        ERR_clear_error();
        SSL_shutdown(place->ssl.get());
        ERR_clear_error();
    }
    place.reset();
}

std::optional<std::string> lastCertSubject() {
    std::lock_guard hold(subjectLock);
    return lastSubject;
}

void forgetCertificates() {
    {
        std::lock_guard hold(subjectLock);
        lastSubject.reset();
    }
    std::lock_guard hold(warnedLock);
    warned.clear();
}

int tlsSocket(const TlsLink& link) { return SSL_get_fd(link.ssl.get()); }

namespace {

TlsIo ioResult(SSL* ssl, int result) {
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return TlsIo::wantRead;
    case SSL_ERROR_WANT_WRITE:
        return TlsIo::wantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return TlsIo::closed;
    default:
        ERR_clear_error();
        return TlsIo::failed;
    }
}

int ioSize(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

}  // namespace

TlsIo tlsRead(TlsLink& link, char* into, std::size_t room, std::size_t& count) {
    SigpipeHold hold;  // reading may write too (alerts, key updates)
    ERR_clear_error();
    int result = SSL_read(link.ssl.get(), into, ioSize(room));
    if (result > 0) {
        count = static_cast<std::size_t>(result);
        return TlsIo::done;
    }
    return ioResult(link.ssl.get(), result);
}

TlsIo tlsWrite(TlsLink& link, const char* from, std::size_t size, std::size_t& count) {
    SigpipeHold hold;
    ERR_clear_error();
    int result = SSL_write(link.ssl.get(), from, ioSize(size));
    if (result > 0) {
        count = static_cast<std::size_t>(result);
        return TlsIo::done;
    }
    return ioResult(link.ssl.get(), result);
}
