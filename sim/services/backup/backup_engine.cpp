/*
 * The "Backup" request: the device learns the last state from the host,
 * decides what changed, checks the host's room, and writes the backup
 * folder the way devices do (Status.plist "uploading" first and
 * "finished" last, content files in batches, the new Manifest.db under a
 * temporary name moved into place, content of deleted files removed).
 */
#include <algorithm>
#include <filesystem>

#include "backup_folder.h"
#include "backup_reader.h"
#include "content_crypto.h"
#include "device_content.h"
#include "engine_requests.h"
#include "engine_support.h"
#include "host_files.h"
#include "manifest_builder.h"
#include "manifest_db.h"
#include "manifest_plist.h"
#include "mb_file.h"
#include "password_engine.h"
#include "work_list.h"

namespace tarvosim {
namespace {

constexpr uint64_t kMaxStatePlist = 8 * 1024 * 1024;
// The protection class of an encrypted backup's Manifest.db key.
constexpr uint32_t kManifestProtectionClass = 4;
// Batches of uploads and removals, and the room kept free beyond the files.
constexpr std::size_t kBatchFiles = 1000;
constexpr uint64_t kBatchBytes = 32 * 1024 * 1024;
constexpr uint64_t kRoomToSpare = 1024 * 1024;
constexpr uint64_t kManifestBytesPerRow = 1024;

MbFile record_of(const ContentEntry &entry) {
    MbFile file;
    file.relative_path = entry.relative_path;
    file.size = entry.size;
    file.mode = entry.mode;
    file.user_id = entry.user_id;
    file.group_id = entry.group_id;
    file.inode = entry.inode;
    file.birth = entry.birth;
    file.last_modified = entry.last_modified;
    file.last_status_change = entry.last_status_change;
    file.protection_class = entry.protection_class;
    if (entry.kind == EntryKind::kSymlink) {
        file.target = entry.link_target;
    }
    return file;
}

/// The record of a file in the last backup.
std::optional<MbFile> earlier_file(const std::optional<ManifestRow> &before) {
    if (!before || before->flags != static_cast<uint64_t>(EntryKind::kFile)) {
        return std::nullopt;
    }
    return decode_mb_file(before->file);
}

bool same_file(const MbFile &now, const MbFile &old) {
    return old.size == now.size && old.last_modified == now.last_modified &&
           old.last_status_change == now.last_status_change && old.inode == now.inode;
}

/// Whether content the last backup stored can stand in this one: plain
/// when this backup is plain, or under a key the device's class keys open.
bool stored_as_needed(const MbFile &old, const DeviceBackupKeys *keys) {
    if (!keys) {
        return !old.encryption_key;
    }
    tarvo::BackupKey key;
    uint32_t protection_class = 0;
    return old.encryption_key &&
           tarvo::unwrap_class_key_blob(keys->class_keys, *old.encryption_key, key,
                                        protection_class) == tarvo::BackupCryptoResult::kOk;
}

class BackupJob {
  public:
    BackupJob(const BackupCall &call, const Identifiers &ids)
        : call_(call),
          ids_(ids),
          host_(call.channel),
          work_(call.device),
          last_(host_, work_, ids.source) {}

    bool run() {
        if (!work_.ok()) {
            return respond(call_, kEngineDeviceFailed, "the device cannot make its work folder");
        }
        if (will_encrypt(call_.device)) {
            keys_ = device_backup_keys(call_.device);
            if (!keys_) {
                return respond(call_, kEngineDeviceFailed,
                               "the device encrypts its backups but has lost its keys");
            }
        }
        std::string error;
        if (!call_.device.content->prepare(call_.device.context.fixture.dir, &error)) {
            return respond(call_, kEngineDeviceFailed, error);
        }
        StreamStatus status = learn_last_state();
        if (status.is_ok()) {
            status = plan(&error);
        }
        if (!error.empty()) {
            return respond(call_, kEngineDeviceFailed, error);
        }
        if (status.is_ok() && !room_checked_) {
            status = check_room();
        }
        if (!status.is_ok() || room_short_) {
            return room_short_ ? respond(call_, kEngineNotEnoughRoom, room_text_)
                               : respond_to_failure(call_, status);
        }
        status = write_backup();
        if (!status.is_ok()) {
            return device_error_.empty() ? respond_to_failure(call_, status)
                                         : respond(call_, kEngineDeviceFailed, device_error_);
        }
        call_.device.note(std::string(full_ ? "full" : "incremental") + " backup into \"" +
                          ids_.target + "\": " + std::to_string(uploaded_) + " files uploaded, " +
                          std::to_string(removed_) + " removed");
        return respond(call_, 0, "");
    }

