/*
 * Owners for the C handles the library holds: property-list nodes, OpenSSL
 * objects and heap blocks from malloc. Each is a std::unique_ptr whose
 * deleter calls the matching free function, so every early return releases
 * what was created before it.
 */
#ifndef LIBTARVO_OWNERS_H
#define LIBTARVO_OWNERS_H

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <plist/plist.h>

#include <cstdlib>
#include <memory>
#include <type_traits>

namespace libtarvo {

template <typename T, void (*Free)(T *)>
struct FreeWith {
    void operator()(T *p) const { Free(p); }
};

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

struct MallocFree {
    void operator()(void *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, MallocFree>;

inline void bio_free_all(BIO *bio) {
    BIO_free_all(bio);
}
using BioPtr = std::unique_ptr<BIO, FreeWith<BIO, bio_free_all>>;
using X509Ptr = std::unique_ptr<X509, FreeWith<X509, X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY, EVP_PKEY_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, FreeWith<SSL_CTX, SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, FreeWith<SSL, SSL_free>>;

}  // namespace libtarvo

#endif
