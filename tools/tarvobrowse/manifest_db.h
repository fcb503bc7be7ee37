/*
 * Manifest.db, the backup's SQLite index, opened for reading only. A plain
 * one is opened in place as immutable, so SQLite never creates a journal,
 * -wal or -shm file in the backup folder. An encrypted one is decrypted
 * into a PrivateTempFile, opened there, and unlinked as soon as SQLite holds
 * it, so no decrypted copy outlives the open on any exit path.
 *
 * Rows are handed out one at a time, in domain and path order unless the
 * caller asks for the stored order; the text
 * and the archive of a row are valid only during the visit.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_MANIFEST_DB_H
#define TARVO_TOOLS_TARVOBROWSE_MANIFEST_DB_H

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "backup_crypto.h"
#include "backup_folder.h"

namespace browse {

/// Domains longer than this are refused.
inline constexpr size_t kMaxDomainBytes = 255;

/// Rows by domain and path, or as the table stores them (cheaper).
enum class RowOrder { kByPath, kStored };

struct ManifestRow {
    std::string_view file_id;
    std::string_view domain;
    std::string_view relative_path;
    uint64_t flags = 0;
    std::span<const uint8_t> archive;
    /// Set when the row's columns are not what a device writes; the other
    /// fields are then not to be used beyond naming the row.
    const char *defect = nullptr;
};

/// Which rows a command sees: one domain, and a shell pattern (fnmatch)
/// matched against the relative path or "domain/relative path".
struct RowFilter {
    std::optional<std::string> domain;
    std::optional<std::string> pattern;

    bool matches(std::string_view domain_name, std::string_view relative_path) const;
};

class ManifestDb {
  public:
    ~ManifestDb();
    ManifestDb(const ManifestDb &) = delete;
    ManifestDb &operator=(const ManifestDb &) = delete;

    /// The plain Manifest.db of `folder`. Null with `error`.
    static std::unique_ptr<ManifestDb> open_plain(const BackupFolder &folder, std::string *error);
    /// The encrypted Manifest.db of `folder`, decrypted with `key`.
    static std::unique_ptr<ManifestDb> open_encrypted(const BackupFolder &folder,
                                                      const tarvo::BackupKey &key,
                                                      std::string *error);

    /// Calls `visit` for each row the filter passes. False with `error`
    /// when the query fails (the visits made stand).
    bool for_each(const RowFilter &filter, const std::function<void(const ManifestRow &)> &visit,
                  std::string *error, RowOrder order = RowOrder::kByPath);
    /// The rows of `flags` kind (0: every kind) in the filter's domain.
    std::optional<uint64_t> count(const RowFilter &filter, uint64_t flags, std::string *error);
    /// The row of one domain and relative path; false when there is none.
    bool find(std::string_view domain, std::string_view relative_path,
              const std::function<void(const ManifestRow &)> &visit, std::string *error);

  private:
    explicit ManifestDb(sqlite3 *db) : db_(db) {}
    static std::unique_ptr<ManifestDb> open_path(const std::string &path, std::string *error);
    bool run_rows(sqlite3_stmt *query, const RowFilter *filter,
                  const std::function<void(const ManifestRow &)> &visit, uint64_t *visited,
                  std::string *error);

    sqlite3 *db_ = nullptr;
};

}  // namespace browse

#endif
