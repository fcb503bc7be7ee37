/*
 * SRP-6a arithmetic on OpenSSL's BIGNUM and digests through EVP. Exponents
 * that depend on secrets are flagged for constant-time exponentiation, and
 * every intermediate secret lives in wiped memory.
 */
#include "srp6a.h"
#include "owners.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>

namespace libtarvo {
namespace {

// Ephemeral private values: 256 bits, far above what the 3072-bit group needs.
constexpr std::size_t kPrivateValueSize = 32;

// Every bignum here may hold a secret or a value derived from one.
using BnPtr = SecretBignumPtr;

BnPtr to_bn(std::span<const uint8_t> bytes) {
    if (bytes.size() > 1024 * 1024) {
        return nullptr;
    }
    return BnPtr(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

BnPtr secret_bn(std::span<const uint8_t> bytes) {
    BnPtr bn = to_bn(bytes);
    if (bn) {
        BN_set_flags(bn.get(), BN_FLG_CONSTTIME);
    }
    return bn;
}

BnPtr new_bn() {
    return BnPtr(BN_new());
}

/// Big-endian, left-padded with zeros to `size`; false when it does not fit.
template <typename Bytes>
bool to_padded(const BIGNUM *bn, std::size_t size, Bytes *out) {
    out->assign(size, 0);
    return bn && BN_bn2binpad(bn, out->data(), static_cast<int>(size)) == static_cast<int>(size);
}

std::vector<uint8_t> minimal_bytes(const BIGNUM *bn) {
    std::vector<uint8_t> out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

/// Left-pads a received value to the group's size; empty when it is longer
/// than the modulus or empty itself.
std::vector<uint8_t> pad_received(std::span<const uint8_t> value, std::size_t size) {
    if (value.empty() || value.size() > size) {
        return {};
    }
    std::vector<uint8_t> padded(size - value.size(), 0);
    padded.insert(padded.end(), value.begin(), value.end());
    return padded;
}

class Hash {
  public:
    explicit Hash(const EVP_MD *md) : ctx_(EVP_MD_CTX_new()) {
        ok_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), md, nullptr) == 1;
    }
    Hash &add(std::span<const uint8_t> bytes) {
        ok_ = ok_ && EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) == 1;
        return *this;
    }
    Hash &add(std::string_view text) {
        return add(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
    }
    /// The digest; empty on any failure along the way.
    template <typename Bytes = std::vector<uint8_t>>
    Bytes finish() {
        Bytes out(EVP_MAX_MD_SIZE);
        unsigned int size = 0;
        ok_ = ok_ && EVP_DigestFinal_ex(ctx_.get(), out.data(), &size) == 1;
        out.resize(ok_ ? size : 0);
        return out;
    }

  private:
    EvpMdCtxPtr ctx_;
    bool ok_ = false;
};

template <typename Bytes>
bool random_private_value(std::span<const uint8_t> given, Bytes *out) {
    if (!given.empty()) {
        out->assign(given.begin(), given.end());
        return true;
    }
    out->assign(kPrivateValueSize, 0);
    if (RAND_priv_bytes(out->data(), static_cast<int>(out->size())) != 1) {
        ERR_clear_error();
        return false;
    }
    return true;
}

/// g^exponent mod N, padded; empty on failure.
std::vector<uint8_t> power_of_generator(const SrpGroup &group, const BIGNUM *exponent,
                                        BN_CTX *ctx) {
    BnPtr result = new_bn();
    std::vector<uint8_t> out;
    if (!result ||
        BN_mod_exp(result.get(), group.generator(), exponent, group.modulus(), ctx) != 1 ||
        !to_padded(result.get(), group.size(), &out)) {
        return {};
    }
    return out;
}

/// True when `value` is a usable public value: 0 < value mod N.
bool public_value_usable(const SrpGroup &group, const BIGNUM *value, BN_CTX *ctx) {
    BnPtr reduced = new_bn();
    return reduced && BN_nnmod(reduced.get(), value, group.modulus(), ctx) == 1 &&
           !BN_is_zero(reduced.get());
}

/// K = H(PAD(S)) and the padded S itself.
bool session_key_from_secret(const SrpGroup &group, const BIGNUM *secret, SecretBytes *premaster,
                             SecretBytes *key) {
    if (!to_padded(secret, group.size(), premaster)) {
        return false;
    }
    *key = Hash(group.digest()).add(*premaster).finish<SecretBytes>();
    return !key->empty();
}

/// M1 = H(H(N) xor H(g) | H(I) | s | PAD(A) | PAD(B) | K).
std::vector<uint8_t> client_proof(const SrpGroup &group, std::string_view identity,
                                  std::span<const uint8_t> salt,
                                  std::span<const uint8_t> client_public,
                                  std::span<const uint8_t> server_public,
                                  std::span<const uint8_t> key) {
    std::vector<uint8_t> hash_n = Hash(group.digest()).add(minimal_bytes(group.modulus())).finish();
    const std::vector<uint8_t> hash_g =
        Hash(group.digest()).add(minimal_bytes(group.generator())).finish();
    const std::vector<uint8_t> hash_i = Hash(group.digest()).add(identity).finish();
    if (hash_n.empty() || hash_n.size() != hash_g.size() || hash_i.empty()) {
        return {};
    }
    for (std::size_t i = 0; i < hash_n.size(); ++i) {
        hash_n[i] ^= hash_g[i];
    }
    return Hash(group.digest())
        .add(hash_n)
        .add(hash_i)
        .add(salt)
        .add(client_public)
        .add(server_public)
        .add(key)
        .finish();
}

/// M2 = H(PAD(A) | M1 | K).
std::vector<uint8_t> server_proof(const SrpGroup &group, std::span<const uint8_t> client_public,
                                  std::span<const uint8_t> proof, std::span<const uint8_t> key) {
    return Hash(group.digest()).add(client_public).add(proof).add(key).finish();
}

}  // namespace

SrpGroup SrpGroup::pairing_group() {
    SrpGroup group;
    auto free_bn = [](const BIGNUM *bn) { BN_free(const_cast<BIGNUM *>(bn)); };
    // RFC 5054's 3072-bit group is the MODP prime of RFC 3526, generator 5.
    group.modulus_.reset(BN_get_rfc3526_prime_3072(nullptr), free_bn);
    BIGNUM *generator = BN_new();
    if (generator && BN_set_word(generator, 5) != 1) {
        BN_free(generator);
        generator = nullptr;
    }
    group.generator_.reset(generator, free_bn);
    group.digest_ = EVP_sha512();
    return group;
}

SrpGroup SrpGroup::from_hex(const char *modulus_hex, unsigned generator, const EVP_MD *digest) {
    SrpGroup group;
    auto free_bn = [](const BIGNUM *bn) { BN_free(const_cast<BIGNUM *>(bn)); };
    BIGNUM *modulus = nullptr;
    if (BN_hex2bn(&modulus, modulus_hex) == 0) {
        return group;
    }
    group.modulus_.reset(modulus, free_bn);
    BIGNUM *g = BN_new();
    if (g && BN_set_word(g, generator) != 1) {
        BN_free(g);
        g = nullptr;
    }
    group.generator_.reset(g, free_bn);
    group.digest_ = digest;
    return group;
}

std::vector<uint8_t> srp_multiplier(const SrpGroup &group) {
    std::vector<uint8_t> modulus;
    std::vector<uint8_t> generator;
    if (!to_padded(group.modulus(), group.size(), &modulus) ||
        !to_padded(group.generator(), group.size(), &generator)) {
        return {};
    }
    return Hash(group.digest()).add(modulus).add(generator).finish();
}

SecretBytes srp_private_key(const SrpGroup &group, std::span<const uint8_t> salt,
                            std::string_view identity, std::span<const uint8_t> password) {
    const SecretBytes inner =
        Hash(group.digest()).add(identity).add(":").add(password).finish<SecretBytes>();
    if (inner.empty()) {
        return {};
    }
    return Hash(group.digest()).add(salt).add(inner).finish<SecretBytes>();
}

std::vector<uint8_t> srp_verifier(const SrpGroup &group, std::span<const uint8_t> private_key) {
    BnCtxPtr ctx(BN_CTX_secure_new());
    BnPtr x = secret_bn(private_key);
    if (!ctx || !x) {
        return {};
    }
    return power_of_generator(group, x.get(), ctx.get());
}

std::vector<uint8_t> srp_scrambler(const SrpGroup &group, std::span<const uint8_t> client_public,
                                   std::span<const uint8_t> server_public) {
    const std::vector<uint8_t> a = pad_received(client_public, group.size());
    const std::vector<uint8_t> b = pad_received(server_public, group.size());
    if (a.empty() || b.empty()) {
        return {};
    }
    return Hash(group.digest()).add(a).add(b).finish();
}

SrpClient::SrpClient(SrpGroup group, std::span<const uint8_t> private_value)
    : group_(std::move(group)) {
    BnCtxPtr ctx(BN_CTX_secure_new());
    if (!group_.valid() || !ctx || !random_private_value(private_value, &private_value_)) {
        return;
    }
    BnPtr a = secret_bn(private_value_);
    if (!a || BN_is_zero(a.get())) {
        return;
    }
    public_value_ = power_of_generator(group_, a.get(), ctx.get());
}

SrpResult SrpClient::compute(std::string_view identity, std::span<const uint8_t> password,
                             std::span<const uint8_t> salt,
                             std::span<const uint8_t> server_public) {
    proof_.clear();
    expected_server_proof_.clear();
    session_key_.clear();
    premaster_.clear();
    if (!ok()) {
        return SrpResult::kFailed;
    }
    const std::vector<uint8_t> padded_b = pad_received(server_public, group_.size());
    BnCtxPtr ctx(BN_CTX_secure_new());
    BnPtr b_value = to_bn(padded_b);
    if (padded_b.empty()) {
        return SrpResult::kBadPublicValue;
    }
    if (!ctx || !b_value) {
        return SrpResult::kFailed;
    }
    if (!public_value_usable(group_, b_value.get(), ctx.get())) {
        return SrpResult::kBadPublicValue;
    }
    BnPtr u = to_bn(srp_scrambler(group_, public_value_, padded_b));
    if (!u) {
        return SrpResult::kFailed;
    }
    if (BN_is_zero(u.get())) {
        return SrpResult::kBadPublicValue;
    }
    BnPtr x = secret_bn(srp_private_key(group_, salt, identity, password));
    BnPtr k = to_bn(srp_multiplier(group_));
    BnPtr a = secret_bn(private_value_);
    BnPtr g_x = new_bn();
    BnPtr base = new_bn();
    BnPtr exponent = new_bn();
    BnPtr secret = new_bn();
    if (!x || !k || !a || !g_x || !base || !exponent || !secret) {
        return SrpResult::kFailed;
    }
    BN_set_flags(exponent.get(), BN_FLG_CONSTTIME);
    // S = (B - k * g^x) ^ (a + u * x) mod N
    const bool computed =
        BN_mod_exp(g_x.get(), group_.generator(), x.get(), group_.modulus(), ctx.get()) == 1 &&
        BN_mod_mul(base.get(), k.get(), g_x.get(), group_.modulus(), ctx.get()) == 1 &&
        BN_mod_sub(base.get(), b_value.get(), base.get(), group_.modulus(), ctx.get()) == 1 &&
        BN_mul(exponent.get(), u.get(), x.get(), ctx.get()) == 1 &&
        BN_add(exponent.get(), exponent.get(), a.get()) == 1 &&
        BN_mod_exp(secret.get(), base.get(), exponent.get(), group_.modulus(), ctx.get()) == 1 &&
        session_key_from_secret(group_, secret.get(), &premaster_, &session_key_);
    if (!computed) {
        session_key_.clear();
        premaster_.clear();
        return SrpResult::kFailed;
    }
    proof_ = client_proof(group_, identity, salt, public_value_, padded_b, session_key_);
    expected_server_proof_ = server_proof(group_, public_value_, proof_, session_key_);
    if (proof_.empty() || expected_server_proof_.empty()) {
        return SrpResult::kFailed;
    }
    return SrpResult::kOk;
}

bool SrpClient::server_proof_matches(std::span<const uint8_t> proof) const {
    return !expected_server_proof_.empty() && proof.size() == expected_server_proof_.size() &&
           CRYPTO_memcmp(proof.data(), expected_server_proof_.data(), proof.size()) == 0;
}

SrpServer::SrpServer(SrpGroup group, std::string_view identity, std::span<const uint8_t> password,
                     std::span<const uint8_t> salt, std::span<const uint8_t> private_value)
    : group_(std::move(group)), identity_(identity), salt_(salt.begin(), salt.end()) {
    BnCtxPtr ctx(BN_CTX_secure_new());
    if (!group_.valid() || !ctx || !random_private_value(private_value, &private_value_)) {
        return;
    }
    verifier_ = srp_verifier(group_, srp_private_key(group_, salt_, identity_, password));
    BnPtr v = to_bn(verifier_);
    BnPtr k = to_bn(srp_multiplier(group_));
    BnPtr b = secret_bn(private_value_);
    BnPtr g_b = new_bn();
    BnPtr k_v = new_bn();
    BnPtr public_b = new_bn();
    if (verifier_.empty() || !v || !k || !b || BN_is_zero(b.get()) || !g_b || !k_v || !public_b) {
        return;
    }
    // B = (k * v + g^b) mod N
    std::vector<uint8_t> padded;
    if (BN_mod_exp(g_b.get(), group_.generator(), b.get(), group_.modulus(), ctx.get()) == 1 &&
        BN_mod_mul(k_v.get(), k.get(), v.get(), group_.modulus(), ctx.get()) == 1 &&
        BN_mod_add(public_b.get(), k_v.get(), g_b.get(), group_.modulus(), ctx.get()) == 1 &&
        !BN_is_zero(public_b.get()) && to_padded(public_b.get(), group_.size(), &padded)) {
        public_value_ = std::move(padded);
    }
}

SrpResult SrpServer::verify_client(std::span<const uint8_t> client_public,
                                   std::span<const uint8_t> client_proof_bytes) {
    proof_.clear();
    session_key_.clear();
    premaster_.clear();
    if (!ok()) {
        return SrpResult::kFailed;
    }
    const std::vector<uint8_t> padded_a = pad_received(client_public, group_.size());
    BnCtxPtr ctx(BN_CTX_secure_new());
    BnPtr a_value = to_bn(padded_a);
    if (padded_a.empty()) {
        return SrpResult::kBadPublicValue;
    }
    if (!ctx || !a_value) {
        return SrpResult::kFailed;
    }
    if (!public_value_usable(group_, a_value.get(), ctx.get())) {
        return SrpResult::kBadPublicValue;
    }
    BnPtr u = to_bn(srp_scrambler(group_, padded_a, public_value_));
    if (!u) {
        return SrpResult::kFailed;
    }
    if (BN_is_zero(u.get())) {
        return SrpResult::kBadPublicValue;
    }
    BnPtr v = to_bn(verifier_);
    BnPtr b = secret_bn(private_value_);
    BnPtr base = new_bn();
    BnPtr secret = new_bn();
    if (!v || !b || !base || !secret) {
        return SrpResult::kFailed;
    }
    // S = (A * v^u) ^ b mod N
    SecretBytes premaster;
    SecretBytes key;
    const bool computed =
        BN_mod_exp(base.get(), v.get(), u.get(), group_.modulus(), ctx.get()) == 1 &&
        BN_mod_mul(base.get(), a_value.get(), base.get(), group_.modulus(), ctx.get()) == 1 &&
        BN_mod_exp(secret.get(), base.get(), b.get(), group_.modulus(), ctx.get()) == 1 &&
        session_key_from_secret(group_, secret.get(), &premaster, &key);
    if (!computed) {
        return SrpResult::kFailed;
    }
    const std::vector<uint8_t> expected =
        client_proof(group_, identity_, salt_, padded_a, public_value_, key);
    if (expected.empty()) {
        return SrpResult::kFailed;
    }
    if (client_proof_bytes.size() != expected.size() ||
        CRYPTO_memcmp(client_proof_bytes.data(), expected.data(), expected.size()) != 0) {
        return SrpResult::kWrongProof;
    }
    proof_ = server_proof(group_, padded_a, expected, key);
    if (proof_.empty()) {
        return SrpResult::kFailed;
    }
    premaster_ = std::move(premaster);
    session_key_ = std::move(key);
    return SrpResult::kOk;
}

}  // namespace libtarvo
