/*
 * The encrypted-backup format on OpenSSL: PBKDF2 through EVP_KDF, RFC 3394
 * key wrap and AES-256-CBC through EVP ciphers, randomness from RAND_bytes.
 * The keybag parser reads a bounded buffer item by item and checks each
 * length against what remains before it looks at the value.
 */
#include "backup_crypto.h"
#include "owners.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <memory>

namespace tarvo {

namespace {

using CipherPtr = EvpCipherPtr;
using CipherCtxPtr = EvpCipherCtxPtr;
using KdfPtr = EvpKdfPtr;
using KdfCtxPtr = EvpKdfCtxPtr;

constexpr uint32_t kNewKeybagVersion = 4;
constexpr uint32_t kBackupKeybagType = 1;
constexpr uint32_t kNewKeybagIterations = 10000;
constexpr uint32_t kWrapPassword = 2;
constexpr std::size_t kSaltSize = 20;
constexpr std::size_t kHmckSize = 40;

bool fill_random(std::span<uint8_t> out) {
    return out.empty() || RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

BackupCryptoResult pbkdf2(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                          uint32_t iterations, const char *digest, BackupKey &out) {
    KdfPtr kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_PBKDF2, nullptr));
    KdfCtxPtr ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!ctx) {
        return BackupCryptoResult::kCryptoError;
    }
    // An empty password still needs a valid pointer for the parameter.
    static const uint8_t kNothing = 0;
    uint64_t iter = iterations;
    // The format's salts and counts predate the SP 800-132 minimums; the
    // checks stay off as they are by default outside FIPS mode.
    int pkcs5_mode = 1;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_PASSWORD,
            const_cast<uint8_t *>(password.empty() ? &kNothing : password.data()), password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<uint8_t *>(salt.data()),
                                          salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_ITER, &iter),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>(digest), 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &pkcs5_mode),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
        out = BackupKey();
        return BackupCryptoResult::kCryptoError;
    }
    return BackupCryptoResult::kOk;
}

enum class WrapFailure { kCrypto, kIntegrity };

// One RFC 3394 operation. The provider is told the output has room for the
// input plus a block, so the scratch buffer has that room whichever way.
bool key_wrap_op(const BackupKey &kek, std::span<const uint8_t> in, std::span<uint8_t> out,
                 bool wrap, WrapFailure &failure) {
    failure = WrapFailure::kCrypto;
    CipherPtr cipher(EVP_CIPHER_fetch(nullptr, "id-aes256-wrap", nullptr));
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx) {
        return false;
    }
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), kek.data(), nullptr, wrap ? 1 : 0, nullptr) !=
        1) {
        return false;
    }
    std::array<uint8_t, kWrappedKeySize + 16> scratch{};
    int length = 0;
    bool ok = EVP_CipherUpdate(ctx.get(), scratch.data(), &length, in.data(),
                               static_cast<int>(in.size())) == 1;
    if (!ok) {
        // With valid sizes and a working context the only failure left is
        // the check value of an unwrap.
        failure = wrap ? WrapFailure::kCrypto : WrapFailure::kIntegrity;
    } else if (static_cast<std::size_t>(length) != out.size()) {
        ok = false;
    } else {
        std::copy_n(scratch.begin(), out.size(), out.begin());
    }
    OPENSSL_cleanse(scratch.data(), scratch.size());
    return ok;
}

// ---- TLV ----

