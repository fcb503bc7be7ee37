/*
 * Reading a finished backup from the host, plain or encrypted.
 */
#include "backup_reader.h"

#include <filesystem>

#include "backup_folder.h"
#include "content_crypto.h"
#include "password_engine.h"
#include "unique_fd.h"

namespace tarvosim {
namespace {

constexpr uint64_t kMaxStatePlist = 8 * 1024 * 1024;
constexpr uint64_t kMaxManifestDb = uint64_t{8} << 30;

bool unwrap_with(const tarvo::BackupClassKeys &keys, const std::vector<uint8_t> &blob,
                 tarvo::BackupKey *key) {
    uint32_t protection_class = 0;
    return tarvo::unwrap_class_key_blob(keys, blob, *key, protection_class) ==
           tarvo::BackupCryptoResult::kOk;
}

}  // namespace

StreamStatus BackupReader::read_state(ReadRefusal *refusal) {
    std::vector<uint8_t> bytes;
    bool missing = false;
    StreamStatus got =
        host_.download_bytes(source_ + "/" + kStatusPlistName, kMaxStatePlist, &bytes, &missing);
    std::optional<LastStatus> last =
        got.is_ok() && !missing ? read_status_plist(bytes) : std::nullopt;
    if (!got.is_ok()) {
        return got;
    }
    if (!last || !last->finished) {
        *refusal = {kEngineNoBackup, "there is no finished backup in \"" + source_ + "\""};
        return got;
    }
    got =
        host_.download_bytes(source_ + "/" + kManifestPlistName, kMaxStatePlist, &bytes, &missing);
    std::optional<ManifestFacts> facts =
        got.is_ok() && !missing ? read_manifest_plist(bytes) : std::nullopt;
    if (got.is_ok() && !facts) {
        *refusal = {kEngineNoBackup, "the backup's Manifest.plist is missing or unreadable"};
    } else if (facts) {
        facts_ = std::move(*facts);
    }
    return got;
}

/// The class keys of an encrypted backup and the key of its Manifest.db.
bool BackupReader::open_keys(const BackupDevice &device, KeySource keys,
                             std::optional<std::string_view> password,
                             tarvo::BackupKey *manifest_key, ReadRefusal *refusal) {
    if (keys == KeySource::kDeviceOrPassword && facts_.keys) {
        std::optional<DeviceBackupKeys> own = device_backup_keys(device);
        if (own && unwrap_with(own->class_keys, facts_.keys->manifest_key, manifest_key)) {
            class_keys_ = std::move(own->class_keys);
            return true;
        }
    }
    if (!password) {
        *refusal = {kEngineNeedsPassword, "the backup is encrypted: a password is needed"};
        return false;
    }
    if (!facts_.keys) {
        *refusal = {kEngineNoBackup, "the encrypted backup has no keybag or manifest key"};
        return false;
    }
    tarvo::BackupKeybag keybag;
    tarvo::BackupCryptoResult result = tarvo::parse_keybag(facts_.keys->keybag, keybag);
    if (result == tarvo::BackupCryptoResult::kOk) {
        result = tarvo::unlock_keybag(keybag, *password, class_keys_);
    }
    if (result == tarvo::BackupCryptoResult::kWrongPassword) {
        *refusal = {kEngineWrongPassword, "The password is incorrect"};
        return false;
    }
    if (result != tarvo::BackupCryptoResult::kOk ||
        !unwrap_with(class_keys_, facts_.keys->manifest_key, manifest_key)) {
        *refusal = {kEngineNoBackup, "the backup's keybag or manifest key is unusable"};
        return false;
    }
    return true;
}

StreamStatus BackupReader::read_manifest_db(const tarvo::BackupKey *key, ReadRefusal *refusal) {
    // Not the work folder's Manifest.db: a backup writes its new one there.
    const std::string local = work_.file("read-Manifest.db");
    const std::string remote = source_ + "/" + kManifestDbName;
    bool missing = false;
    StreamStatus got;
    std::string broken;
    if (key) {
        // Its plain size is known only once it is decrypted; the cap bounds it.
        DecryptingFile plain(local, *key, std::nullopt);
        if (!plain.ok()) {
            return StreamStatus::failed("the device cannot write " + local);
        }
        got = host_.download(remote, kMaxManifestDb, plain.sink(), &missing);
        broken = got.is_ok() && !missing ? plain.finish() : "";
    } else {
        got = host_.download_file(remote, kMaxManifestDb, local, &missing);
    }
    if (!got.is_ok()) {
        return got;
    }
    std::string error;
    manifest_ = missing || !broken.empty() ? nullptr : ManifestDb::open(local, &error);
    if (!manifest_) {
        *refusal = {kEngineNoBackup, "the backup's Manifest.db is missing or unreadable"};
    }
    return got;
}

StreamStatus BackupReader::read(const BackupDevice &device, KeySource keys,
                                std::optional<std::string_view> password, ReadRefusal *refusal) {
    StreamStatus got = read_state(refusal);
    if (!got.is_ok() || refusal->refused()) {
        return got;
    }
    tarvo::BackupKey manifest_key;
    if (facts_.encrypted && !open_keys(device, keys, password, &manifest_key, refusal)) {
        return got;
    }
    return read_manifest_db(facts_.encrypted ? &manifest_key : nullptr, refusal);
}

StreamStatus BackupReader::fetch_all(std::vector<Fetch> &items, double progress) {
    std::vector<WantedFile> wanted;
    std::vector<std::size_t> item_of;  // the item each wanted file fills
    std::vector<UniqueFd> plain_files;
    std::vector<std::unique_ptr<DecryptingFile>> decrypted(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        Fetch &item = items[i];
        const std::string remote = content_path_of(source_, item.row.file_id);
        if (!facts_.encrypted && item.in_memory) {
            item.bytes.clear();
            item.bytes.reserve(static_cast<std::size_t>(item.record.size));
            wanted.push_back({remote, item.record.size, [&item](std::span<const uint8_t> bytes) {
                                  item.bytes.insert(item.bytes.end(), bytes.begin(), bytes.end());
                                  return StreamStatus::ok();
                              }});
        } else if (!facts_.encrypted) {
            UniqueFd fd(create_download_file(item.local));
            if (!fd) {
                return StreamStatus::failed("the device cannot write " + item.local);
            }
            wanted.push_back({remote, item.record.size, file_sink(fd.get(), item.local)});
            plain_files.push_back(std::move(fd));
        } else {
            item.in_memory = false;
            tarvo::BackupKey key;
            if (!item.record.encryption_key ||
                !unwrap_with(class_keys_, *item.record.encryption_key, &key)) {
                item.refusal = {kEngineNoBackup, "the backup has no usable key for " +
                                                     item.row.domain + "/" +
                                                     item.row.relative_path};
                continue;
            }
            decrypted[i] = std::make_unique<DecryptingFile>(item.local, key, item.record.size);
            if (!decrypted[i]->ok()) {
                return StreamStatus::failed("the device cannot write " + item.local);
            }
            wanted.push_back({remote, cipher_size_of(item.record.size), decrypted[i]->sink()});
        }
        item_of.push_back(i);
    }
    if (wanted.empty()) {
        return StreamStatus::ok();
    }
    if (StreamStatus got = host_.download_all(wanted, progress); !got.is_ok()) {
        return got;
    }
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        Fetch &item = items[item_of[k]];
        const std::string name = item.row.domain + "/" + item.row.relative_path;
        if (wanted[k].missing) {
            item.refusal = {kEngineNoBackup, "the backup lacks the content of " + name};
        } else if (DecryptingFile *plain = decrypted[item_of[k]].get()) {
            if (std::string why = plain->finish(); !why.empty()) {
                item.refusal = {kEngineNoBackup, "the content of " + name + " is damaged: " + why};
            }
        }
    }
    return StreamStatus::ok();
}

}  // namespace tarvosim
