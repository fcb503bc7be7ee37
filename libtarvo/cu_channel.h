/*
 * The encrypted channel that wireless pairing continues on once the PIN
 * exchange has given both sides the same session key: one key per
 * direction (HKDF-SHA-512), ChaCha20-Poly1305, and a per-direction message
 * counter that every message carries in the clear and that also forms its
 * nonce. A receiver takes only the next counter it expects, so a message
 * played again (or out of order) is refused before it is decrypted, and a
 * changed one fails its tag.
 *
 * Message: counter (8 bytes, little-endian) | ciphertext | tag (16 bytes).
 * Nonce:   4 zero bytes | counter (8 bytes, little-endian).
 */
#ifndef LIBTARVO_CU_CHANNEL_H
#define LIBTARVO_CU_CHANNEL_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "cu_protocol.h"
#include "secret_bytes.h"

namespace libtarvo {

/// HKDF (RFC 5869) through EVP_KDF with the named digest ("SHA512" for the
/// channel). Empty on failure.
SecretBytes hkdf(const char *digest_name, std::span<const uint8_t> key,
                 std::span<const uint8_t> salt, std::span<const uint8_t> info, std::size_t length);

struct CuChannelKeys {
    SecretBytes host_to_device;
    SecretBytes device_to_host;
};

/// Both direction keys from the SRP session key; false on failure.
bool derive_cu_channel_keys(std::span<const uint8_t> session_key, CuChannelKeys *keys);

enum class CuChannelResult {
    kOk,
    kMalformed,   // shorter than a counter and a tag
    kTooLarge,    // above kCuMaxPlaintext
    kReplayed,    // a counter already taken
    kOutOfOrder,  // a counter beyond the next one
    kBadTag,      // changed on the way, or sealed with another key
    kFailed,      // the cipher itself failed, or the counter ran out
};

const char *cu_channel_result_name(CuChannelResult result);

class CuChannel {
  public:
    enum class Side { kHost, kDevice };

    /// The host seals with host_to_device and opens with device_to_host;
    /// the device the other way round.
    CuChannel(Side side, const CuChannelKeys &keys);

    CuChannelResult seal(std::span<const uint8_t> plaintext, std::vector<uint8_t> *message);
    /// A refused message leaves the counters as they were.
    CuChannelResult open(std::span<const uint8_t> message, SecretBytes *plaintext);

    uint64_t next_send_counter() const { return send_counter_; }
    uint64_t next_receive_counter() const { return receive_counter_; }

  private:
    SecretBytes send_key_;
    SecretBytes receive_key_;
    uint64_t send_counter_ = 0;
    uint64_t receive_counter_ = 0;
};

}  // namespace libtarvo

#endif
