#include "monitor/net/tls.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <poll.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <optional>

#include "common/wait.h"
#include "monitor/net/testing.h"

namespace {

using Clock = std::chrono::steady_clock;

// A handshake that makes no progress for this long, or takes longer than the
// limit in all, is given up like a silent reply.
constexpr std::chrono::milliseconds handshakeSilence{5000};
constexpr std::chrono::milliseconds handshakeLimit{10000};
// Verdicts of the bundle kept; a server that makes a new certificate for
// every connection must not grow them without end.
constexpr std::size_t rememberedLimit = 256;

std::mutex subjectLock;  // guards lastSubject alone
std::optional<std::string> lastSubject;

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct StoreFree {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
using Store = std::unique_ptr<X509_STORE, StoreFree>;
struct StoreContextFree {
    void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
};
struct OpenSslText {
    char* text;
    ~OpenSslText() { OPENSSL_free(text); }
    const char* get() const { return text != nullptr ? text : ""; }
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

bool isIpLiteral(const std::string& host) {
    in6_addr ignored{};
    return inet_pton(AF_INET, host.c_str(), &ignored) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &ignored) == 1;
}

// The system's trust store in two parts. The hashed directory loads only the
// certificates a chain asks for; each link has a store of its own on it, so
// that handshakes in several workers never share what a lookup caches (the
// store costs nothing until a chain asks). The bundle file costs a good part
// of a check and much memory to load: it is read only for a chain the
// directory cannot vouch for, and let go after.
std::mutex contextLock;
std::unique_ptr<SSL_CTX, SslCtxFree> sharedContext;

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

// A reference to the client context, made on first use. One context serves
// every link: each link has its own SSL object with its own host to check,
// and a client context keeps no sessions, so nothing passes between links.
SSL_CTX* clientContext() {
    std::lock_guard hold(contextLock);
    if (!sharedContext) {
        sharedContext.reset(SSL_CTX_new(TLS_client_method()));
        if (!sharedContext) return nullptr;
        // A link waiting in IMAP IDLE would otherwise hold its read and
        // write buffers, some 34 kB, for as long as it waits.
        SSL_CTX_set_mode(sharedContext.get(), SSL_MODE_RELEASE_BUFFERS);
    }
    if (SSL_CTX_up_ref(sharedContext.get()) != 1) return nullptr;
    return sharedContext.get();
}

// Verdicts of the bundle, by certificate and host name: it is asked once.
// The lock is held while the bundle is read, so that workers meeting new
// servers at once read it one after another, and each only when no other
// has found the verdict meanwhile.
std::mutex verdictLock;
std::map<std::string, long> bundleVerdicts;

// Verifies the server's chain again, with the bundle in the store, as the
// handshake verified it: X509_V_OK or the reason.
long verifyWithBundle(SSL* ssl, X509* certificate) {
    Store store = makeStore(true);
    std::unique_ptr<X509_STORE_CTX, StoreContextFree> context{X509_STORE_CTX_new()};
    if (!store || !context ||
        X509_STORE_CTX_init(context.get(), store.get(), certificate,
                            SSL_get_peer_cert_chain(ssl)) != 1) {
        ERR_clear_error();
        return X509_V_ERR_UNSPECIFIED;
    }
    X509_STORE_CTX_set_default(context.get(), "ssl_server");
    X509_VERIFY_PARAM_set1(X509_STORE_CTX_get0_param(context.get()), SSL_get0_param(ssl));
    long verdict =
        X509_verify_cert(context.get()) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context.get());
    ERR_clear_error();
    return verdict;
}

std::string sha256Of(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) size = 0;
    return std::string(reinterpret_cast<const char*>(digest), size);
}

// The handshake's verdict on the chain and the host name, and the bundle's
// when the directory could not vouch for the chain.
long verdictOf(SSL* ssl, X509* certificate, const std::string& digest, const std::string& host) {
    long verdict = SSL_get_verify_result(ssl);
    if (verdict == X509_V_OK || verdict == X509_V_ERR_HOSTNAME_MISMATCH ||
        verdict == X509_V_ERR_IP_ADDRESS_MISMATCH)
        return verdict;
    std::string key = digest + '\n' + host;
    std::lock_guard hold(verdictLock);
    if (auto known = bundleVerdicts.find(key); known != bundleVerdicts.end()) return known->second;
    verdict = verifyWithBundle(ssl, certificate);
    if (bundleVerdicts.size() >= rememberedLimit) bundleVerdicts.clear();
    bundleVerdicts.emplace(key, verdict);
    // The bundle's certificates are freed by now; give their pages back
    // rather than keep them for the life of the monitor.
    malloc_trim(0);
    return verdict;
}

