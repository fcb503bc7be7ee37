// Opening Manifest.db read-only (in place, or decrypted to a private file)
// and handing out its rows.
#include "manifest_db.h"

#include <errno.h>
#include <fnmatch.h>
#include <string.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "fd_io.h"
#include "mb_record.h"
#include "private_temp_file.h"

namespace browse {
namespace {

constexpr const char kManifestName[] = "Manifest.db";
constexpr const char kSqliteMagic[] = "SQLite format 3";  // and its NUL: 16 bytes
constexpr size_t kDecryptChunk = 256 * 1024;

const char *const kRowsOfAll =
    "SELECT fileID, domain, relativePath, flags, file FROM Files ORDER BY domain, relativePath";
const char *const kRowsOfDomain =
    "SELECT fileID, domain, relativePath, flags, file FROM Files "
    "WHERE domain = ?1 ORDER BY relativePath";
const char *const kStoredRows = "SELECT fileID, domain, relativePath, flags, file FROM Files";
const char *const kStoredRowsOfDomain =
    "SELECT fileID, domain, relativePath, flags, file FROM Files WHERE domain = ?1";
const char *const kRowOfPath =
    "SELECT fileID, domain, relativePath, flags, file FROM Files "
    "WHERE domain = ?1 AND relativePath = ?2";
const char *const kCountRows =
    "SELECT count(*) FROM Files WHERE (?1 IS NULL OR domain = ?1) "
    "AND (?2 = 0 OR flags = ?2)";

struct StatementFinalize {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

// SQLite URIs take %HH escapes; anything but unreserved characters and "/"
// is escaped, so "?" and "#" in a folder name stay part of the path.
std::string uri_of(const std::string &path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = path.rfind("//", 0) == 0 ? "file://localhost" : "file:";
    for (unsigned char c : path) {
        if (isalnum(c) || strchr("/-._~", c)) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 15];
        }
    }
    return uri + "?mode=ro&immutable=1";
}

bool read_some(int fd, uint8_t *buffer, size_t capacity, size_t *got) {
    while (true) {
        const ssize_t n = ::read(fd, buffer, capacity);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        *got = static_cast<size_t>(n);
        return true;
    }
}

// The stored manifest, decrypted chunk by chunk into `out_fd`.
bool decrypt_manifest(int in_fd, int out_fd, const tarvo::BackupKey &key, std::string *error) {
    tarvo::ContentCipher cipher;
    if (cipher.start(key, tarvo::CipherDirection::kDecrypt) != tarvo::BackupCryptoResult::kOk) {
        *error = "the cipher cannot start";
        return false;
    }
    std::vector<uint8_t> in(kDecryptChunk);
    std::vector<uint8_t> plain;
    plain.reserve(kDecryptChunk + 16);
    while (true) {
        size_t got = 0;
        if (!read_some(in_fd, in.data(), in.size(), &got)) {
            *error = std::string("cannot be read: ") + strerror(errno);
            return false;
        }
        plain.clear();
        const tarvo::BackupCryptoResult result =
            got == 0 ? cipher.finish(plain) : cipher.update({in.data(), got}, plain);
        if (result != tarvo::BackupCryptoResult::kOk) {
            *error = "does not decrypt with the manifest key (cut short or corrupt)";
            return false;
        }
        if (!tarvo::write_whole(out_fd, plain.data(), plain.size())) {
            *error = std::string("cannot be written to the temporary file: ") + strerror(errno);
            return false;
        }
        if (got == 0) {
            return true;
        }
    }
}

bool starts_as_sqlite(int fd) {
    char head[sizeof kSqliteMagic] = {};
    return pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           memcmp(head, kSqliteMagic, sizeof head) == 0;
}

std::string_view text_column(sqlite3_stmt *query, int column, size_t cap, const char **defect) {
    if (sqlite3_column_type(query, column) != SQLITE_TEXT) {
        *defect = "a column that is no text";
        return {};
    }
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(query, column));
    const size_t length = static_cast<size_t>(sqlite3_column_bytes(query, column));
    if (!text || length > cap) {
        *defect = "a name too long";
        return {};
    }
    if (memchr(text, '\0', length)) {
        *defect = "a NUL character in a name";
        return {};
    }
    return {text, length};
}

ManifestRow row_of(sqlite3_stmt *query) {
    ManifestRow row;
    row.file_id = text_column(query, 0, 64, &row.defect);
    row.domain = text_column(query, 1, kMaxDomainBytes, &row.defect);
    row.relative_path = text_column(query, 2, kMaxRecordPathBytes, &row.defect);
    if (sqlite3_column_type(query, 3) != SQLITE_INTEGER || sqlite3_column_int64(query, 3) < 0) {
        row.defect = "flags that are no kind";
    }
    row.flags = static_cast<uint64_t>(sqlite3_column_int64(query, 3));
    if (sqlite3_column_type(query, 4) != SQLITE_BLOB) {
        row.defect = "no MBFile archive";
        return row;
    }
    const auto *blob = static_cast<const uint8_t *>(sqlite3_column_blob(query, 4));
    row.archive = {blob, static_cast<size_t>(sqlite3_column_bytes(query, 4))};
    return row;
}

}  // namespace

bool RowFilter::matches(std::string_view domain_name, std::string_view relative_path) const {
    if (domain && domain_name != *domain) {
        return false;
    }
    if (!pattern) {
        return true;
    }
    const std::string path(relative_path);
    const std::string full = std::string(domain_name) + "/" + path;
    return fnmatch(pattern->c_str(), path.c_str(), 0) == 0 ||
           fnmatch(pattern->c_str(), full.c_str(), 0) == 0;
}

