/*
 * Generation of a pair record's keys and certificates: a root key and
 * self-signed root certificate, a host key and certificate, and a certificate
 * for the device's public key, all signed with the root key.
 */
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <ctime>
#include <memory>
#include <vector>

#include "owners.h"
#include "userpref.h"

namespace {

using PkeyPtr = EvpPkeyPtr;

/// PEM text in memory; wiped when freed, since two of them are private keys.
class Pem {
  public:
    Pem() = default;
    Pem(const char *begin, const char *end) : bytes_(begin, end) {}
    Pem(Pem &&) = default;
    Pem &operator=(Pem &&) = default;
    ~Pem() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

    bool empty() const { return bytes_.empty(); }
    const unsigned char *data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }

  private:
    std::vector<unsigned char> bytes_;
};

constexpr long kValiditySeconds = 315360000;  // 3,650 days
constexpr size_t kRsaBits = 2048;
// Devices from version 4.0.0 on expect SHA-256 signatures; older ones SHA-1.
constexpr uint32_t kSha256FromVersion = 0x40000;

PkeyPtr generate_rsa_key() {
    return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", kRsaBits));
}

/// A public key as SubjectPublicKeyInfo PEM ("PUBLIC KEY") or, as devices
/// report it, PKCS#1 RSA PEM ("RSA PUBLIC KEY"). Null for anything else.
PkeyPtr read_device_public_key(const key_data_t &key) {
    if (key.size > INT_MAX) {
        return nullptr;
    }
    ERR_set_mark();
    BioPtr bio(BIO_new_mem_buf(key.data, static_cast<int>(key.size)));
    PkeyPtr pkey(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!pkey) {
        EVP_PKEY *decoded = nullptr;
        DecoderCtxPtr decoder(OSSL_DECODER_CTX_new_for_pkey(&decoded, "PEM", "type-specific", "RSA",
                                                            EVP_PKEY_PUBLIC_KEY, nullptr, nullptr));
        const unsigned char *data = key.data;
        size_t length = key.size;
        if (decoder && OSSL_DECODER_from_data(decoder.get(), &data, &length)) {
            pkey.reset(decoded);
        }
    }
    // A rejected key is reported through the result code; the failed
    // attempts must not leave errors behind for the caller's next call.
    ERR_pop_to_mark();
    return pkey;
}

void add_extension(X509 *cert, int nid, const char *value) {
    X509V3_CTX ctx{};
    X509V3_set_ctx(&ctx, nullptr, cert, nullptr, nullptr, 0);
    X509V3_set_ctx_nodb(&ctx);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (extension) {
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
}

/// Serial 0, X.509 v3; subject and issuer stay empty.
X509Ptr new_v3_certificate() {
    X509Ptr cert(X509_new());
    if (cert && (!ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0) ||
                 !X509_set_version(cert.get(), X509_VERSION_3))) {
        cert.reset();
    }
    return cert;
}

void set_validity(X509 *cert) {
    ASN1_TIME_set(X509_getm_notBefore(cert), std::time(nullptr));
    ASN1_TIME_set(X509_getm_notAfter(cert), std::time(nullptr) + kValiditySeconds);
}

struct ExtensionSpec {
    int nid;
    const char *value;
};

/// Builds and signs one certificate. The extensions are added in the order
/// given; those in `keyed_extensions` need the public key in place first
/// (subjectKeyIdentifier hashes it). Null if creating or signing failed.
X509Ptr make_certificate(EVP_PKEY *subject_key, EVP_PKEY *signing_key, const EVP_MD *digest,
                         std::initializer_list<ExtensionSpec> extensions,
                         std::initializer_list<ExtensionSpec> keyed_extensions) {
    X509Ptr cert = new_v3_certificate();
    if (!cert) {
        return nullptr;
    }
    for (const ExtensionSpec &spec : extensions) {
        add_extension(cert.get(), spec.nid, spec.value);
    }
    set_validity(cert.get());
    if (!X509_set_pubkey(cert.get(), subject_key)) {
        return nullptr;
    }
    for (const ExtensionSpec &spec : keyed_extensions) {
        add_extension(cert.get(), spec.nid, spec.value);
    }
    if (X509_sign(cert.get(), signing_key, digest) <= 0) {
        return nullptr;
    }
    return cert;
}

