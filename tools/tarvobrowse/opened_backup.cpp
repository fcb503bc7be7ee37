// Opening a backup for a command: folder, Manifest.plist, keys, Manifest.db.
#include "opened_backup.h"

#include "plist_items.h"

namespace browse {

OpenResult open_backup_folder(const std::string &path, OpenedBackup &backup, std::string *error) {
    if (!backup.folder.open(path, error)) {
        return OpenResult::kFailed;
    }
    bool missing = false;
    backup.manifest_plist = backup.folder.read_plist("Manifest.plist", error, &missing);
    if (!backup.manifest_plist) {
        if (missing) {
            *error = path + ": no backup folder (no Manifest.plist; give DIR/<UDID>)";
        }
        return OpenResult::kFailed;
    }
    backup.encrypted = tarvo::bool_item(backup.manifest_plist.get(), "IsEncrypted").value_or(false);
    return OpenResult::kOk;
}

OpenResult open_manifest(OpenedBackup &backup, const PasswordSource &password, std::string *error) {
    if (!backup.encrypted) {
        backup.manifest = ManifestDb::open_plain(backup.folder, error);
        return backup.manifest ? OpenResult::kOk : OpenResult::kFailed;
    }
    SecretString entered = read_password(password, error);
    if (!entered) {
        return OpenResult::kFailed;
    }
    backup.keys.emplace();
    const UnlockResult unlocked =
        unlock_backup(backup.manifest_plist.get(), entered.get(), *backup.keys, error);
    entered.reset();
    if (unlocked != UnlockResult::kOk) {
        backup.keys.reset();
        if (unlocked == UnlockResult::kWrongPassword) {
            *error = "wrong password for the backup in " + backup.folder.path();
            return OpenResult::kWrongPassword;
        }
        *error = backup.folder.path() + "/Manifest.plist: " + *error;
        return OpenResult::kFailed;
    }
    backup.manifest = ManifestDb::open_encrypted(backup.folder, backup.keys->manifest_key, error);
    return backup.manifest ? OpenResult::kOk : OpenResult::kFailed;
}

bool open_whole_backup(const std::string &path, const PasswordSource &password,
                       OpenedBackup &backup, std::string *error) {
    return open_backup_folder(path, backup, error) == OpenResult::kOk &&
           open_manifest(backup, password, error) == OpenResult::kOk;
}

}  // namespace browse