// Colon-separated hex, upper case.
std::string hexWithColons(const std::string& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes) {
        if (!text.empty()) text.push_back(':');
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

TlsPeer peerOf(SSL* ssl, X509* certificate, const std::string& host) {
    TlsPeer peer;
    if (certificate == nullptr) {
        peer.fingerprint = "none";
        peer.problem = "no certificate";
        return peer;
    }
    std::string digest = sha256Of(certificate);
    peer.fingerprint = hexWithColons(digest);
    long verdict = verdictOf(ssl, certificate, digest, host);
    peer.verified = verdict == X509_V_OK;
    if (!peer.verified) peer.problem = X509_verify_cert_error_string(verdict);
    return peer;
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

// The link verifies the chain against the shared directory store and the
// host name (or the address, for a literal) during the handshake; it goes on
// whatever the verdict, which is read afterwards.
bool prepareLink(TlsLink& link, const std::string& host) {
    link.ctx.reset(clientContext());
    if (!link.ctx) return false;
    link.ssl.reset(SSL_new(link.ctx.get()));
    if (!link.ssl) return false;
    SSL* ssl = link.ssl.get();
    Store store = makeStore(false);
    if (!store || SSL_set1_verify_cert_store(ssl, store.get()) != 1) return false;
    if (host.empty()) return true;
    if (isIpLiteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set1_host(ssl, host.c_str());
    }
    return true;
}

}  // namespace

void SslCtxFree::operator()(ssl_ctx_st* ctx) const { SSL_CTX_free(ctx); }
void SslFree::operator()(ssl_st* ssl) const { SSL_free(ssl); }

int tlsStart(std::unique_ptr<TlsLink>& place, int socket, const std::string& host) {
    place.reset();
    std::unique_ptr<TlsLink> link{new (std::nothrow) TlsLink};
    if (!link) return -1;
    if (!prepareLink(*link, host)) {
        std::fputs("SSL_new() error\n", stderr);
        ERR_clear_error();
        return -1;
    }
    SSL* ssl = link->ssl.get();
    if (SSL_set_fd(ssl, socket) != 1 || !handshake(ssl, socket)) {
        std::fputs("SSL_connect failed\n", stderr);
        ERR_clear_error();
        return -1;
    }

    std::unique_ptr<X509, X509Free> certificate{SSL_get1_peer_certificate(ssl)};
    link->peer = peerOf(ssl, certificate.get(), host);
    reportCertificate(ssl, certificate.get());
    place = std::move(link);
    return 0;
}

void tlsClose(std::unique_ptr<TlsLink>& place) {
    if (!place) return;
    ERR_clear_error();
    SSL_shutdown(place->ssl.get());
    ERR_clear_error();
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
        std::lock_guard hold(verdictLock);
        bundleVerdicts.clear();
    }
    forgetServerWarnings();
    // The trust store is read again, from the paths in force now.
    std::lock_guard hold(contextLock);
    sharedContext.reset();
}

int tlsSocket(const TlsLink& link) { return SSL_get_fd(link.ssl.get()); }

bool tlsPending(const TlsLink& link) { return SSL_pending(link.ssl.get()) > 0; }

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

// SIGPIPE is ignored by the whole process before any thread starts, so a
// write OpenSSL makes to a closed connection only fails.
TlsIo ioDone(SSL* ssl, int result, std::size_t& count) {
    if (result > 0) {
        count = static_cast<std::size_t>(result);
        return TlsIo::done;
    }
    return ioResult(ssl, result);
}

}  // namespace

TlsIo tlsRead(TlsLink& link, char* into, std::size_t room, std::size_t& count) {
    ERR_clear_error();
    return ioDone(link.ssl.get(), SSL_read(link.ssl.get(), into, ioSize(room)), count);
}

TlsIo tlsWrite(TlsLink& link, const char* from, std::size_t size, std::size_t& count) {
    ERR_clear_error();
    return ioDone(link.ssl.get(), SSL_write(link.ssl.get(), from, ioSize(size)), count);
}
