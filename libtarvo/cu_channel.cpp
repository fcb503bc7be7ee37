/*
 * Key derivation and the counter-nonce AEAD channel of wireless pairing.
 */
#include "cu_channel.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>

#include "cu_protocol.h"
#include "owners.h"

namespace libtarvo {
namespace {

constexpr std::size_t kNonceSize = 12;

using CipherCtxPtr = EvpCipherCtxPtr;

std::span<const uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

void put_counter(uint64_t counter, uint8_t *out) {
    for (std::size_t i = 0; i < kCuCounterSize; ++i) {
        out[i] = static_cast<uint8_t>(counter >> (8 * i));
    }
}

uint64_t get_counter(const uint8_t *in) {
    uint64_t counter = 0;
    for (std::size_t i = 0; i < kCuCounterSize; ++i) {
        counter |= static_cast<uint64_t>(in[i]) << (8 * i);
    }
    return counter;
}

std::array<uint8_t, kNonceSize> nonce_for(uint64_t counter) {
    std::array<uint8_t, kNonceSize> nonce{};
    put_counter(counter, nonce.data() + (kNonceSize - kCuCounterSize));
    return nonce;
}

CipherCtxPtr start_cipher(bool encrypt, std::span<const uint8_t> key, uint64_t counter) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    const std::array<uint8_t, kNonceSize> nonce = nonce_for(counter);
    if (!ctx || key.size() != kCuChannelKeySize ||
        EVP_CipherInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nonce.data(),
                          encrypt ? 1 : 0) != 1) {
        return nullptr;
    }
    return ctx;
}

}  // namespace

SecretBytes hkdf(const char *digest_name, std::span<const uint8_t> key,
                 std::span<const uint8_t> salt, std::span<const uint8_t> info, std::size_t length) {
    EvpKdfPtr kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    EvpKdfCtxPtr ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!ctx || length == 0) {
        ERR_clear_error();
        return {};
    }
    // OSSL_PARAM wants non-const pointers; nothing is written through them.
    auto param_bytes = [](const char *name, std::span<const uint8_t> bytes) {
        return OSSL_PARAM_construct_octet_string(
            name, const_cast<uint8_t *>(bytes.empty() ? nullptr : bytes.data()), bytes.size());
    };
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>(digest_name), 0),
        param_bytes(OSSL_KDF_PARAM_KEY, key),
        param_bytes(OSSL_KDF_PARAM_SALT, salt),
        param_bytes(OSSL_KDF_PARAM_INFO, info),
        OSSL_PARAM_construct_end(),
    };
    SecretBytes out(length);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
        ERR_clear_error();
        return {};
    }
    return out;
}

bool derive_cu_channel_keys(std::span<const uint8_t> session_key, CuChannelKeys *keys) {
    const std::span<const uint8_t> salt = bytes_of(cu::kChannelSalt);
    keys->host_to_device =
        hkdf("SHA512", session_key, salt, bytes_of(cu::kHostToDeviceInfo), kCuChannelKeySize);
    keys->device_to_host =
        hkdf("SHA512", session_key, salt, bytes_of(cu::kDeviceToHostInfo), kCuChannelKeySize);
    return !keys->host_to_device.empty() && !keys->device_to_host.empty();
}

const char *cu_channel_result_name(CuChannelResult result) {
    switch (result) {
        case CuChannelResult::kOk:
            return "ok";
        case CuChannelResult::kMalformed:
            return "too short";
        case CuChannelResult::kTooLarge:
            return "too large";
        case CuChannelResult::kReplayed:
            return "replayed";
        case CuChannelResult::kOutOfOrder:
            return "out of order";
        case CuChannelResult::kBadTag:
            return "bad tag";
        case CuChannelResult::kFailed:
            return "cipher failure";
    }
    return "?";
}

CuChannel::CuChannel(Side side, const CuChannelKeys &keys)
    : send_key_(side == Side::kHost ? keys.host_to_device : keys.device_to_host),
      receive_key_(side == Side::kHost ? keys.device_to_host : keys.host_to_device) {}

CuChannelResult CuChannel::seal(std::span<const uint8_t> plaintext, std::vector<uint8_t> *message) {
    message->clear();
    if (plaintext.size() > kCuMaxPlaintext) {
        return CuChannelResult::kTooLarge;
    }
    if (send_counter_ == std::numeric_limits<uint64_t>::max()) {
        return CuChannelResult::kFailed;
    }
    CipherCtxPtr ctx = start_cipher(true, send_key_, send_counter_);
    std::vector<uint8_t> out(kCuCounterSize + plaintext.size() + kCuTagSize);
    put_counter(send_counter_, out.data());
    int written = 0;
    int final_written = 0;
    if (!ctx ||
        EVP_EncryptUpdate(ctx.get(), out.data() + kCuCounterSize, &written, plaintext.data(),
                          static_cast<int>(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + kCuCounterSize + written, &final_written) !=
            1 ||
        static_cast<std::size_t>(written + final_written) != plaintext.size() ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kCuTagSize),
                            out.data() + kCuCounterSize + plaintext.size()) != 1) {
        ERR_clear_error();
        return CuChannelResult::kFailed;
    }
    ++send_counter_;
    *message = std::move(out);
    return CuChannelResult::kOk;
}

CuChannelResult CuChannel::open(std::span<const uint8_t> message, SecretBytes *plaintext) {
    plaintext->clear();
    if (message.size() < kCuCounterSize + kCuTagSize) {
        return CuChannelResult::kMalformed;
    }
    const std::size_t length = message.size() - kCuCounterSize - kCuTagSize;
    if (length > kCuMaxPlaintext) {
        return CuChannelResult::kTooLarge;
    }
    const uint64_t counter = get_counter(message.data());
    if (counter < receive_counter_) {
        return CuChannelResult::kReplayed;
    }
    if (counter > receive_counter_) {
        return CuChannelResult::kOutOfOrder;
    }
    if (receive_counter_ == std::numeric_limits<uint64_t>::max()) {
        return CuChannelResult::kFailed;
    }
    CipherCtxPtr ctx = start_cipher(false, receive_key_, counter);
    if (!ctx) {
        ERR_clear_error();
        return CuChannelResult::kFailed;
    }
    // The tag is read from a copy: the control call takes a non-const pointer.
    std::array<uint8_t, kCuTagSize> tag{};
    std::copy(message.end() - kCuTagSize, message.end(), tag.begin());
    // One spare byte: a null output pointer would make the cipher take the
    // input as associated data.
    SecretBytes out(length + 1);
    int written = 0;
    int final_written = 0;
    const bool decrypted =
        EVP_DecryptUpdate(ctx.get(), out.data(), &written, message.data() + kCuCounterSize,
                          static_cast<int>(length)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kCuTagSize),
                            tag.data()) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), out.data() + written, &final_written) == 1;
    ERR_clear_error();
    if (!decrypted) {
        return CuChannelResult::kBadTag;
    }
    ++receive_counter_;
    out.resize(length);
    *plaintext = std::move(out);
    return CuChannelResult::kOk;
}

}  // namespace libtarvo
