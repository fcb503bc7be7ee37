/*
 * RSA keys and X.509 certificates for the simulated devices, on OpenSSL 3.
 */
#include "device_keys.h"

#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <limits>

namespace tarvosim {
namespace {

BioPtr read_only_bio(std::span<const uint8_t> bytes) {
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return nullptr;
    }
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

std::string drain_bio(BIO *bio) {
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    if (size <= 0 || !data) {
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string take_openssl_errors() {
    std::string text;
    unsigned long code = 0;
    while ((code = ERR_get_error()) != 0) {
        char line[256];
        ERR_error_string_n(code, line, sizeof line);
        if (!text.empty()) {
            text += "; ";
        }
        text += line;
    }
    return text;
}

EvpPkeyPtr rsa_private_key_from_pem(std::span<const uint8_t> pem, std::string *error) {
    BioPtr bio = read_only_bio(pem);
    EvpPkeyPtr key;
    if (bio) {
        // A null password callback with an empty password refuses encrypted
        // keys instead of prompting on the terminal.
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char *>("")));
    }
    if (!key) {
        std::string detail = take_openssl_errors();
        *error = "not a PEM private key" + (detail.empty() ? "" : " (" + detail + ")");
        return nullptr;
    }
    if (!EVP_PKEY_is_a(key.get(), "RSA")) {
        *error = "the private key is not an RSA key";
        return nullptr;
    }
    return key;
}

EvpPkeyPtr generate_rsa_key(int bits, std::string *error) {
    EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    if (!key) {
        *error = "RSA key generation failed: " + take_openssl_errors();
    }
    return key;
}

std::string private_key_to_pem(EVP_PKEY *key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)) {
        return {};
    }
    return drain_bio(bio.get());
}

std::string rsa_public_key_to_pkcs1_pem(EVP_PKEY *key) {
    // "type-specific" is PKCS#1 RSAPublicKey for RSA keys, which PEM labels
    // "RSA PUBLIC KEY"; SubjectPublicKeyInfo would be "PUBLIC KEY".
    EncoderCtxPtr ctx(
        OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr));
    if (!ctx) {
        return {};
    }
    unsigned char *raw = nullptr;
    size_t size = 0;
    const bool ok = OSSL_ENCODER_to_data(ctx.get(), &raw, &size) == 1;
    const OpensslBytes data(raw);
    std::string pem;
    if (ok && data) {
        pem.assign(reinterpret_cast<const char *>(data.get()), size);
    }
    return pem;
}

X509Ptr certificate_from_pem(std::span<const uint8_t> pem) {
    BioPtr bio = read_only_bio(pem);
    if (!bio) {
        return nullptr;
    }
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    return cert;
}

bool certificate_has_key(X509 *cert, EVP_PKEY *key) {
    EVP_PKEY *cert_key = X509_get0_pubkey(cert);
    const bool same = cert_key && EVP_PKEY_eq(cert_key, key) == 1;
    ERR_clear_error();
    return same;
}

bool certificate_signed_by(X509 *cert, X509 *issuer) {
    EVP_PKEY *issuer_key = X509_get0_pubkey(issuer);
    const bool ok = issuer_key && X509_verify(cert, issuer_key) == 1;
    ERR_clear_error();
    return ok;
}

}  // namespace tarvosim