constexpr uint32_t tag(const char (&name)[5]) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(name[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(name[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(name[2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(name[3]));
}

uint32_t read_be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void put_be32(std::vector<uint8_t> &out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void put_item(std::vector<uint8_t> &out, uint32_t name, std::span<const uint8_t> value) {
    put_be32(out, name);
    put_be32(out, static_cast<uint32_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

void put_int(std::vector<uint8_t> &out, uint32_t name, uint32_t value) {
    put_be32(out, name);
    put_be32(out, 4);
    put_be32(out, value);
}

bool read_int(std::span<const uint8_t> value, uint32_t &out) {
    if (value.empty() || value.size() > 8) {
        return false;
    }
    uint64_t v = 0;
    for (uint8_t byte : value) {
        v = (v << 8) | byte;
    }
    if (v > UINT32_MAX) {
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

template <std::size_t N>
bool read_fixed(std::span<const uint8_t> value, std::array<uint8_t, N> &out) {
    if (value.size() != N) {
        return false;
    }
    std::copy(value.begin(), value.end(), out.begin());
    return true;
}

bool iterations_ok(uint32_t count) {
    return count >= 1 && count <= kMaxKeybagIterations;
}

bool salt_ok(const std::vector<uint8_t> &salt) {
    return !salt.empty() && salt.size() <= kMaxKeybagValueBytes;
}

// The bounds derive_password_key() relies on, whatever built the keybag.
bool header_ok(const BackupKeybag &keybag) {
    return salt_ok(keybag.salt) && iterations_ok(keybag.iterations) &&
           (keybag.dpsl.empty() || (salt_ok(keybag.dpsl) && iterations_ok(keybag.dpic)));
}

// Items seen, one bit each, so that a repeated item is refused.
enum Seen : uint32_t {
    kSeenVers = 1u << 0,
    kSeenType = 1u << 1,
    kSeenUuid = 1u << 2,
    kSeenHmck = 1u << 3,
    kSeenWrap = 1u << 4,
    kSeenSalt = 1u << 5,
    kSeenIter = 1u << 6,
    kSeenDpwt = 1u << 7,
    kSeenDpic = 1u << 8,
    kSeenDpsl = 1u << 9,
    kSeenClas = 1u << 10,
    kSeenKtyp = 1u << 11,
    kSeenWpky = 1u << 12,
};

class KeybagParser {
  public:
    explicit KeybagParser(BackupKeybag &keybag) : keybag_(keybag) {}

    bool item(uint32_t name, std::span<const uint8_t> value) {
        switch (name) {
            case tag("UUID"):
                if (!(header_seen_ & kSeenUuid)) {
                    header_seen_ |= kSeenUuid;
                    return read_fixed(value, keybag_.uuid);
                }
                if (in_class_ && !close_class()) {
                    return false;
                }
                in_class_ = true;
                class_seen_ = kSeenUuid;
                current_ = BackupKeybagClass();
                return read_fixed(value, current_.uuid);
            case tag("WRAP"):
                return in_class_ ? once(class_seen_, kSeenWrap) && read_int(value, current_.wrap)
                                 : once(header_seen_, kSeenWrap) && read_int(value, keybag_.wrap);
            case tag("VERS"):
                return header(kSeenVers) && read_int(value, keybag_.version);
            case tag("TYPE"):
                return header(kSeenType) && read_int(value, keybag_.type);
            case tag("HMCK"):
                return header(kSeenHmck) && assign(value, keybag_.hmck);
            case tag("SALT"):
                return header(kSeenSalt) && assign(value, keybag_.salt);
            case tag("ITER"):
                return header(kSeenIter) && read_int(value, keybag_.iterations);
            case tag("DPWT"):
                return header(kSeenDpwt) && read_int(value, keybag_.dpwt);
            case tag("DPIC"):
                return header(kSeenDpic) && read_int(value, keybag_.dpic);
            case tag("DPSL"):
                return header(kSeenDpsl) && assign(value, keybag_.dpsl);
            case tag("CLAS"):
                return in_class(kSeenClas) && read_int(value, current_.protection_class);
            case tag("KTYP"):
                return in_class(kSeenKtyp) && read_int(value, current_.key_type);
            case tag("WPKY"):
                return in_class(kSeenWpky) && read_fixed(value, current_.wrapped_key);
            default:
                return true;  // items of later devices that the format does not need
        }
    }

    bool finish() {
        if (in_class_ && !close_class()) {
            return false;
        }
        constexpr uint32_t required = kSeenVers | kSeenType | kSeenUuid | kSeenSalt | kSeenIter;
        constexpr uint32_t first_stage = kSeenDpwt | kSeenDpic | kSeenDpsl;
        uint32_t stage = header_seen_ & first_stage;
        return (header_seen_ & required) == required && (stage == 0 || stage == first_stage) &&
               (stage == 0 || !keybag_.dpsl.empty()) && header_ok(keybag_) &&
               !keybag_.classes.empty();
    }

  private:
    static bool once(uint32_t &seen, uint32_t bit) {
        if (seen & bit) {
            return false;
        }
        seen |= bit;
        return true;
    }
    bool header(uint32_t bit) { return !in_class_ && once(header_seen_, bit); }
    bool in_class(uint32_t bit) { return in_class_ && once(class_seen_, bit); }
    static bool assign(std::span<const uint8_t> value, std::vector<uint8_t> &out) {
        out.assign(value.begin(), value.end());
        return true;
    }

    bool close_class() {
        constexpr uint32_t required = kSeenUuid | kSeenClas | kSeenWrap | kSeenWpky;
        if ((class_seen_ & required) != required) {
            return false;
        }
        for (const BackupKeybagClass &other : keybag_.classes) {
            if (other.protection_class == current_.protection_class) {
                return false;
            }
        }
        keybag_.classes.push_back(current_);
        return true;
    }

    BackupKeybag &keybag_;
    BackupKeybagClass current_;
    uint32_t header_seen_ = 0;
    uint32_t class_seen_ = 0;
    bool in_class_ = false;
};

std::span<const uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

}  // namespace

const char *to_string(BackupCryptoResult result) {
    switch (result) {
        case BackupCryptoResult::kOk:
            return "success";
        case BackupCryptoResult::kMalformed:
            return "malformed keybag or key";
        case BackupCryptoResult::kWrongPassword:
            return "wrong password";
        case BackupCryptoResult::kNoClassKey:
            return "no key for the protection class";
        case BackupCryptoResult::kIntegrityFailure:
            return "data does not decrypt under its key";
        case BackupCryptoResult::kInvalidArgument:
            return "invalid argument";
        case BackupCryptoResult::kCryptoError:
            return "cryptographic library failure";
    }
    return "unknown result";
}

// ---- BackupKey, BackupClassKeys ----

BackupKey::BackupKey(std::span<const uint8_t, kBackupKeySize> bytes) {
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
}

BackupKey &BackupKey::operator=(const BackupKey &other) {
    bytes_ = other.bytes_;
    return *this;
}

BackupKey::~BackupKey() {
    OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

bool BackupKey::operator==(const BackupKey &other) const {
    return CRYPTO_memcmp(bytes_.data(), other.bytes_.data(), bytes_.size()) == 0;
}

const BackupKey *BackupClassKeys::find(uint32_t protection_class) const {
    for (const auto &[cls, key] : keys_) {
        if (cls == protection_class) {
            return &key;
        }
    }
    return nullptr;
}

void BackupClassKeys::set(uint32_t protection_class, const BackupKey &key) {
    for (auto &[cls, existing] : keys_) {
        if (cls == protection_class) {
            existing = key;
            return;
        }
    }
    keys_.emplace_back(protection_class, key);
}

// ---- Keys ----

BackupCryptoResult random_backup_key(BackupKey &key) {
    if (!fill_random({key.data(), key.size()})) {
        key = BackupKey();
        return BackupCryptoResult::kCryptoError;
    }
    return BackupCryptoResult::kOk;
}

BackupCryptoResult aes_key_wrap(const BackupKey &kek, const BackupKey &key,
                                std::array<uint8_t, kWrappedKeySize> &wrapped) {
    WrapFailure failure;
    if (!key_wrap_op(kek, key.bytes(), wrapped, true, failure)) {
        wrapped.fill(0);
        return BackupCryptoResult::kCryptoError;
    }
    return BackupCryptoResult::kOk;
}

BackupCryptoResult aes_key_unwrap(const BackupKey &kek,
                                  std::span<const uint8_t, kWrappedKeySize> wrapped,
                                  BackupKey &key) {
    WrapFailure failure;
    if (!key_wrap_op(kek, wrapped, {key.data(), key.size()}, false, failure)) {
        key = BackupKey();
        return failure == WrapFailure::kIntegrity ? BackupCryptoResult::kIntegrityFailure
                                                  : BackupCryptoResult::kCryptoError;
    }
    return BackupCryptoResult::kOk;
}

// ---- Keybags ----

BackupCryptoResult derive_password_key(const BackupKeybag &keybag, std::string_view password,
                                       BackupKey &key) {
    key = BackupKey();
    if (!header_ok(keybag)) {
        return BackupCryptoResult::kMalformed;
    }
    if (keybag.dpsl.empty()) {
        return pbkdf2(as_bytes(password), keybag.salt, keybag.iterations, "SHA1", key);
    }
    BackupKey k1;
    BackupCryptoResult result = pbkdf2(as_bytes(password), keybag.dpsl, keybag.dpic, "SHA256", k1);
    if (result != BackupCryptoResult::kOk) {
        return result;
    }
    return pbkdf2(k1.bytes(), keybag.salt, keybag.iterations, "SHA1", key);
}

BackupCryptoResult create_backup_keybag(std::string_view password, uint32_t dpic,
                                        BackupKeybag &keybag, BackupClassKeys &keys) {
    keybag = BackupKeybag();
    keys.clear();
    if (!iterations_ok(dpic)) {
        return BackupCryptoResult::kInvalidArgument;
    }
    BackupKeybag made;
    made.version = kNewKeybagVersion;
    made.type = kBackupKeybagType;
    made.hmck.resize(kHmckSize);
    made.wrap = 0;
    made.salt.resize(kSaltSize);
    made.iterations = kNewKeybagIterations;
    made.dpwt = 1;
    made.dpic = dpic;
    made.dpsl.resize(kSaltSize);
    if (!fill_random(made.uuid) || !fill_random(made.hmck) || !fill_random(made.salt) ||
        !fill_random(made.dpsl)) {
        return BackupCryptoResult::kCryptoError;
    }
    BackupKey password_key;
    BackupCryptoResult result = derive_password_key(made, password, password_key);
    BackupClassKeys made_keys;
    for (uint32_t cls = kFirstProtectionClass;
         result == BackupCryptoResult::kOk && cls <= kLastProtectionClass; ++cls) {
        BackupKeybagClass group;
        group.protection_class = cls;
        group.wrap = kWrapPassword;
        group.key_type = 0;
        BackupKey class_key;
        result = fill_random(group.uuid) ? random_backup_key(class_key)
                                         : BackupCryptoResult::kCryptoError;
        if (result == BackupCryptoResult::kOk) {
            result = aes_key_wrap(password_key, class_key, group.wrapped_key);
        }
        made.classes.push_back(group);
        made_keys.set(cls, class_key);
    }
    if (result != BackupCryptoResult::kOk) {
        return result;
    }
    keybag = std::move(made);
    keys = std::move(made_keys);
    return BackupCryptoResult::kOk;
}

std::vector<uint8_t> serialize_keybag(const BackupKeybag &keybag) {
    std::vector<uint8_t> out;
    put_int(out, tag("VERS"), keybag.version);
    put_int(out, tag("TYPE"), keybag.type);
    put_item(out, tag("UUID"), keybag.uuid);
    if (!keybag.hmck.empty()) {
        put_item(out, tag("HMCK"), keybag.hmck);
    }
    put_int(out, tag("WRAP"), keybag.wrap);
    put_item(out, tag("SALT"), keybag.salt);
    put_int(out, tag("ITER"), keybag.iterations);
    if (!keybag.dpsl.empty()) {
        put_int(out, tag("DPWT"), keybag.dpwt);
        put_int(out, tag("DPIC"), keybag.dpic);
        put_item(out, tag("DPSL"), keybag.dpsl);
    }
    for (const BackupKeybagClass &group : keybag.classes) {
        put_item(out, tag("UUID"), group.uuid);
        put_int(out, tag("CLAS"), group.protection_class);
        put_int(out, tag("WRAP"), group.wrap);
        put_int(out, tag("KTYP"), group.key_type);
        put_item(out, tag("WPKY"), group.wrapped_key);
    }
    return out;
}

BackupCryptoResult parse_keybag(std::span<const uint8_t> bytes, BackupKeybag &keybag) {
    keybag = BackupKeybag();
    if (bytes.size() > kMaxKeybagBytes) {
        return BackupCryptoResult::kMalformed;
    }
    KeybagParser parser(keybag);
    std::size_t pos = 0;
    std::size_t items = 0;
    bool ok = true;
    while (ok && pos < bytes.size()) {
        if (bytes.size() - pos < 8 || ++items > kMaxKeybagItems) {
            ok = false;
            break;
        }
        uint32_t name = read_be32(bytes.data() + pos);
        uint32_t length = read_be32(bytes.data() + pos + 4);
        pos += 8;
        if (length > kMaxKeybagValueBytes || length > bytes.size() - pos) {
            ok = false;
            break;
        }
        ok = parser.item(name, bytes.subspan(pos, length));
        pos += length;
    }
    if (!ok || !parser.finish()) {
        keybag = BackupKeybag();
        return BackupCryptoResult::kMalformed;
    }
    return BackupCryptoResult::kOk;
}

BackupCryptoResult unlock_keybag(const BackupKeybag &keybag, std::string_view password,
                                 BackupClassKeys &keys) {
    keys.clear();
    BackupKey password_key;
    BackupCryptoResult result = derive_password_key(keybag, password, password_key);
    if (result != BackupCryptoResult::kOk) {
        return result;
    }
    BackupClassKeys opened;
    for (const BackupKeybagClass &group : keybag.classes) {
        if (group.wrap != kWrapPassword) {
            continue;
        }
        BackupKey class_key;
        result = aes_key_unwrap(password_key, group.wrapped_key, class_key);
        if (result == BackupCryptoResult::kIntegrityFailure) {
            return BackupCryptoResult::kWrongPassword;
        }
        if (result != BackupCryptoResult::kOk) {
            return result;
        }
        opened.set(group.protection_class, class_key);
    }
    if (opened.size() == 0) {
        return BackupCryptoResult::kMalformed;
    }
    keys = std::move(opened);
    return BackupCryptoResult::kOk;
}

BackupCryptoResult rewrap_keybag(const BackupKeybag &keybag, std::string_view old_password,
                                 std::string_view new_password, BackupKeybag &rewrapped) {
    BackupClassKeys keys;
    BackupCryptoResult result = unlock_keybag(keybag, old_password, keys);
    if (result != BackupCryptoResult::kOk) {
        return result;
    }
    BackupKeybag made = keybag;
    if (!fill_random(made.salt) || !fill_random(made.dpsl)) {
        return BackupCryptoResult::kCryptoError;
    }
    BackupKey password_key;
    result = derive_password_key(made, new_password, password_key);
    for (BackupKeybagClass &group : made.classes) {
        const BackupKey *class_key = keys.find(group.protection_class);
        if (result == BackupCryptoResult::kOk && class_key && group.wrap == kWrapPassword) {
            result = aes_key_wrap(password_key, *class_key, group.wrapped_key);
        }
    }
    if (result != BackupCryptoResult::kOk) {
        return result;
    }
    rewrapped = std::move(made);
    return BackupCryptoResult::kOk;
}

// ---- ManifestKey / EncryptionKey ----

BackupCryptoResult make_wrapped_class_key(const BackupClassKeys &keys, uint32_t protection_class,
                                          BackupKey &key, std::vector<uint8_t> &blob) {
    key = BackupKey();
    blob.clear();
    const BackupKey *class_key = keys.find(protection_class);
    if (!class_key) {
        return BackupCryptoResult::kNoClassKey;
    }
    BackupKey made;
    std::array<uint8_t, kWrappedKeySize> wrapped{};
    BackupCryptoResult result = random_backup_key(made);
    if (result == BackupCryptoResult::kOk) {
        result = aes_key_wrap(*class_key, made, wrapped);
    }
    if (result != BackupCryptoResult::kOk) {
        return result;
    }
    blob.reserve(kWrappedClassKeyBlobSize);
    for (int shift = 0; shift < 32; shift += 8) {
        blob.push_back(static_cast<uint8_t>(protection_class >> shift));
    }
    blob.insert(blob.end(), wrapped.begin(), wrapped.end());
    key = made;
    return BackupCryptoResult::kOk;
}

BackupCryptoResult unwrap_class_key_blob(const BackupClassKeys &keys, std::span<const uint8_t> blob,
                                         BackupKey &key, uint32_t &protection_class) {
    key = BackupKey();
    if (blob.size() != kWrappedClassKeyBlobSize) {
        return BackupCryptoResult::kMalformed;
    }
    uint32_t cls = static_cast<uint32_t>(blob[0]) | (static_cast<uint32_t>(blob[1]) << 8) |
                   (static_cast<uint32_t>(blob[2]) << 16) | (static_cast<uint32_t>(blob[3]) << 24);
    const BackupKey *class_key = keys.find(cls);
    if (!class_key) {
        return BackupCryptoResult::kNoClassKey;
    }
    BackupCryptoResult result = aes_key_unwrap(*class_key, blob.subspan<4, kWrappedKeySize>(), key);
    if (result == BackupCryptoResult::kOk) {
        protection_class = cls;
    }
    return result;
}

// ---- Content ----

ContentCipher::ContentCipher(ContentCipher &&other) noexcept
    : ctx_(std::exchange(other.ctx_, nullptr)) {}

ContentCipher &ContentCipher::operator=(ContentCipher &&other) noexcept {
    if (this != &other) {
        reset();
        ctx_ = std::exchange(other.ctx_, nullptr);
    }
    return *this;
}

ContentCipher::~ContentCipher() {
    reset();
}

void ContentCipher::reset() {
    // Freeing the context has the provider wipe its key schedule.
    EVP_CIPHER_CTX_free(ctx_);
    ctx_ = nullptr;
}

BackupCryptoResult ContentCipher::start(const BackupKey &key, CipherDirection direction) {
    reset();
    CipherPtr cipher(EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr));
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    static const uint8_t kZeroIv[16] = {};
    if (!cipher || !ctx ||
        EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.data(), kZeroIv,
                           direction == CipherDirection::kEncrypt ? 1 : 0, nullptr) != 1) {
        return BackupCryptoResult::kCryptoError;
    }
    ctx_ = ctx.release();
    return BackupCryptoResult::kOk;
}

BackupCryptoResult ContentCipher::update(std::span<const uint8_t> input,
                                         std::vector<uint8_t> &out) {
    if (!ctx_) {
        return BackupCryptoResult::kInvalidArgument;
    }
    // EVP counts in int: feed very large spans in pieces.
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    while (!input.empty()) {
        std::span<const uint8_t> piece = input.first(std::min(input.size(), kPiece));
        std::size_t old = out.size();
        out.resize(old + piece.size() + 16);
        int written = 0;
        if (EVP_CipherUpdate(ctx_, out.data() + old, &written, piece.data(),
                             static_cast<int>(piece.size())) != 1) {
            out.resize(old);
            reset();
            return BackupCryptoResult::kCryptoError;
        }
        out.resize(old + static_cast<std::size_t>(written));
        input = input.subspan(piece.size());
    }
    return BackupCryptoResult::kOk;
}

BackupCryptoResult ContentCipher::finish(std::vector<uint8_t> &out) {
    if (!ctx_) {
        return BackupCryptoResult::kInvalidArgument;
    }
    bool encrypting = EVP_CIPHER_CTX_is_encrypting(ctx_) == 1;
    std::size_t old = out.size();
    out.resize(old + 16);
    int written = 0;
    bool ok = EVP_CipherFinal_ex(ctx_, out.data() + old, &written) == 1;
    out.resize(ok ? old + static_cast<std::size_t>(written) : old);
    reset();
    if (!ok) {
        return encrypting ? BackupCryptoResult::kCryptoError
                          : BackupCryptoResult::kIntegrityFailure;
    }
    return BackupCryptoResult::kOk;
}

namespace {

BackupCryptoResult one_shot(const BackupKey &key, CipherDirection direction,
                            std::span<const uint8_t> input, std::vector<uint8_t> &out) {
    out.clear();
    out.reserve(input.size() + 16);
    ContentCipher cipher;
    BackupCryptoResult result = cipher.start(key, direction);
    if (result == BackupCryptoResult::kOk) {
        result = cipher.update(input, out);
    }
    if (result == BackupCryptoResult::kOk) {
        result = cipher.finish(out);
    }
    if (result != BackupCryptoResult::kOk) {
        out.clear();
    }
    return result;
}

}  // namespace

BackupCryptoResult encrypt_content(const BackupKey &key, std::span<const uint8_t> plain,
                                   std::vector<uint8_t> &out) {
    return one_shot(key, CipherDirection::kEncrypt, plain, out);
}

BackupCryptoResult decrypt_content(const BackupKey &key, std::span<const uint8_t> cipher,
                                   std::vector<uint8_t> &out) {
    return one_shot(key, CipherDirection::kDecrypt, cipher, out);
}

}  // namespace tarvo
