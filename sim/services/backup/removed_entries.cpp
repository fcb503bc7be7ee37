/*
 * The record of removed synthetic entries in SQLite: one table of walk-order
 * keys (walk_order.h), whose byte order SQLite's BLOB order keeps.
 */
#include "removed_entries.h"

#include <sys/stat.h>

#include "walk_order.h"

namespace tarvosim {
namespace {

// A writer of another connection is waited for at most this long.
constexpr int kBusyWaitMs = 10000;

struct Statement {
    sqlite3_stmt *raw = nullptr;
    ~Statement() { sqlite3_finalize(raw); }
};

bool bind_key(sqlite3_stmt *statement, int index, const std::string &key) {
    return sqlite3_bind_blob(statement, index, key.data(), static_cast<int>(key.size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

std::string key_in_column(sqlite3_stmt *statement) {
    const void *bytes = sqlite3_column_blob(statement, 0);
    const int size = sqlite3_column_bytes(statement, 0);
    return bytes ? std::string(static_cast<const char *>(bytes), static_cast<std::size_t>(size))
                 : std::string();
}

}  // namespace

RemovedEntries::~RemovedEntries() {
    sqlite3_close(db_);
}

std::unique_ptr<RemovedEntries> RemovedEntries::open(const std::string &path, bool create,
                                                     std::string *error) {
    error->clear();
    struct stat st {};
    if (!create && ::stat(path.c_str(), &st) != 0) {
        return nullptr;
    }
    sqlite3 *db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        *error = path + ": cannot be opened: " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<RemovedEntries> record(new RemovedEntries(db));
    sqlite3_busy_timeout(db, kBusyWaitMs);
    // A simulator's state: surviving the simulator's crash is enough, so
    // no write waits for the disk.
    if (sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
                     "CREATE TABLE IF NOT EXISTS Removed (key BLOB PRIMARY KEY) WITHOUT ROWID",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = path + ": " + sqlite3_errmsg(db);
        return nullptr;
    }
    return record;
}

bool RemovedEntries::nearest_at_or_before(const std::string &key, std::string *found) {
    Statement query;
    found->clear();
    if (sqlite3_prepare_v2(db_, "SELECT key FROM Removed WHERE key <= ?1 ORDER BY key DESC LIMIT 1",
                           -1, &query.raw, nullptr) != SQLITE_OK ||
        !bind_key(query.raw, 1, key)) {
        return false;
    }
    const int stepped = sqlite3_step(query.raw);
    if (stepped == SQLITE_ROW) {
        *found = key_in_column(query.raw);
    }
    return stepped == SQLITE_ROW || stepped == SQLITE_DONE;
}

bool RemovedEntries::covers(std::string_view domain, std::string_view relative_path) {
    const std::string key = walk_order_key(domain, relative_path);
    std::string nearest;
    // No recorded key holds another, so only the nearest one can hold this.
    return nearest_at_or_before(key, &nearest) && !nearest.empty() && key_is_within(key, nearest);
}

bool RemovedEntries::add(std::string_view domain, std::string_view relative_path, bool *added,
                         std::string *error) {
    *added = false;
    const std::string key = walk_order_key(domain, relative_path);
    // Everything the entry holds lies from KEY NUL up to (not with) KEY 0x01.
    const std::string held_from = key + std::string(1, '\0');
    const std::string held_to = key + std::string(1, '\1');
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error =
            std::string("the record of removed entries cannot be written: ") + sqlite3_errmsg(db_);
        return false;
    }
    std::string nearest;
    bool ok = nearest_at_or_before(key, &nearest);
    const bool covered = ok && !nearest.empty() && key_is_within(key, nearest);
    if (ok && !covered) {
        Statement drop;
        Statement insert;
        ok = sqlite3_prepare_v2(db_, "DELETE FROM Removed WHERE key >= ?1 AND key < ?2", -1,
                                &drop.raw, nullptr) == SQLITE_OK &&
             bind_key(drop.raw, 1, held_from) && bind_key(drop.raw, 2, held_to) &&
             sqlite3_step(drop.raw) == SQLITE_DONE &&
             sqlite3_prepare_v2(db_, "INSERT INTO Removed VALUES (?1)", -1, &insert.raw, nullptr) ==
                 SQLITE_OK &&
             bind_key(insert.raw, 1, key) && sqlite3_step(insert.raw) == SQLITE_DONE;
    }
    if (!ok || sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error =
            std::string("the record of removed entries cannot be written: ") + sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    *added = !covered;
    return true;
}

std::unique_ptr<RemovedEntries::InWalkOrder> RemovedEntries::in_walk_order() {
    sqlite3_stmt *query = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT key FROM Removed ORDER BY key", -1, &query, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(query);
        return nullptr;
    }
    return std::unique_ptr<InWalkOrder>(new InWalkOrder(query));
}

RemovedEntries::InWalkOrder::InWalkOrder(sqlite3_stmt *query) : query_(query) {
    step();
}

RemovedEntries::InWalkOrder::~InWalkOrder() {
    sqlite3_finalize(query_);
}

void RemovedEntries::InWalkOrder::step() {
    has_next_ = sqlite3_step(query_) == SQLITE_ROW;
    next_ = has_next_ ? key_in_column(query_) : std::string();
}

bool RemovedEntries::InWalkOrder::covers(std::string_view walk_key) {
    while (has_next_ && std::string_view(next_) <= walk_key) {
        covering_ = std::move(next_);
        has_covering_ = true;
        step();
    }
    return has_covering_ && key_is_within(walk_key, covering_);
}

}  // namespace tarvosim
