/*
 * An encrypted backup opened the way an outside reader would, straight
 * from the published format with OpenSSL's primitives: the keybag's TLV
 * items, the two-stage PBKDF2 password key, RFC 3394 unwraps and
 * AES-256-CBC with a zero IV. Written apart from the product's own backup
 * crypto on purpose, so that tests check the format rather than agree
 * with themselves.
 */
#ifndef TARVO_TESTS_ENCRYPTED_BACKUP_READER_H
#define TARVO_TESTS_ENCRYPTED_BACKUP_READER_H

#include <openssl/evp.h>
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mb2test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

inline uint32_t big_endian(const Bytes &value) {
    uint32_t number = 0;
    for (uint8_t byte : value) {
        number = number << 8 | byte;
    }
    return number;
}

/// RFC 3394 unwrap of a 40-byte wrapped key; nullopt when its check fails.
inline std::optional<Bytes> aes_unwrap(const Bytes &kek, const Bytes &wrapped) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    Bytes key(wrapped.size());
    int length = 0;
    const bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) &&
                    EVP_DecryptUpdate(ctx, key.data(), &length, wrapped.data(),
                                      static_cast<int>(wrapped.size())) &&
                    length == 32;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) {
        return std::nullopt;
    }
    key.resize(32);
    return key;
}

/// AES-256-CBC with a zero IV and PKCS#7 padding; nullopt on bad padding.
inline std::optional<Bytes> aes_cbc_decrypt(const Bytes &key, const Bytes &cipher) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const uint8_t iv[16] = {};
    Bytes plain(cipher.size() + 16);
    int length = 0;
    int last = 0;
    const bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv) &&
                    EVP_DecryptUpdate(ctx, plain.data(), &length, cipher.data(),
                                      static_cast<int>(cipher.size())) &&
                    EVP_DecryptFinal_ex(ctx, plain.data() + length, &last);
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) {
        return std::nullopt;
    }
    plain.resize(static_cast<std::size_t>(length + last));
    return plain;
}

/// The class keys a password opens, by protection class; nullopt when the
/// password is wrong.
inline std::optional<std::map<uint32_t, Bytes>> unlock_keybag(const Bytes &keybag,
                                                              const std::string &password) {
    std::map<std::string, Bytes> header;
    std::map<uint32_t, Bytes> wrapped;
    std::optional<uint32_t> group;
    for (std::size_t at = 0; at + 8 <= keybag.size();) {
        const std::string tag(keybag.begin() + at, keybag.begin() + at + 4);
        const uint32_t length = big_endian(Bytes(keybag.begin() + at + 4, keybag.begin() + at + 8));
        if (length > keybag.size() - at - 8) {
            return std::nullopt;
        }
        const Bytes value(keybag.begin() + at + 8, keybag.begin() + at + 8 + length);
        at += 8 + length;
        if (tag == "UUID" && header.count("UUID")) {
            group.reset();  // a class group begins
        } else if (tag == "CLAS") {
            group = big_endian(value);
        } else if (tag == "WPKY" && group) {
            wrapped[*group] = value;
        }
        if (!group && tag != "CLAS") {
            header.emplace(tag, value);
        }
    }
    Bytes k1(32);
    Bytes key(32);
    const Bytes &dpsl = header["DPSL"];
    const Bytes &salt = header["SALT"];
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), dpsl.data(),
                      static_cast<int>(dpsl.size()), static_cast<int>(big_endian(header["DPIC"])),
                      EVP_sha256(), 32, k1.data());
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(k1.data()), 32, salt.data(),
                      static_cast<int>(salt.size()), static_cast<int>(big_endian(header["ITER"])),
                      EVP_sha1(), 32, key.data());
    std::map<uint32_t, Bytes> keys;
    for (const auto &[protection_class, blob] : wrapped) {
        std::optional<Bytes> unwrapped = aes_unwrap(key, blob);
        if (!unwrapped) {
            return std::nullopt;
        }
        keys[protection_class] = *unwrapped;
    }
    return keys;
}

/// A ManifestKey / EncryptionKey blob opened: 4-byte little-endian class,
/// then the wrapped key.
inline std::optional<Bytes> open_key_blob(const std::map<uint32_t, Bytes> &keys,
                                          const Bytes &blob) {
    if (blob.size() != 44) {
        return std::nullopt;
    }
    const uint32_t protection_class = blob[0] | blob[1] << 8 | blob[2] << 16 | blob[3] << 24;
    auto found = keys.find(protection_class);
    return found == keys.end() ? std::nullopt
                               : aes_unwrap(found->second, Bytes(blob.begin() + 4, blob.end()));
}

inline Bytes data_of(plist_t node) {
    char *data = nullptr;
    uint64_t length = 0;
    if (node && plist_get_node_type(node) == PLIST_DATA) {
        plist_get_data_val(node, &data, &length);
    }
    Bytes bytes(data, data + (data ? length : 0));
    std::free(data);
    return bytes;
}

/// The EncryptionKey of an MBFile keyed archive (binary plist bytes).
inline Bytes mb_file_encryption_key(const Bytes &archive) {
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char *>(archive.data()),
                   static_cast<uint32_t>(archive.size()), &root);
    plist_t objects = root ? plist_dict_get_item(root, "$objects") : nullptr;
    plist_t record = objects ? plist_array_get_item(objects, 1) : nullptr;
    plist_t uid = record ? plist_dict_get_item(record, "EncryptionKey") : nullptr;
    Bytes key;
    if (uid && plist_get_node_type(uid) == PLIST_UID) {
        uint64_t index = 0;
        plist_get_uid_val(uid, &index);
        plist_t holder = plist_array_get_item(objects, static_cast<uint32_t>(index));
        key = data_of(holder ? plist_dict_get_item(holder, "NS.data") : nullptr);
    }
    plist_free(root);
    return key;
}

}  // namespace mb2test

#endif
