/*
 * Backup folders written straight from the published layout with SQLite,
 * libplist and OpenSSL (PBKDF2, AES key wrap, AES-256-CBC), for the
 * reader's tests and bench. Written apart from common/backup_crypto and the
 * simulator on purpose, so that the reader is checked against the format
 * and not against the code it shares. Each entry can be spoiled on the way
 * (wrong bytes on disk, no content file, a bad archive), which is how the
 * tests make corrupt and hostile backups.
 */
#ifndef TARVO_TESTS_TARVOBROWSE_TEST_BACKUP_BUILDER_H
#define TARVO_TESTS_TARVOBROWSE_TEST_BACKUP_BUILDER_H

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <plist/plist.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace browsetest {

using Bytes = std::vector<uint8_t>;

struct TestEntry {
    std::string domain;
    std::string path;
    int flags = 1;  // 1 file, 2 folder, 4 link
    std::string content;
    uint64_t mode = 0100644;
    int64_t mtime = 1700000000;
    std::string target;
    // Ways to spoil the entry.
    std::optional<std::string> stored;  // these bytes on disk instead
    bool no_content_file = false;
    std::optional<Bytes> archive;  // this Files.file instead of a good record
    std::optional<std::string> file_id;
};

inline TestEntry make_file(const std::string &path, const std::string &content,
                           const std::string &domain = "HomeDomain") {
    TestEntry entry;
    entry.domain = domain;
    entry.path = path;
    entry.content = content;
    return entry;
}

inline TestEntry make_link(const std::string &path, const std::string &target) {
    TestEntry entry = make_file(path, "");
    entry.flags = 4;
    entry.mode = 0120755;
    entry.target = target;
    return entry;
}

inline TestEntry make_folder(const std::string &path, uint64_t mode, int64_t mtime) {
    TestEntry entry = make_file(path, "");
    entry.flags = 2;
    entry.mode = 040000 | mode;
    entry.mtime = mtime;
    return entry;
}

struct TestBackupOptions {
    std::optional<std::string> password;  // encrypted when set
    uint32_t dpic = 10;                   // devices use 10,000,000
    bool unfinished = false;
};

inline Bytes random_bytes(size_t n) {
    Bytes bytes(n);
    RAND_bytes(bytes.data(), static_cast<int>(n));
    return bytes;
}

inline std::string sha1_hex(const std::string &text) {
    uint8_t digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const uint8_t *>(text.data()), text.size(), digest);
    char hex[2 * SHA_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) {
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    return hex;
}

inline Bytes aes_wrap(const Bytes &kek, const Bytes &key) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    Bytes wrapped(key.size() + 8);
    int length = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_wrap(), nullptr, kek.data(), nullptr);
    EVP_EncryptUpdate(ctx, wrapped.data(), &length, key.data(), static_cast<int>(key.size()));
    EVP_CIPHER_CTX_free(ctx);
    wrapped.resize(static_cast<size_t>(length));
    return wrapped;
}

inline Bytes aes_cbc_encrypt(const Bytes &key, const std::string &plain) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const uint8_t iv[16] = {};
    Bytes cipher(plain.size() + 16);
    int length = 0;
    int last = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv);
    EVP_EncryptUpdate(ctx, cipher.data(), &length, reinterpret_cast<const uint8_t *>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, cipher.data() + length, &last);
    EVP_CIPHER_CTX_free(ctx);
    cipher.resize(static_cast<size_t>(length + last));
    return cipher;
}

/// A class (LE) and a key wrapped with that class's key.
inline Bytes class_key_blob(uint32_t protection_class, const Bytes &class_key, const Bytes &key) {
    Bytes blob = {uint8_t(protection_class), uint8_t(protection_class >> 8),
                  uint8_t(protection_class >> 16), uint8_t(protection_class >> 24)};
    const Bytes wrapped = aes_wrap(class_key, key);
    blob.insert(blob.end(), wrapped.begin(), wrapped.end());
    return blob;
}

