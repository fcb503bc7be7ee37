/*
 * What the host derives from the device's answers before it pairs: the
 * packed version number that picks the certificate digest, the device's
 * public key in the form the certificate generator reads, and a fresh HostID.
 */
#ifndef LIBTARVO_PAIRING_INPUTS_H
#define LIBTARVO_PAIRING_INPUTS_H

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "status.h"

namespace libtarvo {

/// "17.5.1" -> 17 * 65536 + 5 * 256 + 1. Missing parts count as 0; the
/// parsing stops at the first character that is not a digit or a dot, and
/// each part is clamped to its field (minor and patch to 255).
uint32_t pack_product_version(std::string_view version);

/// Devices send their key as PEM of a PKCS#1 RSA public key; the certificate
/// generator reads PEM of a SubjectPublicKeyInfo. Accepts either and writes
/// the latter. kMalformed when the bytes hold neither.
Status device_public_key_as_spki_pem(std::span<const uint8_t> pem, std::string *spki_pem);

/// A random (version 4) UUID from the cryptographic generator, upper case,
/// 8-4-4-4-12. Empty if the generator fails.
std::string random_host_id();

}  // namespace libtarvo

#endif
