// The encrypted-backup primitives, checked against OpenSSL called directly
// and RFC 3394's published vector. Keybags use tiny first-stage counts so
// the suite stays fast.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "backup_crypto.h"

namespace tarvo {
namespace {

using Bytes = std::vector<uint8_t>;
using R = BackupCryptoResult;

struct Item {
    std::string tag;
    Bytes value;
};

// A trusting splitter: only ever fed bytes serialize_keybag() wrote.
std::vector<Item> split(const Bytes &bytes) {
    std::vector<Item> items;
    for (std::size_t pos = 0; pos + 8 <= bytes.size();) {
        std::size_t length = (std::size_t{bytes[pos + 4]} << 24) | (bytes[pos + 5] << 16) |
                             (bytes[pos + 6] << 8) | bytes[pos + 7];
        items.push_back({std::string(bytes.begin() + pos, bytes.begin() + pos + 4),
                         Bytes(bytes.begin() + pos + 8, bytes.begin() + pos + 8 + length)});
        pos += 8 + length;
    }
    return items;
}

Bytes be(uint64_t value, std::size_t width = 4) {
    Bytes out(width);
    for (std::size_t i = 0; i < width; ++i) {
        out[width - 1 - i] = i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0;
    }
    return out;
}

Bytes join(const std::vector<Item> &items) {
    Bytes out;
    for (const Item &item : items) {
        out.insert(out.end(), item.tag.begin(), item.tag.end());
        Bytes length = be(item.value.size());
        out.insert(out.end(), length.begin(), length.end());
        out.insert(out.end(), item.value.begin(), item.value.end());
    }
    return out;
}

Bytes hex(const std::string &text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

BackupKey key_from(const Bytes &bytes) {
    return BackupKey(std::span<const uint8_t, kBackupKeySize>(bytes.data(), kBackupKeySize));
}

struct Made {
    BackupKeybag keybag;
    BackupClassKeys keys;
};

Made make_keybag(std::string_view password) {
    Made made;
    EXPECT_EQ(create_backup_keybag(password, 3, made.keybag, made.keys), R::kOk);
    return made;
}

void expect_same_keys(const BackupClassKeys &a, const BackupClassKeys &b) {
    ASSERT_EQ(a.size(), b.size());
    for (uint32_t cls = kFirstProtectionClass; cls <= kLastProtectionClass; ++cls) {
        ASSERT_TRUE(a.find(cls) && b.find(cls)) << cls;
        EXPECT_TRUE(*a.find(cls) == *b.find(cls)) << cls;
    }
}

TEST(BackupCrypto, PasswordKeyMatchesPbkdf2CalledDirectly) {
    Made made = make_keybag("hunter2");
    const BackupKeybag &kb = made.keybag;
    Bytes k1(32), expected(32);
    ASSERT_EQ(PKCS5_PBKDF2_HMAC("hunter2", 7, kb.dpsl.data(), kb.dpsl.size(), kb.dpic, EVP_sha256(),
                                32, k1.data()),
              1);
    ASSERT_EQ(PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(k1.data()), 32, kb.salt.data(),
                                kb.salt.size(), kb.iterations, EVP_sha1(), 32, expected.data()),
              1);
    BackupKey key;
    ASSERT_EQ(derive_password_key(kb, "hunter2", key), R::kOk);
    EXPECT_TRUE(key == key_from(expected));

    // Without the first stage the password goes straight into the second.
    BackupKeybag single = kb;
    single.dpsl.clear();
    ASSERT_EQ(PKCS5_PBKDF2_HMAC("hunter2", 7, kb.salt.data(), kb.salt.size(), kb.iterations,
                                EVP_sha1(), 32, expected.data()),
              1);
    ASSERT_EQ(derive_password_key(single, "hunter2", key), R::kOk);
    EXPECT_TRUE(key == key_from(expected));
}

TEST(BackupCrypto, KeyWrapMatchesRfc3394Vector) {
    BackupKey kek =
        key_from(hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"));
    BackupKey data =
        key_from(hex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F"));
    Bytes expected =
        hex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");
    std::array<uint8_t, kWrappedKeySize> wrapped{};
    ASSERT_EQ(aes_key_wrap(kek, data, wrapped), R::kOk);
    EXPECT_EQ(Bytes(wrapped.begin(), wrapped.end()), expected);
    BackupKey unwrapped;
    ASSERT_EQ(aes_key_unwrap(kek, wrapped, unwrapped), R::kOk);
    EXPECT_TRUE(unwrapped == data);
    wrapped[5] ^= 1;
    EXPECT_EQ(aes_key_unwrap(kek, wrapped, unwrapped), R::kIntegrityFailure);
    EXPECT_TRUE(unwrapped == BackupKey());
}

TEST(BackupCrypto, KeybagRoundTripsAndUnlocks) {
    Made made = make_keybag("pw");
    const BackupKeybag &kb = made.keybag;
    EXPECT_EQ(kb.version, 4u);
    EXPECT_EQ(kb.type, 1u);
    EXPECT_EQ(kb.iterations, 10000u);
    EXPECT_EQ(kb.dpwt, 1u);
    EXPECT_EQ(kb.dpic, 3u);
    EXPECT_EQ(kb.salt.size(), 20u);
    EXPECT_EQ(kb.dpsl.size(), 20u);
    ASSERT_EQ(kb.classes.size(), 11u);

    // Items the format does not need are skipped.
    std::vector<Item> items = split(serialize_keybag(kb));
    items.insert(items.begin() + 3, {"SART", be(7)});
    items.push_back({"PBKY", Bytes(32, 9)});
    BackupKeybag parsed;
    ASSERT_EQ(parse_keybag(join(items), parsed), R::kOk);
    EXPECT_EQ(parsed, kb);

    BackupClassKeys keys;
    ASSERT_EQ(unlock_keybag(parsed, "pw", keys), R::kOk);
    expect_same_keys(keys, made.keys);
    EXPECT_EQ(unlock_keybag(parsed, "pW", keys), R::kWrongPassword);
    EXPECT_EQ(keys.size(), 0u);
}

TEST(BackupCrypto, RewrapMovesClassKeysToTheNewPassword) {
    Made made = make_keybag("old");
    BackupKeybag rewrapped;
    ASSERT_EQ(rewrap_keybag(made.keybag, "old", "new", rewrapped), R::kOk);
    EXPECT_NE(rewrapped.salt, made.keybag.salt);
    EXPECT_NE(rewrapped.dpsl, made.keybag.dpsl);
    EXPECT_EQ(rewrapped.uuid, made.keybag.uuid);

    BackupKeybag parsed;
    ASSERT_EQ(parse_keybag(serialize_keybag(rewrapped), parsed), R::kOk);
    BackupClassKeys keys;
    EXPECT_EQ(unlock_keybag(parsed, "old", keys), R::kWrongPassword);
    ASSERT_EQ(unlock_keybag(parsed, "new", keys), R::kOk);
    expect_same_keys(keys, made.keys);

    BackupKeybag untouched = rewrapped;
    EXPECT_EQ(rewrap_keybag(made.keybag, "wrong", "x", untouched), R::kWrongPassword);
    EXPECT_EQ(untouched, rewrapped);
}

TEST(BackupCrypto, ClassKeyBlobRoundTrips) {
    Made made = make_keybag("pw");
    BackupKey key;
    Bytes blob;
    ASSERT_EQ(make_wrapped_class_key(made.keys, 3, key, blob), R::kOk);
    ASSERT_EQ(blob.size(), kWrappedClassKeyBlobSize);
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 4), (Bytes{3, 0, 0, 0}));

    BackupKey unwrapped;
    uint32_t cls = 0;
    ASSERT_EQ(unwrap_class_key_blob(made.keys, blob, unwrapped, cls), R::kOk);
    EXPECT_TRUE(unwrapped == key);
    EXPECT_EQ(cls, 3u);

    EXPECT_EQ(make_wrapped_class_key(made.keys, 12, key, blob), R::kNoClassKey);
    EXPECT_TRUE(blob.empty());
    ASSERT_EQ(make_wrapped_class_key(made.keys, 3, key, blob), R::kOk);
    Made other = make_keybag("pw");
    EXPECT_EQ(unwrap_class_key_blob(other.keys, blob, unwrapped, cls), R::kIntegrityFailure);
    blob[0] = 12;
    EXPECT_EQ(unwrap_class_key_blob(made.keys, blob, unwrapped, cls), R::kNoClassKey);
    blob.pop_back();
    EXPECT_EQ(unwrap_class_key_blob(made.keys, blob, unwrapped, cls), R::kMalformed);
}

Bytes stream(const BackupKey &key, CipherDirection direction, const Bytes &input,
             std::size_t chunk) {
    ContentCipher cipher;
    Bytes out, part;
    EXPECT_EQ(cipher.start(key, direction), R::kOk);
    for (std::size_t pos = 0; pos < input.size(); pos += chunk) {
        part.clear();
        std::size_t n = std::min(chunk, input.size() - pos);
        EXPECT_EQ(cipher.update(std::span(input).subspan(pos, n), part), R::kOk);
        EXPECT_LE(part.size(), n + 16);
        out.insert(out.end(), part.begin(), part.end());
    }
    EXPECT_EQ(cipher.finish(out), R::kOk);
    return out;
}

TEST(BackupCrypto, StreamingCbcMatchesOneShotAtOddSizes) {
    BackupKey key = key_from(Bytes(32, 0x42));
    for (std::size_t size : {0u, 1u, 15u, 16u, 17u, 32768u + 3u}) {
        Bytes plain(size);
        for (std::size_t i = 0; i < size; ++i) {
            plain[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        Bytes whole;
        ASSERT_EQ(encrypt_content(key, plain, whole), R::kOk);
        EXPECT_EQ(whole.size(), (size / 16 + 1) * 16) << size;
        EXPECT_EQ(stream(key, CipherDirection::kEncrypt, plain, 5), whole) << size;
        EXPECT_EQ(stream(key, CipherDirection::kDecrypt, whole, 4096 + 1), plain) << size;
        Bytes back;
        ASSERT_EQ(decrypt_content(key, whole, back), R::kOk);
        EXPECT_EQ(back, plain) << size;
    }
    // A zero IV: the first block of an empty file is the padding block
    // encrypted alone, which plain ECB gives independently.
    Bytes empty, whole, ecb(32);
    ASSERT_EQ(encrypt_content(key, empty, whole), R::kOk);
    Bytes pad(16, 16);
    int n = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    ASSERT_EQ(EVP_EncryptUpdate(ctx, ecb.data(), &n, pad.data(), 16), 1);
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_EQ(whole, Bytes(ecb.begin(), ecb.begin() + 16));
}

TEST(BackupCrypto, BadPaddingAndMisuseAreErrors) {
    BackupKey key = key_from(Bytes(32, 1));
    // A block whose last plain byte is 0 is never valid padding.
    Bytes plain(16, 0), cipher, out;
    ASSERT_EQ(encrypt_content(key, plain, cipher), R::kOk);
    cipher.resize(16);
    EXPECT_EQ(decrypt_content(key, cipher, out), R::kIntegrityFailure);
    EXPECT_TRUE(out.empty());
    cipher.push_back(0);
    EXPECT_EQ(decrypt_content(key, cipher, out), R::kIntegrityFailure);

    ContentCipher unstarted;
    EXPECT_EQ(unstarted.update(plain, out), R::kInvalidArgument);
    EXPECT_EQ(unstarted.finish(out), R::kInvalidArgument);
    BackupKeybag kb;
    BackupClassKeys keys;
    EXPECT_EQ(create_backup_keybag("pw", 0, kb, keys), R::kInvalidArgument);
}

TEST(BackupCrypto, MalformedKeybagsAreRefused) {
    Made made = make_keybag("pw");
    BackupKeybag one_class = made.keybag;
    one_class.classes.resize(1);
    const Bytes small = serialize_keybag(one_class);
    BackupKeybag parsed;
    ASSERT_EQ(parse_keybag(small, parsed), R::kOk);
    for (std::size_t length = 0; length < small.size(); ++length) {
        EXPECT_EQ(parse_keybag(std::span(small).first(length), parsed), R::kMalformed) << length;
    }

    const std::vector<Item> base = split(serialize_keybag(made.keybag));
    auto find = [](std::vector<Item> &items, const std::string &tag, int nth = 0) -> Item & {
        for (Item &item : items) {
            if (item.tag == tag && nth-- == 0) {
                return item;
            }
        }
        throw std::runtime_error("no " + tag);
    };
    auto erase = [](std::vector<Item> &items, const std::string &tag) {
        std::erase_if(items, [&](const Item &item) { return item.tag == tag; });
    };
    using Edit = std::function<void(std::vector<Item> &)>;
    const std::vector<std::pair<const char *, Edit>> cases = {
        {"short header UUID", [&](auto &v) { find(v, "UUID").value.resize(15); }},
        {"short WPKY", [&](auto &v) { find(v, "WPKY", 4).value.resize(39); }},
        {"empty SALT", [&](auto &v) { find(v, "SALT").value.clear(); }},
        {"empty DPSL", [&](auto &v) { find(v, "DPSL").value.clear(); }},
        {"nine-byte integer", [&](auto &v) { find(v, "CLAS").value = be(1, 9); }},
        {"integer over 32 bits", [&](auto &v) { find(v, "VERS").value = be(1ull << 32, 8); }},
        {"ITER zero", [&](auto &v) { find(v, "ITER").value = be(0); }},
        {"DPIC over the cap",
         [&](auto &v) { find(v, "DPIC").value = be(kMaxKeybagIterations + 1); }},
        {"DPIC without DPSL", [&](auto &v) { erase(v, "DPSL"); }},
        {"no TYPE", [&](auto &v) { erase(v, "TYPE"); }},
        {"no classes", [&](auto &v) { v.resize(10); }},
        {"class without WPKY", [&](auto &v) { v.erase(v.begin() + 14); }},
        {"repeated CLAS", [&](auto &v) { find(v, "CLAS", 1).value = be(1); }},
        {"repeated header item",
         [&](auto &v) {
             v.insert(v.begin() + 2, {"SALT", Bytes(20)});
         }},
        {"header item in a class",
         [&](auto &v) {
             v.push_back({"ITER", be(1)});
         }},
        {"class item in the header",
         [&](auto &v) {
             v.insert(v.begin(), {"CLAS", be(1)});
         }},
        {"oversized value",
         [&](auto &v) {
             v.push_back({"XXXX", Bytes(kMaxKeybagValueBytes + 1)});
         }},
        {"too many items",
         [&](auto &v) {
             v.resize(v.size() + kMaxKeybagItems, {"XXXX", {}});
         }},
        {"too many bytes",
         [&](auto &v) {
             v.resize(v.size() + kMaxKeybagBytes / 4000 + 1, {"XXXX", Bytes(4000)});
         }},
    };
    for (const auto &[name, edit] : cases) {
        std::vector<Item> items = base;
        edit(items);
        EXPECT_EQ(parse_keybag(join(items), parsed), R::kMalformed) << name;
        EXPECT_EQ(parsed, BackupKeybag()) << name;
    }

    // Lengths past the end, up to the largest a length field holds.
    for (uint32_t claimed : {41u, 0x1000u, 0xFFFFFFFFu}) {
        Bytes bytes = serialize_keybag(made.keybag);
        Bytes length = be(claimed);
        std::copy(length.begin(), length.end(), bytes.end() - 44);
        EXPECT_EQ(parse_keybag(bytes, parsed), R::kMalformed) << claimed;
    }
}

}  // namespace
}  // namespace tarvo
