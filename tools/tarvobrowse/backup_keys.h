/*
 * The keys of an encrypted backup: Manifest.plist's BackupKeyBag opened
 * with the password (two PBKDF2 stages, RFC 3394 unwraps, all in
 * common/backup_crypto), and its ManifestKey unwrapped with its class key.
 * A wrong password costs exactly the key derivation and nothing else.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_BACKUP_KEYS_H
#define TARVO_TOOLS_TARVOBROWSE_BACKUP_KEYS_H

#include <plist/plist.h>

#include <string>
#include <string_view>

#include "backup_crypto.h"

namespace browse {

struct BackupKeys {
    tarvo::BackupClassKeys class_keys;
    tarvo::BackupKey manifest_key;
};

enum class UnlockResult { kOk, kWrongPassword, kBadBackup };

/// Opens the keybag and manifest key of `manifest_plist` with `password`.
/// kWrongPassword when the password does not open the keybag; kBadBackup
/// with `error` when the keybag or ManifestKey is missing or malformed.
UnlockResult unlock_backup(plist_t manifest_plist, std::string_view password, BackupKeys &keys,
                           std::string *error);

}  // namespace browse

#endif
