/*
 * A backup ready for a command: the folder, its Manifest.plist, and for an
 * encrypted one its keys from the password; then, when the command needs
 * it, Manifest.db. Messages are left to the command.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_OPENED_BACKUP_H
#define TARVO_TOOLS_TARVOBROWSE_OPENED_BACKUP_H

#include <memory>
#include <optional>
#include <string>

#include "backup_folder.h"
#include "backup_keys.h"
#include "manifest_db.h"
#include "owners.h"
#include "password_source.h"

namespace browse {

struct OpenedBackup {
    BackupFolder folder;
    PlistPtr manifest_plist;
    bool encrypted = false;
    std::optional<BackupKeys> keys;
    std::unique_ptr<ManifestDb> manifest;

    /// Null for a plain backup.
    const tarvo::BackupClassKeys *class_keys() const { return keys ? &keys->class_keys : nullptr; }
};

enum class OpenResult { kOk, kWrongPassword, kFailed };

/// Opens the folder and Manifest.plist.
OpenResult open_backup_folder(const std::string &path, OpenedBackup &backup, std::string *error);

/// Reads the password (when the backup is encrypted), unlocks the keys and
/// opens Manifest.db.
OpenResult open_manifest(OpenedBackup &backup, const PasswordSource &password, std::string *error);

/// Both steps, as the commands that read entries need them.
bool open_whole_backup(const std::string &path, const PasswordSource &password,
                       OpenedBackup &backup, std::string *error);

}  // namespace browse

#endif
