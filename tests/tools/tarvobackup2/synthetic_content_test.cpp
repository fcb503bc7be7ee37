// A simulated device of a few thousand synthetic files (made from a seed,
// none stored) backs up through the real tool: the backup holds every file
// with the bytes the device makes of it, and once the device's generation
// is bumped an incremental backup brings the new versions. The backup is
// read with SQLite, libplist and SHA-1, not with the engine's own code.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <string>

#include "e2e_support.h"
#include "fixture.h"
#include "synthetic_content.h"

namespace {

using namespace mb2test;

const char *const kUdid = "SYNTH1";
constexpr uint64_t kFiles = 3000;

std::string synthetic_keys() {
    auto integer = [](const char *key, uint64_t value) {
        return std::string("<key>") + key + "</key><integer>" + std::to_string(value) +
               "</integer>";
    };
    return "<key>SyntheticContent</key><dict>" + integer("Seed", 7) + integer("Files", kFiles) +
           integer("MinSize", 0) + integer("MaxSize", 8192) + integer("LargeFiles", 3) +
           integer("LargeMinSize", 200000) + integer("LargeMaxSize", 400000) +
           integer("FilesPerFolder", 40) + "<key>ChangedShare</key><real>0.05</real></dict>";
}

struct BackedUpFile {
    std::string file_id;
    std::string domain;
    std::string relative_path;
    uint64_t size = UINT64_MAX;  // the MBFile's Size
};

uint64_t mbfile_size(const void *blob, int length) {
    plist_t root = nullptr;
    plist_from_bin(static_cast<const char *>(blob), static_cast<uint32_t>(length), &root);
    PlistPtr owner(root);
    plist_t objects = root ? plist_dict_get_item(root, "$objects") : nullptr;
    plist_t file = objects ? plist_array_get_item(objects, 1) : nullptr;
    plist_t size = file ? plist_dict_get_item(file, "Size") : nullptr;
    uint64_t value = UINT64_MAX;
    if (size && plist_get_node_type(size) == PLIST_UINT) {
        plist_get_uint_val(size, &value);
    }
    return value;
}

/// The file rows of a plain Manifest.db by "<domain>/<relative path>".
std::map<std::string, BackedUpFile> backed_up_files(const std::string &path) {
    std::map<std::string, BackedUpFile> files;
    sqlite3 *db = nullptr;
    sqlite3_stmt *query = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db,
                           "SELECT fileID, domain, relativePath, file FROM Files WHERE flags = 1",
                           -1, &query, nullptr) == SQLITE_OK) {
        while (sqlite3_step(query) == SQLITE_ROW) {
            auto text = [&](int column) {
                const unsigned char *value = sqlite3_column_text(query, column);
                return std::string(value ? reinterpret_cast<const char *>(value) : "");
            };
            BackedUpFile file{
                text(0), text(1), text(2),
                mbfile_size(sqlite3_column_blob(query, 3), sqlite3_column_bytes(query, 3))};
            files[file.domain + "/" + file.relative_path] = file;
        }
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return files;
}

/// SHA-1 of every file's bytes as the device makes them in `generation`.
std::map<std::string, std::string> made_files(const tarvosim::SyntheticTree &tree,
                                              uint64_t generation) {
    std::map<std::string, std::string> made;
    tarvosim::SyntheticWalk walk(tree, generation);
    for (tarvosim::ContentEntry entry; walk.next(&entry);) {
        if (entry.kind == tarvosim::EntryKind::kFile) {
            std::string bytes(entry.size, '\0');
            entry.open()->read({reinterpret_cast<uint8_t *>(bytes.data()), bytes.size()});
            made[entry.domain + "/" + entry.relative_path] = sha1_hex(bytes);
        }
    }
    return made;
}

int received_files(const std::string &out) {
    const std::string marker = "Received ";
    const size_t at = out.rfind(marker);
    return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + marker.size());
}

class Tarvobackup2SyntheticContent : public ::testing::Test {
  protected:
    void check_backup_holds(uint64_t generation) {
        const std::map<std::string, BackedUpFile> files =
            backed_up_files(backups_.path() + "/" + kUdid + "/Manifest.db");
        const std::map<std::string, std::string> made = made_files(*tree_, generation);
        ASSERT_EQ(made.size(), kFiles);
        ASSERT_EQ(files.size(), kFiles);
        for (const auto &[path, digest] : made) {
            SCOPED_TRACE(path);
            const auto found = files.find(path);
            ASSERT_NE(found, files.end());
            const BackedUpFile &file = found->second;
            EXPECT_EQ(file.file_id, sha1_hex(file.domain + "-" + file.relative_path));
            const std::string content = read_text(backups_.path() + "/" + kUdid + "/" +
                                                  file.file_id.substr(0, 2) + "/" + file.file_id);
            EXPECT_EQ(content.size(), file.size);
            EXPECT_EQ(sha1_hex(content), digest);
        }
    }
    ProcessResult backup() {
        return backup2({"backup", backups_.path()}, {.input = "", .timeout_ms = 120000});
    }

    ScratchDir scratch_;
    ScratchDir backups_;
    std::unique_ptr<tarvosim::SyntheticTree> tree_;
};

TEST_F(Tarvobackup2SyntheticContent, BackupHoldsEveryFileAndANewGenerationIsBackedUpAgain) {
    const std::string fixture = make_device(scratch_, kUdid, synthetic_keys());
    tarvosim::Fixture loaded;
    std::string error;
    ASSERT_TRUE(tarvosim::load_fixture(fixture, &loaded, &error)) << error;
    tree_ = std::make_unique<tarvosim::SyntheticTree>(tarvosim::synthetic_content(loaded));
    SimHarness sim({fixture});
    ASSERT_TRUE(sim.ok()) << sim.error();

    const ProcessResult full = backup();
    ASSERT_EQ(full.status, 0) << full.out << full.err;
    EXPECT_NE(full.out.find("Backup Successful.\n"), std::string::npos) << full.out;
    check_backup_holds(0);

    const std::string state = sim.state_dir() + "/devices/" + kUdid + "/synthetic";
    std::filesystem::create_directories(state);
    write_file(state + "/generation", "1\n");
    const ProcessResult incremental = backup();
    ASSERT_EQ(incremental.status, 0) << incremental.out << incremental.err;
    EXPECT_NE(incremental.out.find("Incremental backup mode.\n"), std::string::npos);
    // About 5 % of the files changed; the rest stay as the last backup left them.
    EXPECT_LT(received_files(incremental.out), received_files(full.out) / 10);
    check_backup_holds(1);
}

}  // namespace
