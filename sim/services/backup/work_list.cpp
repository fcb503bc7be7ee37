/*
 * The work list in SQLite.
 */
#include "work_list.h"

#include "sqlite_file.h"

namespace tarvosim {
namespace {

/// Runs a query whose one parameter is the action, handing it each row
/// until `visit` says false; false when the query fails or is cut short.
bool each_row(sqlite3 *db, const char *sql, WorkAction action,
              const std::function<bool(sqlite3_stmt *)> &visit) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_bind_int(statement, 1, static_cast<int>(action));
    bool ok = true;
    int step = SQLITE_ROW;
    while (ok && (step = sqlite3_step(statement)) == SQLITE_ROW) {
        ok = visit(statement);
    }
    sqlite3_finalize(statement);
    return ok && step == SQLITE_DONE;
}

/// The first column of the first row; 0 when there is none.
uint64_t single_number(sqlite3 *db, const char *sql, WorkAction action) {
    uint64_t value = 0;
    each_row(db, sql, action, [&value](sqlite3_stmt *statement) {
        value = static_cast<uint64_t>(sqlite3_column_int64(statement, 0));
        return false;
    });
    return value;
}

}  // namespace

WorkList::~WorkList() {
    sqlite3_finalize(add_);
    sqlite3_close(db_);
}

std::unique_ptr<WorkList> WorkList::create(const std::string &path, std::string *error) {
    std::string reason;
    sqlite3 *db = create_fresh_db(path, &reason);
    if (!db) {
        *error = path + ": cannot be made";
        return nullptr;
    }
    std::unique_ptr<WorkList> list(new WorkList(db));
    // A scratch file of this request alone: no journal, no syncs, one lock
    // for the connection's life, and a page cache that holds the list of
    // 100,000 files (bounded, so a million cost disk rather than memory).
    // Additions are appended to Added as they come; commit() sorts them
    // into Work, kept in fileID order so that the uploads read it straight
    // through. Sorting once costs far less than inserting each item at its
    // place in a tree larger than the cache.
    if (sqlite3_exec(db,
                     "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                     "PRAGMA locking_mode=EXCLUSIVE; PRAGMA cache_size=-16384;"
                     "CREATE TABLE Added (fileID TEXT, domain TEXT, relativePath TEXT, size "
                     "INTEGER, action INTEGER, key BLOB);"
                     "CREATE TABLE Work (fileID TEXT PRIMARY KEY, domain TEXT, relativePath "
                     "TEXT, size INTEGER, action INTEGER, key BLOB) WITHOUT ROWID",
                     nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, "INSERT INTO Added VALUES (?, ?, ?, ?, ?, ?)", -1, &list->add_,
                           nullptr) != SQLITE_OK) {
        *error = path + ": " + sqlite3_errmsg(db);
        return nullptr;
    }
    return list;
}

bool WorkList::begin() {
    return sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool WorkList::commit() {
    // In the order of addition within one fileID, so a later item replaces
    // an earlier one of the same fileID, as it would in a keyed table.
    sqlite3_reset(add_);
    return sqlite3_exec(db_,
                        "INSERT OR REPLACE INTO Work SELECT fileID, domain, relativePath, size, "
                        "action, key FROM Added ORDER BY fileID, rowid;"
                        "DROP TABLE Added; COMMIT",
                        nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool WorkList::add(const WorkItem &item) {
    sqlite3_reset(add_);
    sqlite3_bind_text(add_, 1, item.file_id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(add_, 2, item.domain.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(add_, 3, item.relative_path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(add_, 4, static_cast<sqlite3_int64>(item.size));
    sqlite3_bind_int(add_, 5, static_cast<int>(item.action));
    sqlite3_bind_blob(add_, 6, item.encryption_key.data(),
                      static_cast<int>(item.encryption_key.size()), SQLITE_TRANSIENT);
    return sqlite3_step(add_) == SQLITE_DONE;
}

bool WorkList::for_each(WorkAction action, const std::function<bool(const WorkItem &)> &visit) {
    return each_row(db_,
                    "SELECT fileID, domain, relativePath, size, key FROM Work WHERE action = ? "
                    "ORDER BY fileID",
                    action, [&](sqlite3_stmt *statement) {
                        const WorkItem item{
                            column_text(statement, 0),
                            column_text(statement, 1),
                            column_text(statement, 2),
                            static_cast<uint64_t>(sqlite3_column_int64(statement, 3)),
                            action,
                            column_bytes(statement, 4)};
                        return visit(item);
                    });
}

bool WorkList::for_each_prefix(WorkAction action,
                               const std::function<bool(const std::string &)> &visit) {
    return each_row(
        db_, "SELECT DISTINCT substr(fileID, 1, 2) FROM Work WHERE action = ? ORDER BY 1", action,
        [&](sqlite3_stmt *statement) { return visit(column_text(statement, 0)); });
}

uint64_t WorkList::bytes(WorkAction action) {
    return single_number(db_, "SELECT COALESCE(SUM(size), 0) FROM Work WHERE action = ?", action);
}

uint64_t WorkList::count(WorkAction action) {
    return single_number(db_, "SELECT COUNT(*) FROM Work WHERE action = ?", action);
}

}  // namespace tarvosim
