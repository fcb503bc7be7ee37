/*
 * MBFile: the metadata a backup keeps of each file, folder and link, as a
 * keyed archive in binary plist form (the Files.file column of
 * Manifest.db): {"$version", "$archiver", "$top": {"root": UID 1},
 * "$objects": ["$null", {the record, strings and data by UID}, ...,
 * {"$classname": "MBFile", ...}]}.
 */
#ifndef TARVO_SIM_MB_FILE_H
#define TARVO_SIM_MB_FILE_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarvosim {

/// Kept apart from ContentEntry on purpose: this is the archive's record, with its own widths.
struct MbFile {
    std::string relative_path;
    uint64_t size = 0;
    uint64_t mode = 0;
    uint64_t flags = 0;
    uint64_t user_id = 0;
    uint64_t group_id = 0;
    uint64_t inode = 0;
    int64_t birth = 0;
    int64_t last_modified = 0;
    int64_t last_status_change = 0;
    uint64_t protection_class = 0;
    /// "EncryptionKey" NS.data: 4-byte little-endian class, 40-byte wrapped key.
    std::optional<std::vector<uint8_t>> encryption_key;
    std::optional<std::string> target;  // a link's target

    bool operator==(const MbFile &) const = default;
};

/// The binary plist of the keyed archive.
std::vector<uint8_t> encode_mb_file(const MbFile &file);
/// Reads a keyed archive as written by a device; nullopt when it is none.
/// Hostile input: the plist is checked before libplist parses it.
std::optional<MbFile> decode_mb_file(std::span<const uint8_t> bytes);

}  // namespace tarvosim

#endif