  private:
    /// The source's last finished backup, as far as an incremental backup
    /// needs it. Any backup the device cannot read (none, unfinished,
    /// encrypted under keys it no longer holds) makes this one full.
    StreamStatus learn_last_state() {
        full_ = true;
        if (option_bool(call_.request, "ForceFullBackup", false)) {
            std::vector<uint8_t> ignored;
            bool missing = false;
            return host_.download_bytes(ids_.source + "/" + kStatusPlistName, kMaxStatePlist,
                                        &ignored, &missing);
        }
        ReadRefusal refusal;
        StreamStatus got =
            last_.read(call_.device, KeySource::kDeviceOrPassword, std::nullopt, &refusal);
        if (got.is_ok() && !refusal.refused()) {
            previous_ = &last_.manifest();
            full_ = false;
        }
        return got;
    }

    /// The new Manifest.db and the work list: one pass over the content.
    /// The rows go to the manifest builder, which fills Manifest.db
    /// while the content is uploaded.
    StreamStatus plan(std::string *error) {
        std::unique_ptr<ManifestDb> manifest =
            ManifestDb::create(work_.file(kManifestDbName), error);
        work_list_ = manifest ? WorkList::create(work_.file("work.db"), error) : nullptr;
        builder_ = std::make_unique<ManifestBuilder>(work_.file("manifest.spool"));
        if (!work_list_ || !builder_->ok() || !manifest->begin() || !work_list_->begin()) {
            if (error->empty()) {
                *error = "the device cannot start its manifest or work list";
            }
            return StreamStatus::ok();
        }
        const bool walked = call_.device.content->walk(
            [&](const ContentEntry &entry) { return add_entry(entry, error); });
        if (!walked || !work_list_->commit() || !builder_->start(std::move(manifest))) {
            if (error->empty()) {
                *error = "the device cannot write its manifest or work list";
            }
        }
        return StreamStatus::ok();
    }

    bool add_entry(const ContentEntry &entry, std::string *error) {
        ManifestRow row;
        row.file_id = file_id_of(entry.domain, entry.relative_path);
        row.domain = entry.domain;
        row.relative_path = entry.relative_path;
        row.flags = static_cast<uint64_t>(entry.kind);
        MbFile record = record_of(entry);
        record.flags = 0;
        std::optional<ManifestRow> before = previous_ && entry.kind == EntryKind::kFile
                                                ? previous_->find(row.file_id)
                                                : std::nullopt;
        std::optional<MbFile> old = earlier_file(before);
        const bool same =
            old && same_file(record, *old) && stored_as_needed(*old, keys_ ? &*keys_ : nullptr);
        if (keys_ && entry.kind == EntryKind::kFile) {
            if (same) {
                record.encryption_key = old->encryption_key;
            } else if (!new_file_key(&record, error)) {
                return false;
            }
        }
        if (same && *old == record) {
            row.file = std::move(before->file);
            if (!builder_->add_archived(row)) {
                *error = "the device cannot spool its manifest";
                return false;
            }
        } else if (!builder_->add(row, record)) {
            *error = "the device cannot spool its manifest";
            return false;
        }
        if (entry.kind != EntryKind::kFile || (same && ids_.source == ids_.target)) {
            return true;
        }
        WorkItem item{row.file_id,
                      entry.domain,
                      entry.relative_path,
                      entry.size,
                      same ? WorkAction::kCopy : WorkAction::kUpload,
                      record.encryption_key.value_or(std::vector<uint8_t>{})};
        if (!work_list_->add(item)) {
            *error = "the device cannot keep its work list";
            return false;
        }
        return true;
    }

    /// A fresh key for a file's content, wrapped with its class key.
    bool new_file_key(MbFile *record, std::string *error) {
        tarvo::BackupKey key;
        std::vector<uint8_t> blob;
        const tarvo::BackupCryptoResult made = tarvo::make_wrapped_class_key(
            keys_->class_keys, static_cast<uint32_t>(record->protection_class), key, blob);
        if (made != tarvo::BackupCryptoResult::kOk) {
            *error = "the device cannot key " + record->relative_path + " (protection class " +
                     std::to_string(record->protection_class) + "): " + tarvo::to_string(made);
            return false;
        }
        record->encryption_key = std::move(blob);
        return true;
    }