inline void add_tlv(Bytes &bag, const char *tag, const Bytes &value) {
    bag.insert(bag.end(), tag, tag + 4);
    const uint32_t n = static_cast<uint32_t>(value.size());
    bag.insert(bag.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    bag.insert(bag.end(), value.begin(), value.end());
}

inline Bytes be32(uint32_t n) {
    return {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
}

/// The test keybag's one class and its key.
inline constexpr uint32_t kTestClass = 3;

/// A keybag with a tiny ITER and the DPIC given (tests keep it tiny too,
/// so they pay no key-derivation cost).
inline Bytes make_keybag(const std::string &password, const Bytes &class_key, uint32_t dpic) {
    const Bytes salt = random_bytes(20);
    const Bytes dpsl = random_bytes(20);
    const uint32_t iterations = 10;
    uint8_t k1[32];
    uint8_t kek[32];
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), dpsl.data(),
                      static_cast<int>(dpsl.size()), dpic, EVP_sha256(), 32, k1);
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(k1), 32, salt.data(),
                      static_cast<int>(salt.size()), iterations, EVP_sha1(), 32, kek);
    Bytes bag;
    add_tlv(bag, "VERS", be32(4));
    add_tlv(bag, "TYPE", be32(1));
    add_tlv(bag, "UUID", random_bytes(16));
    add_tlv(bag, "HMCK", random_bytes(40));
    add_tlv(bag, "WRAP", be32(0));
    add_tlv(bag, "SALT", salt);
    add_tlv(bag, "ITER", be32(iterations));
    add_tlv(bag, "DPWT", be32(1));
    add_tlv(bag, "DPIC", be32(dpic));
    add_tlv(bag, "DPSL", dpsl);
    add_tlv(bag, "UUID", random_bytes(16));
    add_tlv(bag, "CLAS", be32(kTestClass));
    add_tlv(bag, "WRAP", be32(2));
    add_tlv(bag, "KTYP", be32(0));
    add_tlv(bag, "WPKY", aes_wrap(Bytes(kek, kek + 32), class_key));
    return bag;
}

inline plist_t class_node(const char *name, const char *base) {
    plist_t object = plist_new_dict();
    plist_t classes = plist_new_array();
    plist_array_append_item(classes, plist_new_string(name));
    plist_array_append_item(classes, plist_new_string(base));
    plist_dict_set_item(object, "$classname", plist_new_string(name));
    plist_dict_set_item(object, "$classes", classes);
    return object;
}

inline Bytes plist_bytes(plist_t node) {
    char *bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    Bytes bytes(bin, bin + length);
    free(bin);
    return bytes;
}

/// A keyed archive of one MBFile record.
inline Bytes mb_archive(const TestEntry &entry, uint64_t size, const Bytes *encryption_key) {
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t record = plist_new_dict();
    plist_array_append_item(objects, record);
    auto add = [&](plist_t node) {
        plist_array_append_item(objects, node);
        return plist_new_uid(plist_array_get_size(objects) - 1);
    };
    plist_dict_set_item(record, "RelativePath", add(plist_new_string(entry.path.c_str())));
    plist_dict_set_item(record, "Size", plist_new_uint(size));
    plist_dict_set_item(record, "Mode", plist_new_uint(entry.mode));
    plist_dict_set_item(record, "LastModified", plist_new_uint(uint64_t(entry.mtime)));
    plist_dict_set_item(record, "Birth", plist_new_uint(uint64_t(entry.mtime)));
    plist_dict_set_item(record, "ProtectionClass", plist_new_uint(kTestClass));
    if (entry.flags == 4) {
        plist_dict_set_item(record, "Target", add(plist_new_string(entry.target.c_str())));
    }
    if (encryption_key) {
        plist_t holder = plist_new_dict();
        plist_dict_set_item(holder, "NS.data",
                            plist_new_data(reinterpret_cast<const char *>(encryption_key->data()),
                                           encryption_key->size()));
        plist_dict_set_item(record, "EncryptionKey", add(holder));
        plist_dict_set_item(holder, "$class", add(class_node("NSMutableData", "NSData")));
    }
    plist_dict_set_item(record, "$class", add(class_node("MBFile", "NSObject")));
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "$version", plist_new_uint(100000));
    plist_dict_set_item(root, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(root, "$top", top);
    plist_dict_set_item(root, "$objects", objects);
    Bytes bytes = plist_bytes(root);
    plist_free(root);
    return bytes;
}

