#pragma once
// Self-signed server certificates made for a test, each with a TLS server
// context that shows it, and its SHA-256 fingerprint as the monitor writes it.

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <string>

struct SslCtxRelease {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

struct TestCertificate {
    std::unique_ptr<SSL_CTX, SslCtxRelease> server;
    std::string fingerprint;  // colon-separated upper-case hex
};

inline TestCertificate makeCertificate(const char* commonName) {
    TestCertificate made;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());

    made.server.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_use_certificate(made.server.get(), certificate);
    SSL_CTX_use_PrivateKey(made.server.get(), key);

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    X509_digest(certificate, EVP_sha256(), digest, &size);
    for (unsigned int at = 0; at < size; ++at) {
        char hex[4];
        std::snprintf(hex, sizeof hex, at == 0 ? "%02X" : ":%02X", digest[at]);
        made.fingerprint += hex;
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    return made;
}
