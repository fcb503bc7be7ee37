/*
 * The layout of a backup folder as devices write it, <root>/<UDID>/:
 * Manifest.db, Manifest.plist, Status.plist and the content files at
 * <first two hex digits>/<fileID>, fileID being the lower-case hex SHA-1
 * of "<domain>-<relative path>". Here are the names, the file IDs and the
 * two small property lists the engine writes and reads back.
 */
#ifndef TARVO_SIM_BACKUP_FOLDER_H
#define TARVO_SIM_BACKUP_FOLDER_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "owners.h"

namespace tarvosim {

inline constexpr const char *kManifestDbName = "Manifest.db";
inline constexpr const char *kManifestPlistName = "Manifest.plist";
inline constexpr const char *kStatusPlistName = "Status.plist";

std::string file_id_of(const std::string &domain, const std::string &relative_path);
/// Whether `id` is 40 lower-case hex digits, as file IDs are.
bool is_file_id(const std::string &id);
/// "<folder>/<first two hex digits>/<fileID>"
std::string content_path_of(const std::string &folder, const std::string &file_id);

/// Seconds since 1970 now, and a plist date node of them.
int64_t unix_now();
plist_t plist_date_of(int64_t unix_seconds);
int64_t unix_seconds_of(plist_t date);

/// Status.plist: "uploading" while the backup runs, "finished" at the end.
std::vector<uint8_t> status_plist(bool full, bool finished, const std::string &uuid);
/// What a downloaded Status.plist says of the last backup.
struct LastStatus {
    bool finished = false;
    int64_t date = 0;
};
std::optional<LastStatus> read_status_plist(std::span<const uint8_t> bytes);

/// A dictionary parsed from hostile bytes; null when it is none.
PlistPtr read_dictionary(std::span<const uint8_t> bytes);
/// A binary plist's bytes.
std::vector<uint8_t> binary_plist(plist_t node);

/// A new random UUID in upper-case text.
std::string random_uuid();

/// Whether `name` may name a device folder: 1 to 64 letters, digits and "-".
bool is_safe_identifier(const std::string &name);

}  // namespace tarvosim

#endif
