/*
 * Manifest.plist: what a backup is of (the device's lockdown values, its
 * applications), when it was made and whether it is encrypted, with the
 * keybag and the manifest key of an encrypted backup.
 */
#ifndef TARVO_SIM_MANIFEST_PLIST_H
#define TARVO_SIM_MANIFEST_PLIST_H

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "backup_call.h"

namespace tarvosim {

struct ManifestKeys {
    std::vector<uint8_t> keybag;        // BackupKeyBag
    std::vector<uint8_t> manifest_key;  // ManifestKey
};

std::vector<uint8_t> manifest_plist(const BackupDevice &device,
                                    const std::optional<ManifestKeys> &keys);

/// What the engine needs of a downloaded Manifest.plist.
struct ManifestFacts {
    bool encrypted = false;
    std::optional<ManifestKeys> keys;
    PlistPtr lockdown;  // the "Lockdown" dictionary, or null
    int64_t date = 0;
};
std::optional<ManifestFacts> read_manifest_plist(std::span<const uint8_t> bytes);

}  // namespace tarvosim

#endif
