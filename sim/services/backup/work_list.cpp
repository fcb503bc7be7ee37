/*
 * The work list in SQLite.
 */
#include "work_list.h"

#include <unistd.h>

namespace tarvosim {
namespace {

std::string column_text(sqlite3_stmt *statement, int column) {
    const unsigned char *text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char *>(text) : "";
}

uint64_t single_number(sqlite3 *db, const char *sql, WorkAction action) {
    sqlite3_stmt *statement = nullptr;
    uint64_t value = 0;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_int(statement, 1, static_cast<int>(action));
        if (sqlite3_step(statement) == SQLITE_ROW) {
            value = static_cast<uint64_t>(sqlite3_column_int64(statement, 0));
        }
    }
    sqlite3_finalize(statement);
    return value;
}

}  // namespace

WorkList::~WorkList() {
    sqlite3_finalize(add_);
    sqlite3_close(db_);
}

std::unique_ptr<WorkList> WorkList::create(const std::string &path, std::string *error) {
    ::unlink(path.c_str());
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        *error = path + ": cannot be made";
        sqlite3_close(db);
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
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(
            db_,
            "SELECT fileID, domain, relativePath, size, key FROM Work WHERE action = ? "
            "ORDER BY fileID",
            -1, &statement, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_bind_int(statement, 1, static_cast<int>(action));
    bool ok = true;
    int step = SQLITE_ROW;
    while (ok && (step = sqlite3_step(statement)) == SQLITE_ROW) {
        WorkItem item{column_text(statement, 0),
                      column_text(statement, 1),
                      column_text(statement, 2),
                      static_cast<uint64_t>(sqlite3_column_int64(statement, 3)),
                      action,
                      {}};
        const auto *key = static_cast<const uint8_t *>(sqlite3_column_blob(statement, 4));
        item.encryption_key.assign(key, key + (key ? sqlite3_column_bytes(statement, 4) : 0));
        ok = visit(item);
    }
    sqlite3_finalize(statement);
    return ok && step == SQLITE_DONE;
}

bool WorkList::for_each_prefix(WorkAction action,
                               const std::function<bool(const std::string &)> &visit) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT DISTINCT substr(fileID, 1, 2) FROM Work WHERE action = ? "
                           "ORDER BY 1",
                           -1, &statement, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_bind_int(statement, 1, static_cast<int>(action));
    bool ok = true;
    int step = SQLITE_ROW;
    while (ok && (step = sqlite3_step(statement)) == SQLITE_ROW) {
        ok = visit(column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    return ok && step == SQLITE_DONE;
}

uint64_t WorkList::bytes(WorkAction action) {
    return single_number(db_, "SELECT COALESCE(SUM(size), 0) FROM Work WHERE action = ?", action);
}

uint64_t WorkList::count(WorkAction action) {
    return single_number(db_, "SELECT COUNT(*) FROM Work WHERE action = ?", action);
}

}  // namespace tarvosim
