/*
 * Manifest.db, the SQLite index of a backup: the Files table (fileID,
 * domain, relativePath, flags, file = an MBFile archive) with indexes on
 * domain, relativePath and flags, and the Properties table. The engine
 * writes a new one for each backup and reads the previous one the host
 * gave back, one row at a time, so memory does not grow with the files.
 */
#ifndef TARVO_SIM_MANIFEST_DB_H
#define TARVO_SIM_MANIFEST_DB_H

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvosim {

struct ManifestRow {
    std::string file_id;
    std::string domain;
    std::string relative_path;
    uint64_t flags = 0;
    std::vector<uint8_t> file;  // the MBFile archive
};

class ManifestDb {
  public:
    ~ManifestDb();
    ManifestDb(const ManifestDb &) = delete;
    ManifestDb &operator=(const ManifestDb &) = delete;

    /// A new, empty manifest at `path` (what was there goes).
    static std::unique_ptr<ManifestDb> create(const std::string &path, std::string *error);
    /// An existing manifest, read-only; null when it is no manifest.
    static std::unique_ptr<ManifestDb> open(const std::string &path, std::string *error);

    bool begin();
    bool commit();
    bool insert(const ManifestRow &row);
    std::optional<ManifestRow> find(const std::string &file_id);
    /// Every row ordered by domain and relativePath; false when `visit`
    /// stopped or the query failed.
    bool for_each(const std::function<bool(const ManifestRow &row)> &visit);
    uint64_t count();
    bool set_property(const std::string &key, const std::vector<uint8_t> &value);

    sqlite3 *handle() { return db_; }
    std::string last_error() const;

  private:
    explicit ManifestDb(sqlite3 *db) : db_(db) {}
    bool run(const char *sql);

    sqlite3 *db_ = nullptr;
    sqlite3_stmt *insert_ = nullptr;
    sqlite3_stmt *find_ = nullptr;
};

}  // namespace tarvosim

#endif
