/*
 * The SQLite steps the engine's manifest and its work list share: a
 * database made afresh at a path, and the text and blob columns read as
 * the engine's own strings and bytes (a NULL reads as empty).
 */
#ifndef TARVO_SIM_SQLITE_FILE_H
#define TARVO_SIM_SQLITE_FILE_H

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarvosim {

/// Removes whatever file is at `path` and makes an empty database there;
/// null on failure, with *reason SQLite's message where it gave one and
/// empty where it could not even start.
sqlite3 *create_fresh_db(const std::string &path, std::string *reason);

std::string column_text(sqlite3_stmt *statement, int column);
std::vector<uint8_t> column_bytes(sqlite3_stmt *statement, int column);

}  // namespace tarvosim

#endif
