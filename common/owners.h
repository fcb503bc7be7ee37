/*
 * Owners for the C handles that every part of the tree holds: property-list
 * nodes, heap blocks from malloc, stdio streams, directory streams and
 * OpenSSL objects. Each is a
 * std::unique_ptr whose deleter calls the matching free function (all of
 * which accept null), so that every early return releases what was made
 * before it. The library, the tools, the simulator and the tests all take
 * their owners from here. Descriptors have UniqueFd (unique_fd.h); strings
 * and messages that carry passwords have their own owners in secrets.h.
 */
#ifndef TARVO_COMMON_OWNERS_H
#define TARVO_COMMON_OWNERS_H

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <plist/plist.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <type_traits>

/// A deleter that calls `Free`.
template <typename T, void (*Free)(T *)>
struct FreeWith {
    void operator()(T *p) const { Free(p); }
};

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
/// A property-list node and everything below it.
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

struct MallocFree {
    void operator()(void *p) const { std::free(p); }
};
/// A heap string from malloc (libplist's strings and keys, strdup).
using CString = std::unique_ptr<char, MallocFree>;
/// Any other heap block from malloc (libplist's data and serialised lists).
template <typename T>
using MallocPtr = std::unique_ptr<T, MallocFree>;

namespace owners_detail {
inline void bio_free_all(BIO *bio) {
    BIO_free_all(bio);
}
inline void openssl_free(unsigned char *p) {
    OPENSSL_free(p);
}
}  // namespace owners_detail

struct FileClose {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
/// A stdio stream, closed (and flushed) when it goes.
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

struct DirClose {
    void operator()(DIR *dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirClose>;

/// A BIO and the chain below it.
using BioPtr = std::unique_ptr<BIO, FreeWith<BIO, owners_detail::bio_free_all>>;
using X509Ptr = std::unique_ptr<X509, FreeWith<X509, X509_free>>;
using X509ExtensionPtr =
    std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION, X509_EXTENSION_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY, EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, FreeWith<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, FreeWith<EVP_CIPHER, EVP_CIPHER_free>>;
using EvpCipherCtxPtr =
    std::unique_ptr<EVP_CIPHER_CTX, FreeWith<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, FreeWith<EVP_MD, EVP_MD_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX, EVP_MD_CTX_free>>;
using EvpKdfPtr = std::unique_ptr<EVP_KDF, FreeWith<EVP_KDF, EVP_KDF_free>>;
using EvpKdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, FreeWith<EVP_KDF_CTX, EVP_KDF_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, FreeWith<BIGNUM, BN_free>>;
/// A bignum that held a secret: cleared before it is freed.
using SecretBignumPtr = std::unique_ptr<BIGNUM, FreeWith<BIGNUM, BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, FreeWith<BN_CTX, BN_CTX_free>>;
using EncoderCtxPtr =
    std::unique_ptr<OSSL_ENCODER_CTX, FreeWith<OSSL_ENCODER_CTX, OSSL_ENCODER_CTX_free>>;
using DecoderCtxPtr =
    std::unique_ptr<OSSL_DECODER_CTX, FreeWith<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>>;
/// A block that OpenSSL allocated (an encoding, say).
using OpensslBytes =
    std::unique_ptr<unsigned char, FreeWith<unsigned char, owners_detail::openssl_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, FreeWith<SSL_CTX, SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, FreeWith<SSL, SSL_free>>;

#endif
