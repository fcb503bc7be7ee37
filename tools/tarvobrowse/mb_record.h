/*
 * The reader's own decoder of MBFile records, the keyed archives in the
 * Files.file column of Manifest.db. The simulated device has a codec of its
 * own; the two sides are written apart on purpose, so each checks the other.
 *
 * Records come from a backup folder that may be hostile: the archive is
 * capped before libplist sees it, checked by plist_untrusted, and every
 * field the reader relies on is type-checked. Nothing here touches disk.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_MB_RECORD_H
#define TARVO_TOOLS_TARVOBROWSE_MB_RECORD_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace browse {

/// Archives longer than this are refused; device records are a few hundred bytes.
inline constexpr std::size_t kMaxRecordBytes = 64 * 1024;
/// Paths and link targets longer than this are refused.
inline constexpr std::size_t kMaxRecordPathBytes = 4096;

/// The Files.flags column.
enum class EntryKind : uint64_t { kFile = 1, kDirectory = 2, kSymlink = 4 };

struct MbRecord {
    std::string relative_path;
    uint64_t size = 0;
    uint64_t mode = 0;  // st_mode, type bits included
    int64_t last_modified = 0;
    uint64_t protection_class = 0;
    /// "EncryptionKey" NS.data: class (4 bytes LE) and a wrapped key.
    std::optional<std::vector<uint8_t>> encryption_key;
    std::optional<std::string> target;
};

/// Decodes one archive. nullopt when it is none, with `why` saying what is
/// wrong in a few words ("no $objects array", ...).
std::optional<MbRecord> decode_mb_record(std::span<const uint8_t> bytes, std::string *why);

}  // namespace browse

#endif
