/*
 * The backup password and the cloud backup switch of the simulated
 * device: "ChangePassword" turns encryption on, off or changes its
 * password by keeping (or dropping) a keybag in the device's state, and
 * "EnableCloudBackup" keeps the switch there. Lockdown reports both
 * through the domain "com.apple.mobile.backup". The two requests are
 * declared with the engine's others (engine_requests.h); this header holds
 * the settings and keys the rest of the engine reads.
 */
#ifndef TARVO_SIM_PASSWORD_ENGINE_H
#define TARVO_SIM_PASSWORD_ENGINE_H

#include <cstdint>
#include <optional>
#include <vector>

#include "backup_call.h"
#include "backup_crypto.h"

namespace tarvosim {

/// The lockdown domain and keys the device keeps its backup settings in.
/// (Apart from device_content.h's names: settings are not content.)
inline constexpr const char *kBackupDomain = "com.apple.mobile.backup";
inline constexpr const char *kWillEncryptKey = "WillEncrypt";
inline constexpr const char *kCloudBackupKey = "CloudBackupEnabled";
/// The device's own keybag and the class keys it opens (data), kept where
/// only the simulator reads them: a device holds its class keys in its
/// keychain, so it can encrypt a backup without being given the password.
inline constexpr const char *kKeybagDomain = "tarvosim.backup-keybag";
inline constexpr const char *kKeybagKey = "BackupKeyBag";
inline constexpr const char *kClassKeysKey = "ClassKeys";
/// The fixture's "com.apple.mobile.backup" key that lowers the keybag's
/// first-stage iteration count (tests keep it small).
inline constexpr const char *kFixtureDpicKey = "BackupDPIC";

/// What the device holds while it encrypts its backups.
struct DeviceBackupKeys {
    std::vector<uint8_t> keybag;  // as it goes into Manifest.plist
    tarvo::BackupClassKeys class_keys;
};

/// Whether the device's WillEncrypt is on.
bool will_encrypt(const BackupDevice &device);
/// The keybag and class keys kept while the device encrypts; nullopt when
/// it does not encrypt or has lost them.
std::optional<DeviceBackupKeys> device_backup_keys(const BackupDevice &device);
/// Keeps `keybag` with its class keys and turns WillEncrypt on, or drops
/// them and turns it off when `keybag` is null.
bool keep_backup_keys(const BackupDevice &device, const tarvo::BackupKeybag *keybag,
                      const tarvo::BackupClassKeys *keys);

}  // namespace tarvosim

#endif
