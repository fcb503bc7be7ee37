/*
 * SQLite steps shared by the manifest and the work list.
 */
#include "sqlite_file.h"

#include <unistd.h>

namespace tarvosim {

sqlite3 *create_fresh_db(const std::string &path, std::string *reason) {
    ::unlink(path.c_str());
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        *reason = db ? sqlite3_errmsg(db) : "";
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

std::string column_text(sqlite3_stmt *statement, int column) {
    const unsigned char *text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char *>(text) : "";
}

std::vector<uint8_t> column_bytes(sqlite3_stmt *statement, int column) {
    const auto *blob = static_cast<const uint8_t *>(sqlite3_column_blob(statement, column));
    return std::vector<uint8_t>(blob, blob + (blob ? sqlite3_column_bytes(statement, column) : 0));
}

}  // namespace tarvosim
