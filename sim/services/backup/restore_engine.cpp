/*
 * The "Restore" request: the device reads a finished backup from the host
 * (BackupReader: Status.plist, Manifest.plist, Manifest.db, then each
 * content file it restores, decrypted when the backup is encrypted) and
 * rewrites its own content folder from it, installs the apps the host
 * listed, and reboots when asked. Every row of the host's manifest is
 * hostile: paths go through DeviceContent::place_for, and each download is
 * capped at the size its record gives. "Unback" reads the backup the same
 * way and hands each file back to the host as plain content below _unback_/.
 */
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <openssl/crypto.h>

#include "backup_folder.h"
#include "backup_reader.h"
#include "content_paths.h"
#include "device_content.h"
#include "engine_requests.h"
#include "engine_support.h"
#include "host_files.h"
#include "installed_apps.h"
#include "manifest_db.h"
#include "manifest_plist.h"
#include "mb_file.h"
#include "password_engine.h"

namespace tarvosim {
namespace {

namespace fs = std::filesystem;

// Beyond this many restored domains the manifest is not believed.
constexpr std::size_t kMaxDomains = 10000;
constexpr const char *kUnbackFolder = "_unback_";
// Files are fetched in batches, one download message each, so that a
// backup of small files does not cost a round trip to the host per file.
constexpr std::size_t kBatchFiles = 128;
constexpr uint64_t kBatchBytes = 16 * 1024 * 1024;
// An unbacked file this small goes from the download to the upload in
// memory rather than through the work folder (a plain backup's; an
// encrypted one is decrypted into a file).
constexpr uint64_t kUnbackInMemory = 1024 * 1024;
// Written by the host into the media folder before it asks for a restore.
constexpr const char *kRestoreAppsList = "iTunesRestore/RestoreApplications.plist";
constexpr uint64_t kMaxRestoreAppsList = 64 * 1024 * 1024;

enum class JobKind { kRestore, kUnback };

/// Which domains a restore rewrites, from its options.
struct RestoreChoice {
    bool system_files = false;       // RestoreSystemFiles
    bool remove_others = false;      // RemoveItemsNotRestored
    bool preserve_settings = false;  // RestorePreserveSettings: keep SystemPreferencesDomain

