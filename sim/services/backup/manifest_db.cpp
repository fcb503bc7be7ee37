/*
 * Manifest.db through libsqlite3.
 */
#include "manifest_db.h"

#include "sqlite_file.h"

namespace tarvosim {
namespace {

constexpr const char *kSchema =
    "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags "
    "INTEGER, file BLOB);"
    "CREATE INDEX FilesDomainIdx ON Files(domain);"
    "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
    "CREATE INDEX FilesFlagsIdx ON Files(flags);"
    "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);";

// The page cache of one connection. The default (2 MiB) is far below a
// manifest of 100,000 files (about 70 MiB): its random index inserts and
// lookups would then go to the file for nearly every row. A fixed size
// keeps the device's memory bounded whatever the number of files.
constexpr const char *kCacheSize = "PRAGMA cache_size=-32768;";

ManifestRow row_of(sqlite3_stmt *statement) {
    ManifestRow row;
    row.file_id = column_text(statement, 0);
    row.domain = column_text(statement, 1);
    row.relative_path = column_text(statement, 2);
    row.flags = static_cast<uint64_t>(sqlite3_column_int64(statement, 3));
    row.file = column_bytes(statement, 4);
    return row;
}

void bind_text(sqlite3_stmt *statement, int index, const std::string &text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

}  // namespace

ManifestDb::~ManifestDb() {
    sqlite3_finalize(insert_);
    sqlite3_finalize(find_);
    sqlite3_close(db_);
}

std::unique_ptr<ManifestDb> ManifestDb::create(const std::string &path, std::string *error) {
    std::string reason;
    sqlite3 *db = create_fresh_db(path, &reason);
    if (!db) {
        *error = path + ": " + (reason.empty() ? "cannot be created" : reason);
        return nullptr;
    }
    std::unique_ptr<ManifestDb> manifest(new ManifestDb(db));
    // The file is rebuilt from scratch if the device stops, so durability
    // is not worth a sync per row. The locking mode stays normal: it would
    // change the file's change counter, and the file is the backup's.
    if (!manifest->run("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;") ||
        !manifest->run(kCacheSize) || !manifest->run(kSchema)) {
        *error = path + ": " + manifest->last_error();
        return nullptr;
    }
    return manifest;
}

std::unique_ptr<ManifestDb> ManifestDb::open(const std::string &path, std::string *error) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        *error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot be opened");
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<ManifestDb> manifest(new ManifestDb(db));
    sqlite3_stmt *probe = nullptr;
    // The host's copy is hostile: a file that is no manifest is refused here.
    if (sqlite3_prepare_v2(db,
                           "SELECT fileID, domain, relativePath, flags, file FROM Files LIMIT 1",
                           -1, &probe, nullptr) != SQLITE_OK) {
        *error = path + ": not a backup manifest: " + manifest->last_error();
        sqlite3_finalize(probe);
        return nullptr;
    }
    sqlite3_finalize(probe);
    // The device's private copy: one shared lock held from the first read
    // on spares each lookup its own lock, journal check and header read.
    if (!manifest->run("PRAGMA locking_mode=EXCLUSIVE;") || !manifest->run(kCacheSize)) {
        *error = path + ": " + manifest->last_error();
        return nullptr;
    }
    return manifest;
}

bool ManifestDb::run(const char *sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool ManifestDb::begin() {
    return run("BEGIN");
}

bool ManifestDb::commit() {
    return run("COMMIT");
}

std::string ManifestDb::last_error() const {
    return sqlite3_errmsg(db_);
}

bool ManifestDb::insert(const ManifestRow &row) {
    if (!insert_ &&
        sqlite3_prepare_v2(db_,
                           "INSERT OR REPLACE INTO Files (fileID, domain, relativePath, flags, "
                           "file) VALUES (?, ?, ?, ?, ?)",
                           -1, &insert_, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_reset(insert_);
    bind_text(insert_, 1, row.file_id);
    bind_text(insert_, 2, row.domain);
    bind_text(insert_, 3, row.relative_path);
    sqlite3_bind_int64(insert_, 4, static_cast<sqlite3_int64>(row.flags));
    sqlite3_bind_blob(insert_, 5, row.file.data(), static_cast<int>(row.file.size()),
                      SQLITE_TRANSIENT);
    return sqlite3_step(insert_) == SQLITE_DONE;
}

std::optional<ManifestRow> ManifestDb::find(const std::string &file_id) {
    if (!find_ && sqlite3_prepare_v2(db_,
                                     "SELECT fileID, domain, relativePath, flags, file FROM Files "
                                     "WHERE fileID = ?",
                                     -1, &find_, nullptr) != SQLITE_OK) {
        return std::nullopt;
    }
    sqlite3_reset(find_);
    bind_text(find_, 1, file_id);
    if (sqlite3_step(find_) != SQLITE_ROW) {
        return std::nullopt;
    }
    return row_of(find_);
}

bool ManifestDb::for_each(const std::function<bool(const ManifestRow &row)> &visit) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT fileID, domain, relativePath, flags, file FROM Files ORDER BY "
                           "domain, relativePath",
                           -1, &statement, nullptr) != SQLITE_OK) {
        return false;
    }
    bool ok = true;
    int step = SQLITE_ROW;
    while (ok && (step = sqlite3_step(statement)) == SQLITE_ROW) {
        ok = visit(row_of(statement));
    }
    sqlite3_finalize(statement);
    return ok && step == SQLITE_DONE;
}

uint64_t ManifestDb::count() {
    sqlite3_stmt *statement = nullptr;
    uint64_t rows = 0;
    if (sqlite3_prepare_v2(db_, "SELECT COUNT(*) FROM Files", -1, &statement, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        rows = static_cast<uint64_t>(sqlite3_column_int64(statement, 0));
    }
    sqlite3_finalize(statement);
    return rows;
}

bool ManifestDb::set_property(const std::string &key, const std::vector<uint8_t> &value) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO Properties (key, value) VALUES (?, ?)", -1,
                           &statement, nullptr) != SQLITE_OK) {
        return false;
    }
    bind_text(statement, 1, key);
    sqlite3_bind_blob(statement, 2, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    const bool ok = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_finalize(statement);
    return ok;
}

}  // namespace tarvosim
