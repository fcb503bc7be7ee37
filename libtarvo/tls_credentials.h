/*
 * The host's TLS identity toward one device, taken from the pair record: a
 * client context presenting HostCertificate with HostPrivateKey, and the
 * device's public key from DeviceCertificate to recognise the device by.
 *
 * Pairing certificates carry no names and old devices sign with SHA-1 and
 * speak TLS 1.0, so the context runs at security level 0, allows TLS 1.0 and
 * newer, and does not verify a chain or a host name; instead the device must
 * present a certificate with exactly the public key we certified at pairing.
 */
#ifndef LIBTARVO_TLS_CREDENTIALS_H
#define LIBTARVO_TLS_CREDENTIALS_H

#include <plist/plist.h>

#include <memory>

#include "owners.h"
#include "status.h"

namespace libtarvo {

class TlsCredentials {
  public:
    /// kBadCredentials when an item is missing, not PEM, or the key does not
    /// belong to the host certificate.
    static Status from_pair_record(plist_t pair_record, std::shared_ptr<const TlsCredentials> *out);

    SSL_CTX *context() const { return context_.get(); }

    /// True when the peer of a finished handshake showed the paired device's key.
    bool is_paired_device(SSL *ssl) const;

  private:
    TlsCredentials(SslCtxPtr context, EvpPkeyPtr device_key)
        : context_(std::move(context)), device_key_(std::move(device_key)) {}

    SslCtxPtr context_;
    EvpPkeyPtr device_key_;
};

}  // namespace libtarvo

#endif
