/*
 * The backup password and the cloud backup switch of the simulated
 * device: "ChangePassword" turns encryption on, off or changes its
 * password by keeping (or dropping) a keybag in the device's state, and
 * "EnableCloudBackup" keeps the switch there. Lockdown reports both
 * through the domain "com.apple.mobile.backup".
 */
#ifndef TARVO_SIM_PASSWORD_ENGINE_H
#define TARVO_SIM_PASSWORD_ENGINE_H

#include <cstdint>
#include <optional>
#include <vector>

#include "backup_requests.h"

namespace tarvosim {

/// The lockdown domain and keys the device keeps its backup settings in.
inline constexpr const char *kBackupDomain = "com.apple.mobile.backup";
inline constexpr const char *kWillEncryptKey = "WillEncrypt";
inline constexpr const char *kCloudBackupKey = "CloudBackupEnabled";
/// The device's own keybag (data); kept where only the simulator reads it.
inline constexpr const char *kKeybagDomain = "tarvosim.backup-keybag";
inline constexpr const char *kKeybagKey = "BackupKeyBag";
/// The fixture's "com.apple.mobile.backup" key that lowers the keybag's
/// first-stage iteration count (tests keep it small).
inline constexpr const char *kFixtureDpicKey = "BackupDPIC";

/// The keybag the device keeps while it encrypts; nullopt when it does not.
std::optional<std::vector<uint8_t>> kept_keybag(const BackupDevice &device);

/// "ChangePassword": NewPassword alone turns encryption on, OldPassword
/// alone turns it off, both change the password.
bool answer_change_password(const BackupCall &call);

/// "EnableCloudBackup": Options {"CloudBackupState": bool}.
bool answer_enable_cloud_backup(const BackupCall &call);

}  // namespace tarvosim

#endif
