/*
 * Building the TLS client context from a pair record and checking the
 * device's certificate against the record.
 */
#include "tls_credentials.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>

namespace libtarvo {
namespace {

// A read-only memory stream over a data item of the record, or null.
BioPtr open_data_item(plist_t record, const char *name) {
    plist_t item = plist_dict_get_item(record, name);
    if (!item || plist_get_node_type(item) != PLIST_DATA) {
        return nullptr;
    }
    char *raw = nullptr;
    uint64_t length = 0;
    plist_get_data_val(item, &raw, &length);
    CString bytes(raw);
    if (!bytes || length == 0 || length > INT_MAX) {
        return nullptr;
    }
    // BIO_new_mem_buf does not copy; a memory BIO that owns a copy does.
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        BIO_write(bio.get(), bytes.get(), static_cast<int>(length)) != static_cast<int>(length)) {
        return nullptr;
    }
    return bio;
}

X509Ptr read_certificate(plist_t record, const char *name) {
    BioPtr bio = open_data_item(record, name);
    return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

EvpPkeyPtr read_private_key(plist_t record, const char *name) {
    BioPtr bio = open_data_item(record, name);
    return EvpPkeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                          : nullptr);
}

SslCtxPtr new_client_context(X509 *host_certificate, EVP_PKEY *host_key) {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        return nullptr;
    }
    // Set after creation so that they win over a system-wide configuration
    // that raises the level or the minimum version.
    SSL_CTX_set_security_level(ctx.get(), 0);
    if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT:@SECLEVEL=0") != 1 ||
        SSL_CTX_use_certificate(ctx.get(), host_certificate) != 1 ||
        SSL_CTX_use_PrivateKey(ctx.get(), host_key) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1) {
        return nullptr;
    }
    // The device is recognised by its key after the handshake, not by a chain.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(ctx.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

}  // namespace

Status TlsCredentials::from_pair_record(plist_t pair_record,
                                        std::shared_ptr<const TlsCredentials> *out) {
    out->reset();
    if (!pair_record || plist_get_node_type(pair_record) != PLIST_DICT) {
        return Status::kInvalidArg;
    }
    X509Ptr host_certificate = read_certificate(pair_record, "HostCertificate");
    EvpPkeyPtr host_key = read_private_key(pair_record, "HostPrivateKey");
    X509Ptr device_certificate = read_certificate(pair_record, "DeviceCertificate");
    ERR_clear_error();
    if (!host_certificate || !host_key || !device_certificate) {
        return Status::kBadCredentials;
    }
    EvpPkeyPtr device_key(X509_get_pubkey(device_certificate.get()));
    SslCtxPtr context = new_client_context(host_certificate.get(), host_key.get());
    ERR_clear_error();
    if (!device_key || !context) {
        return Status::kBadCredentials;
    }
    out->reset(new TlsCredentials(std::move(context), std::move(device_key)));
    return Status::kOk;
}

bool TlsCredentials::is_paired_device(SSL *ssl) const {
    X509Ptr peer(SSL_get1_peer_certificate(ssl));
    if (!peer) {
        return false;
    }
    EVP_PKEY *peer_key = X509_get0_pubkey(peer.get());
    return peer_key && EVP_PKEY_eq(peer_key, device_key_.get()) == 1;
}

}  // namespace libtarvo
