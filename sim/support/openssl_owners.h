/*
 * Owners for the OpenSSL handles the simulated devices hold: keys,
 * certificates, memory streams and TLS objects, each freed by its own call.
 */
#ifndef TARVO_SIM_OPENSSL_OWNERS_H
#define TARVO_SIM_OPENSSL_OWNERS_H

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace tarvosim {

struct EvpPkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509 *cert) const { X509_free(cert); }
};
struct BioFree {
    void operator()(BIO *bio) const { BIO_free_all(bio); }
};
struct SslFree {
    void operator()(SSL *ssl) const { SSL_free(ssl); }
};
struct SslCtxFree {
    void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

}  // namespace tarvosim

#endif
