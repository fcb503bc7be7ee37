/*
 * Reading a finished backup back from the host: Status.plist (it must say
 * "finished"), Manifest.plist, Manifest.db into the work folder, and the
 * content of each file, decrypted when the backup is encrypted. Restore,
 * unback, list and the next incremental backup all read a backup this
 * way. Everything the host sends is capped before it is read.
 */
#ifndef TARVO_SIM_BACKUP_READER_H
#define TARVO_SIM_BACKUP_READER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "backup_crypto.h"
#include "engine_support.h"
#include "host_files.h"
#include "manifest_db.h"
#include "manifest_plist.h"
#include "mb_file.h"

namespace tarvosim {

/// Whose keys may open an encrypted backup.
enum class KeySource {
    kPasswordOnly,      // restore and unback: the user's password, always checked
    kDeviceOrPassword,  // the device's own class keys when they fit, else the password
};

/// Why a backup could not be read (the final Response's code and text);
/// code 0 when it was.
struct ReadRefusal {
    uint64_t code = 0;
    std::string text;
    bool refused() const { return code != 0; }
};

/// One file of a batched fetch: its row and record, the local file its
/// plain content goes to (or memory, when `in_memory` and the backup is
/// plain: the fetch clears the flag when it used the file), and why it
/// could not be had.
struct Fetch {
    ManifestRow row;
    MbFile record;
    std::string local;
    ReadRefusal refusal;
    bool in_memory = false;
    std::vector<uint8_t> bytes;  // the content, when in_memory
};

class BackupReader {
  public:
    BackupReader(HostFiles &host, const WorkFolder &work, std::string source)
        : host_(host), work_(work), source_(std::move(source)) {}

    /// Reads the backup's state and manifest. A failed exchange comes back
    /// as the status; a backup that is missing, unfinished, unreadable or
    /// locked comes back in *refusal with an ok status.
    StreamStatus read(const BackupDevice &device, KeySource keys,
                      std::optional<std::string_view> password, ReadRefusal *refusal);

    /// Downloads the plain content of many file rows in one download; a
    /// missing or undecryptable file comes back in its item's refusal.
    StreamStatus fetch_all(std::vector<Fetch> &items, double progress);

    const ManifestFacts &facts() const { return facts_; }
    bool encrypted() const { return facts_.encrypted; }
    ManifestDb &manifest() { return *manifest_; }
    /// The class keys that opened an encrypted backup.
    const tarvo::BackupClassKeys &class_keys() const { return class_keys_; }
    /// The folder read, relative to the host's root.
    const std::string &source() const { return source_; }

  private:
    StreamStatus read_state(ReadRefusal *refusal);
    bool open_keys(const BackupDevice &device, KeySource keys,
                   std::optional<std::string_view> password, tarvo::BackupKey *manifest_key,
                   ReadRefusal *refusal);
    StreamStatus read_manifest_db(const tarvo::BackupKey *key, ReadRefusal *refusal);

    HostFiles &host_;
    const WorkFolder &work_;
    std::string source_;
    ManifestFacts facts_;
    std::unique_ptr<ManifestDb> manifest_;
    tarvo::BackupClassKeys class_keys_;
};

}  // namespace tarvosim

#endif