ManifestDb::~ManifestDb() {
    sqlite3_close(db_);
}

std::unique_ptr<ManifestDb> ManifestDb::open_path(const std::string &path, std::string *error) {
    sqlite3 *db = nullptr;
    const int opened =
        sqlite3_open_v2(uri_of(path).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    std::unique_ptr<ManifestDb> manifest(new ManifestDb(db));
    if (opened != SQLITE_OK) {
        *error = std::string("cannot be opened: ") + sqlite3_errstr(opened);
        return nullptr;
    }
    // A first read makes SQLite take the file and check it is a database.
    sqlite3_stmt *probe = nullptr;
    const int prepared =
        sqlite3_prepare_v2(db, "SELECT fileID FROM Files LIMIT 1", -1, &probe, nullptr);
    Statement owned(probe);
    if (prepared != SQLITE_OK || sqlite3_step(probe) == SQLITE_ERROR) {
        *error = std::string("is no backup manifest: ") + sqlite3_errmsg(db);
        return nullptr;
    }
    return manifest;
}

std::unique_ptr<ManifestDb> ManifestDb::open_plain(const BackupFolder &folder, std::string *error) {
    const std::string shown = folder.path() + "/" + kManifestName;
    UniqueFd fd(folder.open_member(kManifestName));
    if (!fd) {
        *error = shown + ": " + strerror(errno);
        return nullptr;
    }
    if (!starts_as_sqlite(fd.get())) {
        *error = shown + ": is no SQLite database (an encrypted manifest in a plain backup?)";
        return nullptr;
    }
    std::unique_ptr<ManifestDb> db = open_path(shown, error);
    if (!db) {
        *error = shown + ": " + *error;
    }
    return db;
}

std::unique_ptr<ManifestDb> ManifestDb::open_encrypted(const BackupFolder &folder,
                                                       const tarvo::BackupKey &key,
                                                       std::string *error) {
    const std::string shown = folder.path() + "/" + kManifestName;
    UniqueFd fd(folder.open_member(kManifestName));
    if (!fd) {
        *error = shown + ": " + strerror(errno);
        return nullptr;
    }
    PrivateTempFile plain;
    if (!plain.create(error)) {
        return nullptr;
    }
    if (!decrypt_manifest(fd.get(), plain.fd(), key, error)) {
        *error = shown + ": " + *error;
        return nullptr;
    }
    std::unique_ptr<ManifestDb> db = open_path(plain.path(), error);
    if (!db) {
        *error = shown + " (decrypted): " + *error;
    }
    // SQLite holds its own descriptor now; the name can go.
    plain.remove();
    return db;
}

bool ManifestDb::run_rows(sqlite3_stmt *query, const RowFilter *filter,
                          const std::function<void(const ManifestRow &)> &visit, uint64_t *visited,
                          std::string *error) {
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(query)) == SQLITE_ROW) {
        const ManifestRow row = row_of(query);
        if (row.defect || !filter || filter->matches(row.domain, row.relative_path)) {
            visit(row);
            ++*visited;
        }
    }
    if (step != SQLITE_DONE) {
        *error = std::string("Manifest.db cannot be read: ") + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool ManifestDb::for_each(const RowFilter &filter,
                          const std::function<void(const ManifestRow &)> &visit, std::string *error,
                          RowOrder order) {
    const char *sql = order == RowOrder::kByPath
                          ? (filter.domain ? kRowsOfDomain : kRowsOfAll)
                          : (filter.domain ? kStoredRowsOfDomain : kStoredRows);
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) {
        *error = std::string("Manifest.db cannot be read: ") + sqlite3_errmsg(db_);
        return false;
    }
    Statement query(raw);
    if (filter.domain) {
        sqlite3_bind_text(raw, 1, filter.domain->c_str(), -1, SQLITE_TRANSIENT);
    }
    uint64_t visited = 0;
    return run_rows(raw, &filter, visit, &visited, error);
}

bool ManifestDb::find(std::string_view domain, std::string_view relative_path,
                      const std::function<void(const ManifestRow &)> &visit, std::string *error) {
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db_, kRowOfPath, -1, &raw, nullptr) != SQLITE_OK) {
        *error = std::string("Manifest.db cannot be read: ") + sqlite3_errmsg(db_);
        return false;
    }
    Statement query(raw);
    sqlite3_bind_text(raw, 1, domain.data(), static_cast<int>(domain.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, relative_path.data(), static_cast<int>(relative_path.size()),
                      SQLITE_TRANSIENT);
    uint64_t visited = 0;
    if (!run_rows(raw, nullptr, visit, &visited, error)) {
        return false;
    }
    if (visited == 0) {
        *error =
            "no entry " + std::string(domain) + "/" + std::string(relative_path) + " in the backup";
        return false;
    }
    return true;
}

std::optional<uint64_t> ManifestDb::count(const RowFilter &filter, uint64_t flags,
                                          std::string *error) {
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db_, kCountRows, -1, &raw, nullptr) != SQLITE_OK) {
        *error = std::string("Manifest.db cannot be read: ") + sqlite3_errmsg(db_);
        return std::nullopt;
    }
    Statement query(raw);
    if (filter.domain) {
        sqlite3_bind_text(raw, 1, filter.domain->c_str(), -1, SQLITE_TRANSIENT);
    }
    sqlite3_bind_int64(raw, 2, static_cast<sqlite3_int64>(flags));
    if (sqlite3_step(raw) != SQLITE_ROW) {
        *error = std::string("Manifest.db cannot be read: ") + sqlite3_errmsg(db_);
        return std::nullopt;
    }
    return static_cast<uint64_t>(sqlite3_column_int64(raw, 0));
}

}  // namespace browse
