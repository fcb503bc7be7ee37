/*
 * The devices' encrypted-backup format: the keybag of Manifest.plist, the
 * password key that opens it, the wrapped per-file and manifest keys, and the
 * AES-256-CBC content of the files. The simulated device writes and reads
 * backups with it, and an offline reader opens them, so both sides agree on
 * one implementation.
 *
 * Every primitive is OpenSSL's. Keybags and wrapped keys come from files a
 * device or a host wrote, so the parsers take any bytes: bad input gives
 * kMalformed, never a crash or an unbounded allocation. Keys and
 * password-derived material live in BackupKey, which wipes itself. No
 * function throws except for allocation failure.
 */
#ifndef TARVO_COMMON_BACKUP_CRYPTO_H
#define TARVO_COMMON_BACKUP_CRYPTO_H

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvo {

enum class BackupCryptoResult {
    kOk,
    /// The input is not a well-formed keybag, wrapped key or argument of
    /// the format (bad length, missing or repeated item, value out of range).
    kMalformed,
    /// The keybag's class keys failed the unwrap's integrity check under the
    /// key derived from the password.
    kWrongPassword,
    /// The keys at hand have no key for the protection class named.
    kNoClassKey,
    /// Data does not decrypt under its key: a wrapped key failed the unwrap's
    /// integrity check, or content has bad padding or a length that is not
    /// a multiple of the block. Corrupt data or a key from elsewhere.
    kIntegrityFailure,
    /// The caller broke a contract (a cipher used before start(), a zero
    /// iteration count).
    kInvalidArgument,
    /// OpenSSL failed for reasons of its own (allocation, random source).
    kCryptoError,
};

/// A fixed English name for messages ("wrong password", ...).
const char *to_string(BackupCryptoResult result);

inline constexpr std::size_t kBackupKeySize = 32;
/// An RFC 3394 wrapped 32-byte key.
inline constexpr std::size_t kWrappedKeySize = 40;
/// ManifestKey / EncryptionKey: 4-byte little-endian class, wrapped key.
inline constexpr std::size_t kWrappedClassKeyBlobSize = 4 + kWrappedKeySize;
/// The protection classes a new keybag holds.
inline constexpr uint32_t kFirstProtectionClass = 1;
inline constexpr uint32_t kLastProtectionClass = 11;
/// The iteration count devices use for the first derivation stage.
inline constexpr uint32_t kDeviceKeybagDpic = 10'000'000;

/// Parser bounds. Device keybags are about 2 KiB in some 70 items with
/// values of at most 40 bytes; these leave wide room while bounding what a
/// hostile file costs. The iteration cap bounds the CPU one unlock attempt
/// can be made to spend (about ten times a device keybag).
inline constexpr std::size_t kMaxKeybagBytes = 64 * 1024;
inline constexpr std::size_t kMaxKeybagItems = 1024;
inline constexpr std::size_t kMaxKeybagValueBytes = 4096;
inline constexpr uint32_t kMaxKeybagIterations = 100'000'000;

/// A 32-byte AES-256 key or key-derivation output, wiped when destroyed or
/// overwritten. Copies are independent and each wipes itself.
class BackupKey {
  public:
    BackupKey() { bytes_.fill(0); }
    explicit BackupKey(std::span<const uint8_t, kBackupKeySize> bytes);
    BackupKey(const BackupKey &other) : bytes_(other.bytes_) {}
    BackupKey &operator=(const BackupKey &other);
    ~BackupKey();

    uint8_t *data() { return bytes_.data(); }
    const uint8_t *data() const { return bytes_.data(); }
    static constexpr std::size_t size() { return kBackupKeySize; }
    std::span<const uint8_t, kBackupKeySize> bytes() const { return bytes_; }

    /// Constant-time comparison.
    bool operator==(const BackupKey &other) const;

  private:
    std::array<uint8_t, kBackupKeySize> bytes_;
};

/// One protection class group of a keybag.
struct BackupKeybagClass {
    std::array<uint8_t, 16> uuid{};
    uint32_t protection_class = 0;                       // CLAS
    uint32_t wrap = 0;                                   // WRAP: 2 = wrapped with the password key
    uint32_t key_type = 0;                               // KTYP (0 when absent)
    std::array<uint8_t, kWrappedKeySize> wrapped_key{};  // WPKY

    bool operator==(const BackupKeybagClass &) const = default;
};

/// A keybag's header values and class groups. The first derivation stage
/// (DPWT, DPIC, DPSL) is present when dpsl is non-empty; a keybag without it
/// derives its key from the password in one stage. hmck is empty when absent.
struct BackupKeybag {
    uint32_t version = 0;  // VERS
    uint32_t type = 0;     // TYPE: 1 = backup
    std::array<uint8_t, 16> uuid{};
    std::vector<uint8_t> hmck;
    uint32_t wrap = 0;  // WRAP
    std::vector<uint8_t> salt;
    uint32_t iterations = 0;  // ITER
    uint32_t dpwt = 0;
    uint32_t dpic = 0;
    std::vector<uint8_t> dpsl;
    std::vector<BackupKeybagClass> classes;

    bool operator==(const BackupKeybag &) const = default;
};

/// The class keys of an unlocked keybag, one per protection class; each key
/// wipes itself.
class BackupClassKeys {
  public:
    /// The key of `protection_class`, or null.
    const BackupKey *find(uint32_t protection_class) const;
    /// Adds or replaces the key of `protection_class`.
    void set(uint32_t protection_class, const BackupKey &key);
    std::size_t size() const { return keys_.size(); }
    void clear() { keys_.clear(); }

  private:
    std::vector<std::pair<uint32_t, BackupKey>> keys_;
};

/// Fills `key` from the system's random source. kCryptoError when it fails.
BackupCryptoResult random_backup_key(BackupKey &key);

/// RFC 3394 AES-256 key wrap of `key` under `kek` with the default IV.
BackupCryptoResult aes_key_wrap(const BackupKey &kek, const BackupKey &key,
                                std::array<uint8_t, kWrappedKeySize> &wrapped);

/// The inverse of aes_key_wrap(). kIntegrityFailure when `wrapped` was not
/// wrapped under `kek` (the unwrap's check value does not match); `key` is
/// then zeroed.
BackupCryptoResult aes_key_unwrap(const BackupKey &kek,
                                  std::span<const uint8_t, kWrappedKeySize> wrapped,
                                  BackupKey &key);

/// A new backup keybag for `password`: VERS 4, TYPE 1, random UUID, HMCK,
/// SALT and DPSL, ITER 10000, DPWT 1, DPIC `dpic`, and one group per class
/// 1..11 holding a random class key wrapped with the password key. `keys`
/// receives those class keys. `dpic` must be in 1..kMaxKeybagIterations
/// (kInvalidArgument otherwise); devices use kDeviceKeybagDpic, which costs
/// about a second of CPU. On failure both outputs are cleared.
BackupCryptoResult create_backup_keybag(std::string_view password, uint32_t dpic,
                                        BackupKeybag &keybag, BackupClassKeys &keys);

/// The TLV bytes of `keybag`: header items in the devices' order (HMCK and
/// the first-stage items only when present), then each class group.
/// parse_keybag() of the result gives `keybag` back for any keybag it accepts.
std::vector<uint8_t> serialize_keybag(const BackupKeybag &keybag);

/// Parses keybag bytes from a file. Accepts at most kMaxKeybagBytes in at
/// most kMaxKeybagItems items of at most kMaxKeybagValueBytes; integers of
/// 1..8 bytes that fit 32 bits; items of unknown tags are skipped. Requires
/// VERS, TYPE, a 16-byte UUID, a non-empty SALT, ITER and DPIC in
/// 1..kMaxKeybagIterations, DPIC and DPSL together or neither, and at least
/// one class group; each group needs a 16-byte UUID (which opens it), a
/// CLAS unique in the keybag, WRAP and a 40-byte WPKY. Header items after
/// the first group, class items before it and repeated items are refused.
/// kMalformed on any violation, with `keybag` cleared.
BackupCryptoResult parse_keybag(std::span<const uint8_t> bytes, BackupKeybag &keybag);

/// The key that wraps the class keys: PBKDF2-HMAC-SHA1(k1, SALT, ITER, 32)
/// with k1 = PBKDF2-HMAC-SHA256(password, DPSL, DPIC, 32), or with k1 = the
/// password when the keybag has no first stage. kMalformed when the keybag's
/// salts or counts are out of the bounds parse_keybag() enforces.
BackupCryptoResult derive_password_key(const BackupKeybag &keybag, std::string_view password,
                                       BackupKey &key);

/// Unwraps every class wrapped with the password key (WRAP 2) into `keys`;
/// other classes cannot be opened with a password and are left out.
/// kWrongPassword when an unwrap fails its integrity check; kMalformed when
/// no class is wrapped with the password. On failure `keys` is cleared.
BackupCryptoResult unlock_keybag(const BackupKeybag &keybag, std::string_view password,
                                 BackupClassKeys &keys);

/// The keybag for a password change: `keybag` unlocked with `old_password`,
/// its class keys wrapped again under `new_password` with new random SALT
/// and DPSL. Everything else (UUIDs, counts, classes, class keys) stays.
/// kWrongPassword when `old_password` does not unlock it. On failure
/// `rewrapped` is unchanged, so it may be `keybag` itself.
BackupCryptoResult rewrap_keybag(const BackupKeybag &keybag, std::string_view old_password,
                                 std::string_view new_password, BackupKeybag &rewrapped);

/// A ManifestKey / EncryptionKey blob: a new random key in `key`, wrapped
/// with the class key of `protection_class`, written to `blob` as the class
/// (4 bytes, little-endian) and the 40-byte wrapped key. kNoClassKey when
/// `keys` has no key for the class. On failure both outputs are cleared.
BackupCryptoResult make_wrapped_class_key(const BackupClassKeys &keys, uint32_t protection_class,
                                          BackupKey &key, std::vector<uint8_t> &blob);

/// The key in a ManifestKey / EncryptionKey blob and its protection class.
/// kMalformed unless the blob has exactly kWrappedClassKeyBlobSize bytes;
/// kNoClassKey when `keys` has no key for its class; kIntegrityFailure when
/// it was not wrapped with that class key. On failure `key` is zeroed.
BackupCryptoResult unwrap_class_key_blob(const BackupClassKeys &keys, std::span<const uint8_t> blob,
                                         BackupKey &key, uint32_t &protection_class);

enum class CipherDirection { kEncrypt, kDecrypt };

/// Backup content, AES-256-CBC with a zero IV and PKCS#7 padding, streamed:
/// start(), update() for each chunk, finish(). It holds at most one block
/// between calls, so files of any size pass through a fixed buffer.
/// Not copyable; the key schedule is wiped on restart and destruction.
class ContentCipher {
  public:
    ContentCipher() = default;
    ContentCipher(ContentCipher &&other) noexcept;
    ContentCipher &operator=(ContentCipher &&other) noexcept;
    ContentCipher(const ContentCipher &) = delete;
    ContentCipher &operator=(const ContentCipher &) = delete;
    ~ContentCipher();

    /// Begins a new stream under `key`, dropping any stream in progress.
    BackupCryptoResult start(const BackupKey &key, CipherDirection direction);
    /// Appends the output for `input` to `out` (at most input.size() + 16
    /// bytes). kInvalidArgument unless a stream is in progress. Any failure
    /// here or in finish() ends the stream.
    BackupCryptoResult update(std::span<const uint8_t> input, std::vector<uint8_t> &out);
    /// Appends the last block (encryption: the padding; decryption: the
    /// last plain bytes) and ends the stream. Decryption gives
    /// kIntegrityFailure for bad padding or a length not a multiple of 16.
    BackupCryptoResult finish(std::vector<uint8_t> &out);

  private:
    void reset();
    EVP_CIPHER_CTX *ctx_ = nullptr;
};

/// One-shot encryption of a small buffer into `out` (replaced).
BackupCryptoResult encrypt_content(const BackupKey &key, std::span<const uint8_t> plain,
                                   std::vector<uint8_t> &out);

/// One-shot decryption into `out` (replaced; cleared on failure), with the
/// results of ContentCipher::finish().
BackupCryptoResult decrypt_content(const BackupKey &key, std::span<const uint8_t> cipher,
                                   std::vector<uint8_t> &out);

}  // namespace tarvo

#endif
