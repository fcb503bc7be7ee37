/*
 * SRP-6a, the password-authenticated key exchange under wireless pairing:
 * both sides prove that they know the PIN without sending it, and end with
 * the same session key. The group and digest are parameters so that the
 * arithmetic can be checked against published test vectors; pairing itself
 * uses the 3072-bit group of RFC 5054 with SHA-512.
 *
 * Values on the wire are big-endian and padded to the modulus' length
 * (PAD() below). Beyond RFC 5054, which stops at the premaster secret S:
 *   K  = H(PAD(S))
 *   M1 = H(H(N) xor H(g) | H(I) | s | PAD(A) | PAD(B) | K)   (client's proof)
 *   M2 = H(PAD(A) | M1 | K)                                   (server's proof)
 * with N and g in their shortest big-endian form for H(N) and H(g).
 */
#ifndef LIBTARVO_SRP6A_H
#define LIBTARVO_SRP6A_H

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "secret_bytes.h"

namespace libtarvo {

/// A prime modulus N, its generator g and the digest H.
class SrpGroup {
  public:
    /// RFC 5054's 3072-bit group (generator 5) with SHA-512.
    static SrpGroup pairing_group();
    /// A group from hex text; invalid() when the text is no number.
    static SrpGroup from_hex(const char *modulus_hex, unsigned generator, const EVP_MD *digest);

    bool valid() const { return modulus_ && generator_ && digest_; }
    const BIGNUM *modulus() const { return modulus_.get(); }
    const BIGNUM *generator() const { return generator_.get(); }
    const EVP_MD *digest() const { return digest_; }
    /// Bytes of N: the padded length of every public value.
    std::size_t size() const { return static_cast<std::size_t>(BN_num_bytes(modulus_.get())); }

  private:
    std::shared_ptr<const BIGNUM> modulus_;
    std::shared_ptr<const BIGNUM> generator_;
    const EVP_MD *digest_ = nullptr;
};

enum class SrpResult {
    kOk,
    kBadPublicValue,  // the peer's A or B is 0 mod N, too long, or u came out 0
    kWrongProof,      // the peer does not know the password
    kFailed,          // the arithmetic or the random generator failed
};

/// k = H(N | PAD(g)). Empty on failure.
std::vector<uint8_t> srp_multiplier(const SrpGroup &group);
/// x = H(s | H(I | ":" | P)).
SecretBytes srp_private_key(const SrpGroup &group, std::span<const uint8_t> salt,
                            std::string_view identity, std::span<const uint8_t> password);
/// v = g^x mod N, padded.
std::vector<uint8_t> srp_verifier(const SrpGroup &group, std::span<const uint8_t> private_key);
/// u = H(PAD(A) | PAD(B)).
std::vector<uint8_t> srp_scrambler(const SrpGroup &group, std::span<const uint8_t> client_public,
                                   std::span<const uint8_t> server_public);

class SrpClient {
  public:
    /// `private_value` (a) empty: 32 bytes from the random generator.
    explicit SrpClient(SrpGroup group, std::span<const uint8_t> private_value = {});
    SrpClient(const SrpClient &) = delete;
    SrpClient &operator=(const SrpClient &) = delete;

    /// False when the setup failed; nothing else is usable then.
    bool ok() const { return !public_value_.empty(); }
    /// PAD(A), sent to the server.
    const std::vector<uint8_t> &public_value() const { return public_value_; }

    /// With the server's salt and B: S, K and this side's proof M1.
    SrpResult compute(std::string_view identity, std::span<const uint8_t> password,
                      std::span<const uint8_t> salt, std::span<const uint8_t> server_public);
    const std::vector<uint8_t> &proof() const { return proof_; }
    /// Compares the server's M2 in constant time (false before compute()).
    bool server_proof_matches(std::span<const uint8_t> server_proof) const;
    const SecretBytes &session_key() const { return session_key_; }
    const SecretBytes &premaster_secret() const { return premaster_; }

  private:
    SrpGroup group_;
    SecretBytes private_value_;
    std::vector<uint8_t> public_value_;
    std::vector<uint8_t> proof_;
    std::vector<uint8_t> expected_server_proof_;
    SecretBytes session_key_;
    SecretBytes premaster_;
};

class SrpServer {
  public:
    /// Keeps only the verifier made from the password, never the password.
    /// `private_value` (b) empty: 32 bytes from the random generator.
    SrpServer(SrpGroup group, std::string_view identity, std::span<const uint8_t> password,
              std::span<const uint8_t> salt, std::span<const uint8_t> private_value = {});
    SrpServer(const SrpServer &) = delete;
    SrpServer &operator=(const SrpServer &) = delete;

    bool ok() const { return !public_value_.empty(); }
    /// PAD(B), sent to the client with the salt.
    const std::vector<uint8_t> &public_value() const { return public_value_; }

    /// Checks the client's A and M1; on kOk, proof() (M2) and the keys are set.
    SrpResult verify_client(std::span<const uint8_t> client_public,
                            std::span<const uint8_t> client_proof);
    const std::vector<uint8_t> &proof() const { return proof_; }
    const SecretBytes &session_key() const { return session_key_; }
    const SecretBytes &premaster_secret() const { return premaster_; }

  private:
    SrpGroup group_;
    std::string identity_;
    std::vector<uint8_t> salt_;
    std::vector<uint8_t> verifier_;
    SecretBytes private_value_;
    std::vector<uint8_t> public_value_;
    std::vector<uint8_t> proof_;
    SecretBytes session_key_;
    SecretBytes premaster_;
};

}  // namespace libtarvo

#endif
