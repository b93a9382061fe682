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
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>

#include "monitor/net/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

// A handshake that makes no progress for this long, or takes longer than the
// limit in all, is given up like a silent reply.
constexpr std::chrono::milliseconds handshakeSilence{5000};
constexpr std::chrono::milliseconds handshakeLimit{10000};
// Certificates already checked; a server that makes a new one for every
// connection must not grow the set without end.
constexpr std::size_t checkedLimit = 256;

std::mutex subjectLock;  // guards lastSubject alone
std::optional<std::string> lastSubject;

std::mutex checkedLock;
std::set<std::string> checked;  // SHA-256 digests; "" for no certificate

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

struct StoreFree {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
using Store = std::unique_ptr<X509_STORE, StoreFree>;
struct StoreContextFree {
    void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
};

// The system's trust store, in two parts built once each: the hashed
// directory, which loads only the certificates a chain asks for, and the
// directory with the bundle file, whose loading costs a good part of a
// check. The bundle is read only for a chain the directory cannot vouch for.
std::mutex storeLock;
Store directoryStore;
Store fullStore;

const char* defaultPath(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr ? value : fallback;
}

Store makeStore(bool withFile) {
    Store store{X509_STORE_new()};
    if (!store) return store;
    X509_LOOKUP* directory = X509_STORE_add_lookup(store.get(), X509_LOOKUP_hash_dir());
    if (directory != nullptr) {
        X509_LOOKUP_add_dir(
            directory, defaultPath(X509_get_default_cert_dir_env(), X509_get_default_cert_dir()),
            X509_FILETYPE_PEM);
    }
    if (withFile) {
        X509_LOOKUP* file = X509_STORE_add_lookup(store.get(), X509_LOOKUP_file());
        if (file != nullptr) {
            X509_LOOKUP_load_file(
                file, defaultPath(X509_get_default_cert_file_env(), X509_get_default_cert_file()),
                X509_FILETYPE_PEM);
        }
    }
    ERR_clear_error();
    return store;
}

// A reference to one of the stores, built on first use.
X509_STORE* sharedStore(bool withFile) {
    std::lock_guard hold(storeLock);
    Store& store = withFile ? fullStore : directoryStore;
    if (!store) store = makeStore(withFile);
    if (!store || X509_STORE_up_ref(store.get()) != 1) return nullptr;
    return store.get();
}

// Verifies the server's chain for the host name: X509_V_OK or the reason.
long verifyWith(bool withFile, SSL* ssl, X509* certificate, const std::string& host) {
    Store store{sharedStore(withFile)};
    std::unique_ptr<X509_STORE_CTX, StoreContextFree> context{X509_STORE_CTX_new()};
    if (!store || !context ||
        X509_STORE_CTX_init(context.get(), store.get(), certificate,
                            SSL_get_peer_cert_chain(ssl)) != 1) {
        ERR_clear_error();
        return X509_V_ERR_UNSPECIFIED;
    }
    X509_STORE_CTX_set_default(context.get(), "ssl_server");
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    if (!host.empty()) {
        if (isIpv4Literal(host)) {
            X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
        } else {
            X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
        }
    }
    long verdict =
        X509_verify_cert(context.get()) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context.get());
    ERR_clear_error();
    return verdict;
}

// The certificate is checked against the system's trust store and the host
// name. A failure does not stop the link (the monitor only counts mail), but
// the user is told once per certificate; a certificate is checked only the
// first time it is met.
void warnIfUntrusted(SSL* ssl, X509* certificate, const std::string& host) {
    std::string key;
    if (certificate != nullptr) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) size = 0;
        key.assign(reinterpret_cast<const char*>(digest), size);
    }
    {
        std::lock_guard hold(checkedLock);
        if (checked.count(key) != 0) return;
    }
    long verdict = X509_V_OK;
    if (certificate != nullptr) {
        verdict = verifyWith(false, ssl, certificate, host);
        if (verdict != X509_V_OK && verdict != X509_V_ERR_HOSTNAME_MISMATCH &&
            verdict != X509_V_ERR_IP_ADDRESS_MISMATCH) {
            verdict = verifyWith(true, ssl, certificate, host);
        }
    }
    std::lock_guard hold(checkedLock);
    if (!checked.insert(key).second) return;
    if (checked.size() > checkedLimit) {
        checked.clear();
        checked.insert(key);
    }
    if (certificate == nullptr) {
        std::fputs("quorvik warning : the server presented no certificate\n", stderr);
    } else if (verdict != X509_V_OK) {
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
    if (link->ctx) link->ssl.reset(SSL_new(link->ctx.get()));
    if (!link->ssl) {
        std::fputs("SSL_new() error\n", stderr);
        return -1;
    }
    SSL* ssl = link->ssl.get();
    if (!host.empty() && !isIpv4Literal(host)) SSL_set_tlsext_host_name(ssl, host.c_str());
    if (SSL_set_fd(ssl, socket) != 1 || !handshake(ssl, socket)) {
        std::fputs("SSL_connect failed\n", stderr);
        ERR_clear_error();
        return -1;
    }

    std::unique_ptr<X509, X509Free> certificate{SSL_get1_peer_certificate(ssl)};
    warnIfUntrusted(ssl, certificate.get(), host);
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
    {
        std::lock_guard hold(checkedLock);
        checked.clear();
    }
    // The trust store is read again, from the paths in force now.
    std::lock_guard hold(storeLock);
    directoryStore.reset();
    fullStore.reset();
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