inline void write_bytes(const std::string &path, const void *data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_plist_file(const std::string &path, plist_t node) {
    const Bytes bytes = plist_bytes(node);
    write_bytes(path, bytes.data(), bytes.size());
    plist_free(node);
}

/// A writer of Files rows into a plain Manifest.db at `path`.
class ManifestWriter {
  public:
    explicit ManifestWriter(const std::string &path) {
        remove(path.c_str());
        sqlite3_open(path.c_str(), &db_);
        sqlite3_exec(db_,
                     "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath "
                     "TEXT, flags INTEGER, file BLOB);"
                     "CREATE INDEX FilesDomainIdx ON Files(domain);"
                     "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
                     "CREATE INDEX FilesFlagsIdx ON Files(flags);"
                     "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);"
                     "BEGIN;",
                     nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db_, "INSERT INTO Files VALUES (?1, ?2, ?3, ?4, ?5)", -1, &insert_,
                           nullptr);
    }
    ~ManifestWriter() {
        sqlite3_finalize(insert_);
        sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
    }
    void add(const std::string &file_id, const TestEntry &entry, const Bytes &archive) {
        sqlite3_bind_text(insert_, 1, file_id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert_, 2, entry.domain.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert_, 3, entry.path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert_, 4, entry.flags);
        sqlite3_bind_blob(insert_, 5, archive.data(), static_cast<int>(archive.size()),
                          SQLITE_TRANSIENT);
        sqlite3_step(insert_);
        sqlite3_reset(insert_);
    }

  private:
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *insert_ = nullptr;
};

/// Writes the backup folder `folder` (made when missing) holding `entries`.
inline void build_backup(const std::string &folder, const std::vector<TestEntry> &entries,
                         const TestBackupOptions &options = {}) {
    mkdir(folder.c_str(), 0755);
    const bool encrypted = options.password.has_value();
    const Bytes class_key = random_bytes(32);
    const std::string db_path = folder + "/Manifest.db";
    {
        ManifestWriter manifest(db_path);
        for (const TestEntry &entry : entries) {
            const std::string id =
                entry.file_id.value_or(sha1_hex(entry.domain + "-" + entry.path));
            const Bytes file_key = random_bytes(32);
            const Bytes key_blob = class_key_blob(kTestClass, class_key, file_key);
            manifest.add(id, entry,
                         entry.archive.value_or(mb_archive(entry, entry.content.size(),
                                                           encrypted ? &key_blob : nullptr)));
            if (entry.flags != 1 || entry.no_content_file) {
                continue;
            }
            mkdir((folder + "/" + id.substr(0, 2)).c_str(), 0755);
            const std::string where = folder + "/" + id.substr(0, 2) + "/" + id;
            if (entry.stored) {
                write_bytes(where, entry.stored->data(), entry.stored->size());
            } else if (encrypted) {
                const Bytes cipher = aes_cbc_encrypt(file_key, entry.content);
                write_bytes(where, cipher.data(), cipher.size());
            } else {
                write_bytes(where, entry.content.data(), entry.content.size());
            }
        }
    }
    plist_t manifest = plist_new_dict();
    plist_dict_set_item(manifest, "Version", plist_new_string("10.0"));
    plist_dict_set_item(manifest, "IsEncrypted", plist_new_bool(encrypted));
    plist_t lockdown = plist_new_dict();
    plist_dict_set_item(lockdown, "DeviceName", plist_new_string("Builder Phone"));
    plist_dict_set_item(lockdown, "ProductVersion", plist_new_string("17.5"));
    plist_dict_set_item(manifest, "Lockdown", lockdown);
    if (encrypted) {
        const Bytes keybag = make_keybag(*options.password, class_key, options.dpic);
        const Bytes db_key = random_bytes(32);
        const Bytes manifest_key = class_key_blob(kTestClass, class_key, db_key);
        plist_dict_set_item(
            manifest, "BackupKeyBag",
            plist_new_data(reinterpret_cast<const char *>(keybag.data()), keybag.size()));
        plist_dict_set_item(manifest, "ManifestKey",
                            plist_new_data(reinterpret_cast<const char *>(manifest_key.data()),
                                           manifest_key.size()));
        const Bytes cipher = aes_cbc_encrypt(db_key, read_file(db_path));
        write_bytes(db_path, cipher.data(), cipher.size());
    }
    write_plist_file(folder + "/Manifest.plist", manifest);
    plist_t status = plist_new_dict();
    plist_dict_set_item(status, "IsFullBackup", plist_new_bool(1));
    plist_dict_set_item(status, "SnapshotState",
                        plist_new_string(options.unfinished ? "uploading" : "finished"));
    write_plist_file(folder + "/Status.plist", status);
}

}  // namespace browsetest

#endif