    bool restores(const std::string &domain) const {
        if (preserve_settings && domain == "SystemPreferencesDomain") {
            return false;
        }
        return system_files || domain.starts_with("AppDomain");
    }
};

/// Mode bits and times of the record, as far as the file system allows;
/// a failure here leaves the content in place, so it is not an error.
void apply_metadata(const std::string &path, const MbFile &record, bool is_link) {
    if (!is_link && record.mode != 0) {
        // The owner keeps read and write so later backups can read the file.
        ::chmod(path.c_str(), static_cast<mode_t>((record.mode & 07777) | 0600));
    }
    if (record.last_modified > 0) {
        const struct timespec times[2] = {{record.last_modified, 0}, {record.last_modified, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

class RestoreJob {
  public:
    RestoreJob(const BackupCall &call, const Identifiers &ids, JobKind kind)
        : call_(call),
          ids_(ids),
          kind_(kind),
          host_(call.channel),
          work_(call.device),
          reader_(host_, work_, ids.source) {
        choice_.system_files = option_bool(call.request, "RestoreSystemFiles", false);
        choice_.remove_others = option_bool(call.request, "RemoveItemsNotRestored", false);
        choice_.preserve_settings = option_bool(call.request, "RestorePreserveSettings", false);
    }

    bool run() {
        if (!work_.ok()) {
            return respond(call_, kEngineDeviceFailed, "the device cannot make its work folder");
        }
        std::string error;
        if (!call_.device.content->prepare(call_.device.context.fixture.dir, &error)) {
            return respond(call_, kEngineDeviceFailed, error);
        }
        uint64_t code = 0;
        StreamStatus status = read_backup(&code, &error);
        if (status.is_ok() && code == 0 && kind_ == JobKind::kUnback) {
            status = host_.create_directory(kUnbackFolder);
        }
        if (status.is_ok() && code == 0) {
            status = restore_rows(&code, &error);
        }
        if (!status.is_ok()) {
            return respond_to_failure(call_, status);
        }
        if (code == 0 && choice_.remove_others && kind_ == JobKind::kRestore) {
            remove_not_restored(&code, &error);
        }
        if (code == 0 && kind_ == JobKind::kRestore) {
            adopt_backup_keys(&code, &error);
        }
        if (code == 0 && kind_ == JobKind::kRestore) {
            install_listed_apps();
            call_.device.reboot_when_link_ends =
                option_bool(call_.request, "RestoreShouldReboot", true);
        }
        if (code != 0) {
            return respond(call_, code, error);
        }
        call_.device.note(std::string(kind_ == JobKind::kRestore ? "restore" : "unback") +
                          " from \"" + ids_.source + "\": " + std::to_string(written_) +
                          " files written, " + std::to_string(removed_) + " removed, " +
                          std::to_string(refused_) + " refused");
        return respond(call_, 0, "");
    }

  private:
    /// The backup's state and manifest; an encrypted one opens only with
    /// the request's Password, as the user must prove they may read it.
    StreamStatus read_backup(uint64_t *code, std::string *error) {
        std::optional<std::string> password = option_string(call_.request, "Password");
        ReadRefusal refusal;
        StreamStatus got = reader_.read(
            call_.device, KeySource::kPasswordOnly,
            password ? std::optional<std::string_view>(*password) : std::nullopt, &refusal);
        if (password && !password->empty()) {
            OPENSSL_cleanse(password->data(), password->size());
        }
        *code = refusal.code;
        *error = refusal.text;
        return got;
    }

    /// A restored encrypted backup brings its password along: the device
    /// encrypts its next backups with the backup's keybag.
    void adopt_backup_keys(uint64_t *code, std::string *error) {
        tarvo::BackupKeybag keybag;
        if (!reader_.encrypted() || !reader_.facts().keys ||
            tarvo::parse_keybag(reader_.facts().keys->keybag, keybag) !=
                tarvo::BackupCryptoResult::kOk ||
            !keep_backup_keys(call_.device, &keybag, &reader_.class_keys())) {
            if (reader_.encrypted()) {
                *code = kEngineDeviceFailed;
                *error = "the device cannot keep the restored backup's keybag";
            }
        }
    }

    /// Every row of a restored domain, in manifest order (folders first).
    /// Files wait in a batch; any other row first sends the batch on, so
    /// that each row still meets the device as the rows before it left it.
    StreamStatus restore_rows(uint64_t *code, std::string *error) {
        StreamStatus status;
        const std::size_t total = std::max<uint64_t>(1, reader_.manifest().count());
        std::size_t done = 0;
        auto progress = [&] {
            return 100.0 * static_cast<double>(done) / static_cast<double>(total);
        };
        reader_.manifest().for_each([&](const ManifestRow &row) {
            ++done;
            if (kind_ == JobKind::kRestore && !choice_.restores(row.domain)) {
                return true;
            }
            if (kind_ == JobKind::kRestore && restored_domains_.size() >= kMaxDomains &&
                !restored_domains_.count(row.domain)) {
                *code = kEngineBadRequest;
                *error = "the backup names too many domains";
                return false;
            }
            if (kind_ == JobKind::kRestore) {
                restored_domains_.insert(row.domain);
            }
            if (queue_file(row)) {
                if (fetches_.size() >= kBatchFiles || batch_bytes_ >= kBatchBytes) {
                    status = finish_batch(progress(), code, error);
                }
                return status.is_ok() && *code == 0;
            }
            status = finish_batch(progress(), code, error);
            if (status.is_ok() && *code == 0) {
                status =
                    kind_ == JobKind::kUnback ? unback_row(row) : restore_row(row, code, error);
            }
            return status.is_ok() && *code == 0;
        });
        if (status.is_ok() && *code == 0) {
            status = finish_batch(progress(), code, error);
        }
        return status;
    }

    /// Where a row goes: on the device for a restore, below _unback_/ on
    /// the host for an unback; "" when the row's path is refused.
    std::string place_of(const ManifestRow &row) const {
        if (kind_ == JobKind::kRestore) {
            return call_.device.content->place_for(row.domain, row.relative_path);
        }
        if (!is_safe_domain(row.domain) || !is_safe_relative_path(row.relative_path)) {
            return "";
        }
        std::string place = std::string(kUnbackFolder) + "/" + row.domain;
        if (!row.relative_path.empty()) {
            place += "/" + row.relative_path;
        }
        return place;
    }

    /// A file row whose content can be fetched joins the batch; false for
    /// any other row.
    bool queue_file(const ManifestRow &row) {
        if (row.flags != static_cast<uint64_t>(EntryKind::kFile) || !is_file_id(row.file_id)) {
            return false;
        }
        std::optional<MbFile> record = decode_mb_file(row.file);
        std::string place = record ? place_of(row) : std::string();
        if (place.empty()) {
            return false;
        }
        batch_bytes_ += record->size;
        const bool in_memory = kind_ == JobKind::kUnback && record->size <= kUnbackInMemory;
        fetches_.push_back({row,
                            std::move(*record),
                            work_.file("incoming-" + std::to_string(fetches_.size())),
                            {},
                            in_memory,
                            {}});
        places_.push_back(std::move(place));
        return true;
    }

    /// Fetches the batch and puts its files in place, in order, up to the
    /// first that the backup cannot give.
    StreamStatus finish_batch(double progress, uint64_t *code, std::string *error) {
        if (fetches_.empty()) {
            return StreamStatus::ok();
        }
        StreamStatus status = reader_.fetch_all(fetches_, kind_ == JobKind::kUnback ? 0 : progress);
        std::vector<OutgoingFile> uploads;
        for (std::size_t i = 0; status.is_ok() && i < fetches_.size(); ++i) {
            Fetch &fetch = fetches_[i];
            if (fetch.refusal.refused()) {
                *code = fetch.refusal.code;
                *error = fetch.refusal.text;
                break;
            }
            if (kind_ == JobKind::kUnback) {
                status = add_unbacked_file(fetch, places_[i], &uploads);
            } else if (!place_restored_file(fetch, places_[i])) {
                *code = kEngineDeviceFailed;
                *error =
                    "the device cannot write " + fetch.row.domain + "/" + fetch.row.relative_path;
                break;
            }
        }
        if (status.is_ok() && !uploads.empty()) {
            status = host_.upload(uploads, 0);
            written_ += status.is_ok() ? uploads.size() : 0;
        }
        fetches_.clear();
        places_.clear();
        batch_bytes_ = 0;
        return status;
    }

    StreamStatus restore_row(const ManifestRow &row, uint64_t *code, std::string *error) {
        std::optional<MbFile> record = decode_mb_file(row.file);
        const std::string place = record ? place_of(row) : std::string();
        if (place.empty()) {
            ++refused_;
            return StreamStatus::ok();
        }
        std::error_code failed;
        if (row.flags == static_cast<uint64_t>(EntryKind::kDirectory)) {
            if (!fs::is_directory(fs::symlink_status(place, failed))) {
                fs::remove(place, failed);
                fs::create_directory(place, failed);
            }
        } else if (row.flags == static_cast<uint64_t>(EntryKind::kSymlink)) {
            fs::remove_all(place, failed);
            fs::create_symlink(record->target.value_or(""), place, failed);
        } else {
            ++refused_;  // a file row that could not join a batch, or no kind at all
            return StreamStatus::ok();
        }
        if (failed) {
            *code = kEngineDeviceFailed;
            *error = "the device cannot write " + row.domain + "/" + row.relative_path;
            return StreamStatus::ok();
        }
        apply_metadata(place, *record, row.flags == static_cast<uint64_t>(EntryKind::kSymlink));
        return StreamStatus::ok();
    }

    /// A fetched file moved over the old content.
    bool place_restored_file(const Fetch &fetch, const std::string &place) {
        std::error_code failed;
        if (fs::is_directory(fs::symlink_status(place, failed))) {
            fs::remove_all(place, failed);
        }
        fs::rename(fetch.local, place, failed);
        if (failed) {
            return false;
        }
        ++written_;
        apply_metadata(place, fetch.record, false);
        return true;
    }

    /// Folders are made on the host; links and anything else are skipped.
    StreamStatus unback_row(const ManifestRow &row) {
        const std::string place = decode_mb_file(row.file) ? place_of(row) : std::string();
        if (!place.empty() && row.flags == static_cast<uint64_t>(EntryKind::kDirectory)) {
            return host_.create_directory(place);
        }
        ++refused_;
        return StreamStatus::ok();
    }

    /// A fetched file joins the batch's upload as plain content, once the
    /// host has the folder it goes in.
    StreamStatus add_unbacked_file(Fetch &fetch, const std::string &place,
                                   std::vector<OutgoingFile> *uploads) {
        if (const std::string parent = place.substr(0, place.rfind('/')); parent != made_) {
            if (StreamStatus made = host_.create_directory(parent); !made.is_ok()) {
                return made;
            }
            made_ = parent;
        }
        OutgoingFile file;
        if (fetch.in_memory) {
            file = outgoing_bytes(place, std::move(fetch.bytes));
        } else {
            file.local_path = place;
            std::error_code ignored;
            file.size = fs::file_size(fetch.local, ignored);
            std::shared_ptr<ContentReader> reader = open_content_file(fetch.local);
            file.read = [reader](std::span<uint8_t> out) { return reader && reader->read(out); };
        }
        file.device_path = fetch.row.domain + "/" + fetch.row.relative_path;
        file.error_text = "the device could not read " + file.device_path;
        uploads->push_back(std::move(file));
        return StreamStatus::ok();
    }

    /// The apps the host listed in the media folder's
    /// iTunesRestore/RestoreApplications.plist become installed apps; the
    /// list is used up, as a device does once it has queued the installs.
    void install_listed_apps() {
        std::string error;
        if (!call_.device.media->prepare(call_.device.context.fixture.dir, &error)) {
            return;
        }
        const std::string path = call_.device.media->real_root() + "/" + kRestoreAppsList;
        std::error_code failed;
        const uint64_t size = fs::file_size(path, failed);
        if (failed || size > kMaxRestoreAppsList ||
            !fs::is_regular_file(fs::symlink_status(path, failed))) {
            return;
        }
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        PlistPtr apps = read_dictionary(bytes);
        const std::size_t installed =
            apps ? tarvosim::install_restored_apps(call_.device.context.state, apps.get()) : 0;
        fs::remove(path, failed);
        call_.device.note(std::to_string(installed) + " applications installed from the backup");
    }

    /// Device entries of restored domains that the backup does not hold.
    void remove_not_restored(uint64_t *code, std::string *error) {
        // Only the top of each doomed subtree is kept: removing a folder
        // removes what it holds, and the list stays short.
        std::vector<std::pair<std::string, std::string>> doomed;
        call_.device.content->walk([&](const ContentEntry &entry) {
            const bool below_last = !doomed.empty() && doomed.back().first == entry.domain &&
                                    entry.relative_path.starts_with(doomed.back().second + "/");
            if (!below_last && restored_domains_.count(entry.domain) &&
                !entry.relative_path.empty() &&
                !reader_.manifest().find(file_id_of(entry.domain, entry.relative_path))) {
                doomed.emplace_back(entry.domain, entry.relative_path);
            }
            return true;
        });
        for (const auto &[domain, path] : doomed) {
            std::error_code failed;
            if (call_.device.content->remove(domain, path, failed) > 0) {
                ++removed_;
            }
            if (failed) {
                *code = kEngineDeviceFailed;
                *error = "the device cannot remove " + domain + "/" + path;
                return;
            }
        }
    }

    const BackupCall &call_;
    const Identifiers ids_;
    const JobKind kind_;
    HostFiles host_;
    WorkFolder work_;
    BackupReader reader_;
    RestoreChoice choice_;
    std::set<std::string> restored_domains_;
    std::size_t written_ = 0;
    std::size_t removed_ = 0;
    std::size_t refused_ = 0;
    std::string made_;                 // the host folder made last for an unbacked file
    std::vector<Fetch> fetches_;       // the batch of files to fetch
    std::vector<std::string> places_;  // where each goes
    uint64_t batch_bytes_ = 0;
};

}  // namespace

bool answer_restore(const BackupCall &call) {
    std::string why;
    std::optional<Identifiers> ids = identifiers_of(call, &why);
    if (!ids) {
        return respond(call, kEngineBadRequest, why);
    }
    return RestoreJob(call, *ids, JobKind::kRestore).run();
}

bool answer_unback(const BackupCall &call) {
    std::string why;
    std::optional<Identifiers> ids = identifiers_of(call, &why);
    if (!ids) {
        return respond(call, kEngineBadRequest, why);
    }
    return RestoreJob(call, *ids, JobKind::kUnback).run();
}

}  // namespace tarvosim