    StreamStatus check_room() {
        room_checked_ = true;
        uint64_t free_bytes = 0;
        if (StreamStatus got = host_.free_space(&free_bytes); !got.is_ok()) {
            return got;
        }
        // The manifest is still being built: a row takes well under this.
        const uint64_t manifest_size = builder_->rows() * kManifestBytesPerRow;
        const uint64_t needed =
            work_list_->bytes(WorkAction::kUpload) + manifest_size + kRoomToSpare;
        if (free_bytes < needed) {
            room_short_ = true;
            room_text_ = "Not enough free space on the host: the backup needs " +
                         std::to_string(needed) + " bytes, " + std::to_string(free_bytes) +
                         " are free";
        }
        return StreamStatus::ok();
    }

    StreamStatus write_backup() {
        const std::string &target = ids_.target;
        const std::string uuid = random_uuid();
        StreamStatus status = host_.create_directory(target);
        if (status.is_ok()) {
            status = host_.upload(
                {outgoing_bytes(target + "/" + kStatusPlistName, status_plist(full_, false, uuid))},
                0);
        }
        if (status.is_ok()) {
            status = make_prefix_folders();
        }
        if (status.is_ok()) {
            status = copy_unchanged();
        }
        if (status.is_ok()) {
            status = upload_content();
        }
        if (status.is_ok()) {
            status = upload_manifest();
        }
        if (status.is_ok() && previous_ && ids_.source == target) {
            status = remove_deleted();
        }
        if (status.is_ok()) {
            status = host_.upload(
                {outgoing_bytes(target + "/" + kStatusPlistName, status_plist(full_, true, uuid))},
                100);
        }
        return status;
    }

    StreamStatus make_prefix_folders() {
        StreamStatus status;
        auto make = [&](const std::string &prefix) {
            status = host_.create_directory(ids_.target + "/" + prefix);
            return status.is_ok();
        };
        work_list_->for_each_prefix(WorkAction::kUpload, make) &&
            work_list_->for_each_prefix(WorkAction::kCopy, make);
        return status;
    }

    StreamStatus copy_unchanged() {
        StreamStatus status;
        work_list_->for_each(WorkAction::kCopy, [&](const WorkItem &item) {
            status = host_.copy(content_path_of(ids_.source, item.file_id),
                                content_path_of(ids_.target, item.file_id));
            return status.is_ok();
        });
        return status;
    }

    OutgoingFile outgoing_content(const WorkItem &item) {
        OutgoingFile file;
        file.device_path = item.domain + "/" + item.relative_path;
        file.local_path = content_path_of(ids_.target, item.file_id);
        file.size = item.size;
        std::unique_ptr<ContentReader> plain =
            call_.device.content->open(item.domain, item.relative_path);
        std::shared_ptr<ContentReader> reader = sealed(std::move(plain), item, &file.size);
        file.read = [reader](std::span<uint8_t> out) { return reader && reader->read(out); };
        file.error_text = "the device could not read " + file.device_path;
        return file;
    }

    /// The content as the backup stores it: encrypted under the file's own
    /// key when the item has one (*size becomes the stored size).
    std::unique_ptr<ContentReader> sealed(std::unique_ptr<ContentReader> plain,
                                          const WorkItem &item, uint64_t *size) {
        if (item.encryption_key.empty()) {
            return plain;
        }
        tarvo::BackupKey key;
        uint32_t protection_class = 0;
        *size = cipher_size_of(item.size);
        if (!keys_ ||
            tarvo::unwrap_class_key_blob(keys_->class_keys, item.encryption_key, key,
                                         protection_class) != tarvo::BackupCryptoResult::kOk) {
            return nullptr;
        }
        return encrypting_reader(std::move(plain), item.size, key);
    }

