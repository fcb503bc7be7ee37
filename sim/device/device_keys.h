/*
 * The key material a simulated device handles: its RSA key pair (read from
 * PEM, generated, written back as PEM), the public key in the PKCS#1 form
 * devices hand out, and the certificates a host brings when it pairs.
 */
#ifndef TARVO_SIM_DEVICE_KEYS_H
#define TARVO_SIM_DEVICE_KEYS_H

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "owners.h"

namespace tarvosim {

/// Real devices carry 2048-bit RSA keys; so do ours.
inline constexpr int kDeviceKeyBits = 2048;

/// Reads an RSA private key from PEM (PKCS#1 "RSA PRIVATE KEY" or unencrypted
/// PKCS#8). Null with *error set when the text holds no such key.
EvpPkeyPtr rsa_private_key_from_pem(std::span<const uint8_t> pem, std::string *error);
EvpPkeyPtr generate_rsa_key(int bits, std::string *error);

/// Unencrypted PKCS#8 PEM of the private key; empty on failure.
std::string private_key_to_pem(EVP_PKEY *key);
/// "-----BEGIN RSA PUBLIC KEY-----" PEM, the form devices report as
/// DevicePublicKey; empty on failure.
std::string rsa_public_key_to_pkcs1_pem(EVP_PKEY *key);

/// Null when the bytes are not one PEM certificate.
X509Ptr certificate_from_pem(std::span<const uint8_t> pem);
/// True when `cert` carries the public half of `key`.
bool certificate_has_key(X509 *cert, EVP_PKEY *key);
/// True when `cert`'s signature verifies with `issuer`'s public key.
bool certificate_signed_by(X509 *cert, X509 *issuer);

/// Empties OpenSSL's error queue of this thread into one line ("" if empty).
std::string take_openssl_errors();

inline std::span<const uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

}  // namespace tarvosim

#endif