/// Copies what was written to a memory BIO; empty if the write failed.
template <typename Write>
Pem write_pem(Write write) {
    // Secure memory, so that the private keys' text is wiped with the BIO.
    BioPtr bio(BIO_new(BIO_s_secmem()));
    if (!bio || !write(bio.get())) {
        return {};
    }
    char *bytes = nullptr;
    long length = BIO_get_mem_data(bio.get(), &bytes);
    if (length <= 0 || !bytes) {
        return {};
    }
    return Pem(bytes, bytes + length);
}

Pem certificate_pem(X509 *cert) {
    return write_pem([cert](BIO *bio) { return PEM_write_bio_X509(bio, cert) == 1; });
}

Pem private_key_pem(EVP_PKEY *key) {
    return write_pem([key](BIO *bio) {
        return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
}

void store_pem(plist_t record, const char *name, const Pem &pem) {
    plist_dict_set_item(record, name,
                        plist_new_data(reinterpret_cast<const char *>(pem.data()), pem.size()));
}

}  // namespace

int pair_record_generate_keys_and_certs(plist_t pair_record, key_data_t public_key,
                                        uint32_t version) {
    if (!pair_record || plist_get_node_type(pair_record) != PLIST_DICT || !public_key.data) {
        return USERPREF_E_INVALID_ARG;
    }
    // Read first: a key that will be refused should not cost two RSA keys.
    PkeyPtr device_key = read_device_public_key(public_key);
    if (!device_key) {
        return USERPREF_E_SSL_ERROR;
    }
    PkeyPtr root_key = generate_rsa_key();
    PkeyPtr host_key = generate_rsa_key();
    if (!root_key || !host_key) {
        return USERPREF_E_SSL_ERROR;
    }
    const EVP_MD *digest = (version >= kSha256FromVersion) ? EVP_sha256() : EVP_sha1();

    X509Ptr root_cert = make_certificate(root_key.get(), root_key.get(), digest,
                                         {{NID_basic_constraints, "critical,CA:TRUE"}}, {});
    X509Ptr host_cert =
        make_certificate(host_key.get(), root_key.get(), digest,
                         {{NID_basic_constraints, "critical,CA:FALSE"},
                          {NID_key_usage, "critical,digitalSignature,keyEncipherment"}},
                         {});
    X509Ptr device_cert = make_certificate(
        device_key.get(), root_key.get(), digest, {{NID_basic_constraints, "critical,CA:FALSE"}},
        {{NID_subject_key_identifier, "hash"},
         {NID_key_usage, "critical,digitalSignature,keyEncipherment"}});
    if (!root_cert || !host_cert || !device_cert) {
        return USERPREF_E_SSL_ERROR;
    }

    const Pem root_cert_pem = certificate_pem(root_cert.get());
    const Pem root_key_pem = private_key_pem(root_key.get());
    const Pem host_cert_pem = certificate_pem(host_cert.get());
    const Pem host_key_pem = private_key_pem(host_key.get());
    const Pem device_cert_pem = certificate_pem(device_cert.get());
    if (root_cert_pem.empty() || root_key_pem.empty() || host_cert_pem.empty() ||
        host_key_pem.empty() || device_cert_pem.empty()) {
        return USERPREF_E_SSL_ERROR;
    }

    store_pem(pair_record, "DeviceCertificate", device_cert_pem);
    store_pem(pair_record, "HostPrivateKey", host_key_pem);
    store_pem(pair_record, "HostCertificate", host_cert_pem);
    store_pem(pair_record, "RootPrivateKey", root_key_pem);
    store_pem(pair_record, "RootCertificate", root_cert_pem);
    return USERPREF_E_SUCCESS;
}