    StreamStatus upload_content() {
        const uint64_t total = std::max<uint64_t>(1, work_list_->bytes(WorkAction::kUpload));
        uint64_t sent = 0;
        std::vector<OutgoingFile> batch;
        uint64_t batch_bytes = 0;
        StreamStatus status;
        auto flush = [&] {
            if (!batch.empty()) {
                status = host_.upload(
                    batch, 100.0 * static_cast<double>(sent) / static_cast<double>(total));
                uploaded_ += batch.size();
                batch.clear();
                batch_bytes = 0;
            }
            return status.is_ok();
        };
        work_list_->for_each(WorkAction::kUpload, [&](const WorkItem &item) {
            batch.push_back(outgoing_content(item));
            batch_bytes += item.size;
            sent += item.size;
            return (batch.size() < kBatchFiles && batch_bytes < kBatchBytes) || flush();
        });
        if (status.is_ok()) {
            flush();
        }
        return status;
    }

    StreamStatus upload_manifest() {
        if (std::string why = builder_->finish(); !why.empty()) {
            device_error_ = why;
            return StreamStatus::failed(why);
        }
        const std::string temporary = ids_.target + "/" + kManifestDbName + ".tmp";
        OutgoingFile file;
        file.device_path = kManifestDbName;
        file.local_path = temporary;
        std::error_code ignored;
        const uint64_t plain_size =
            std::filesystem::file_size(work_.file(kManifestDbName), ignored);
        file.size = plain_size;
        std::optional<ManifestKeys> sealed_with;
        std::shared_ptr<ContentReader> reader = open_content_file(work_.file(kManifestDbName));
        if (keys_) {
            tarvo::BackupKey key;
            ManifestKeys keys{keys_->keybag, {}};
            if (tarvo::make_wrapped_class_key(keys_->class_keys, kManifestProtectionClass, key,
                                              keys.manifest_key) !=
                tarvo::BackupCryptoResult::kOk) {
                return StreamStatus::failed("the device cannot key its manifest");
            }
            reader =
                encrypting_reader(open_content_file(work_.file(kManifestDbName)), plain_size, key);
            file.size = cipher_size_of(plain_size);
            sealed_with = std::move(keys);
        }
        file.read = [reader](std::span<uint8_t> out) { return reader && reader->read(out); };
        StreamStatus status = host_.upload({file}, 95);
        if (status.is_ok()) {
            status = host_.move({{temporary, ids_.target + "/" + kManifestDbName}}, 96);
        }
        if (status.is_ok()) {
            status = host_.upload({outgoing_bytes(ids_.target + "/" + kManifestPlistName,
                                                  manifest_plist(call_.device, sealed_with))},
                                  97);
        }
        return status;
    }

    /// Content files of the last backup whose device files are gone.
    StreamStatus remove_deleted() {
        std::string error;
        std::unique_ptr<ManifestDb> current = ManifestDb::open(work_.file(kManifestDbName), &error);
        if (!current) {
            return StreamStatus::failed("the device cannot read its own manifest: " + error);
        }
        std::vector<std::string> batch;
        StreamStatus status;
        auto flush = [&] {
            if (!batch.empty()) {
                status = host_.remove(batch, 98);
                removed_ += batch.size();
                batch.clear();
            }
            return status.is_ok();
        };
        previous_->for_each([&](const ManifestRow &row) {
            if (row.flags != static_cast<uint64_t>(EntryKind::kFile) || !is_file_id(row.file_id) ||
                current->find(row.file_id)) {
                return true;
            }
            batch.push_back(content_path_of(ids_.target, row.file_id));
            return batch.size() < kBatchFiles || flush();
        });
        if (status.is_ok()) {
            flush();
        }
        return status;
    }

    const BackupCall &call_;
    const Identifiers ids_;
    HostFiles host_;
    WorkFolder work_;
    BackupReader last_;
    std::optional<DeviceBackupKeys> keys_;
    ManifestDb *previous_ = nullptr;  // the last backup's, held by last_
    std::unique_ptr<ManifestBuilder> builder_;
    std::string device_error_;  // why the device itself failed while writing
    std::unique_ptr<WorkList> work_list_;
    bool full_ = true;
    bool room_checked_ = false;
    bool room_short_ = false;
    std::string room_text_;
    std::size_t uploaded_ = 0;
    std::size_t removed_ = 0;
};

}  // namespace

bool answer_backup(const BackupCall &call) {
    std::string why;
    std::optional<Identifiers> ids = identifiers_of(call, &why);
    if (!ids) {
        return respond(call, kEngineBadRequest, why);
    }
    return BackupJob(call, *ids).run();
}

}  // namespace tarvosim
