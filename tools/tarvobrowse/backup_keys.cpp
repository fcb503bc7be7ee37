// Opening an encrypted backup's keybag and Manifest.db key.
#include "backup_keys.h"

#include "plist_items.h"

namespace browse {

UnlockResult unlock_backup(plist_t manifest_plist, std::string_view password, BackupKeys &keys,
                           std::string *error) {
    const std::optional<std::vector<uint8_t>> keybag_bytes =
        tarvo::data_item(manifest_plist, "BackupKeyBag");
    const std::optional<std::vector<uint8_t>> manifest_key =
        tarvo::data_item(manifest_plist, "ManifestKey");
    if (!keybag_bytes || !manifest_key) {
        *error = "Manifest.plist has no BackupKeyBag or ManifestKey data";
        return UnlockResult::kBadBackup;
    }
    tarvo::BackupKeybag keybag;
    if (tarvo::parse_keybag(*keybag_bytes, keybag) != tarvo::BackupCryptoResult::kOk) {
        *error = "the keybag in Manifest.plist is malformed";
        return UnlockResult::kBadBackup;
    }
    const tarvo::BackupCryptoResult unlocked =
        tarvo::unlock_keybag(keybag, password, keys.class_keys);
    if (unlocked == tarvo::BackupCryptoResult::kWrongPassword) {
        return UnlockResult::kWrongPassword;
    }
    if (unlocked != tarvo::BackupCryptoResult::kOk) {
        *error = std::string("the keybag cannot be opened: ") + tarvo::to_string(unlocked);
        return UnlockResult::kBadBackup;
    }
    uint32_t protection_class = 0;
    const tarvo::BackupCryptoResult opened = tarvo::unwrap_class_key_blob(
        keys.class_keys, *manifest_key, keys.manifest_key, protection_class);
    if (opened != tarvo::BackupCryptoResult::kOk) {
        *error = std::string("the ManifestKey cannot be opened: ") + tarvo::to_string(opened);
        return UnlockResult::kBadBackup;
    }
    return UnlockResult::kOk;
}

}  // namespace browse
