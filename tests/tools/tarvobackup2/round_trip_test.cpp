// The user's main job end to end, against a simulated device that backs
// itself up: a full backup, an incremental one after the device's files
// changed, a restore and an unback, plain and encrypted. The backup folder
// is checked as any reader would check it, with SQLite, libplist and
// OpenSSL, never with the simulator's own code.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "encrypted_backup_reader.h"

namespace {

using namespace mb2test;
namespace fs = std::filesystem;

struct ManifestRow {
    std::string file_id;
    std::string domain;
    std::string relative_path;
    int flags;
    Bytes file;  // the MBFile archive
};

// The Files table of a plain Manifest.db, opened read-only.
std::vector<ManifestRow> manifest_rows(const std::string &path) {
    std::vector<ManifestRow> rows;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt *query = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fileID, domain, relativePath, flags, file FROM Files", -1,
                           &query, nullptr) == SQLITE_OK) {
        while (sqlite3_step(query) == SQLITE_ROW) {
            auto text = [&](int column) {
                const unsigned char *value = sqlite3_column_text(query, column);
                return std::string(value ? reinterpret_cast<const char *>(value) : "");
            };
            const auto *blob = static_cast<const uint8_t *>(sqlite3_column_blob(query, 4));
            rows.push_back({text(0), text(1), text(2), sqlite3_column_int(query, 3),
                            Bytes(blob, blob + sqlite3_column_bytes(query, 4))});
        }
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return rows;
}

const std::vector<std::pair<std::string, std::string>> kDeviceFiles = {
    {"HomeDomain/Library/Notes/notes.txt", "first notes"},
    {"HomeDomain/Library/Preferences/com.example.plist", "<plist><dict/></plist>"},
    {"MediaDomain/DCIM/100APPLE/IMG_0001.JPG", std::string(70000, 'j')},
    {"HomeDomain/Documents/empty", ""},
    {"HomeDomain/Documents/Kesä kuvat.txt", "spaces and letters"},
    {"AppDomain-com.example.notes/Documents/draft.txt", "an app's document"},
};

// A keybag's first derivation stage costs a second of CPU on devices;
// a few iterations keep the tests fast (readers take the count from it).
void lower_keybag_cost(const std::string &device_plist) {
    PlistPtr device = read_plist(device_plist);
    plist_t domain = plist_new_dict();
    plist_dict_set_item(domain, "BackupDPIC", plist_new_uint(10));
    plist_dict_set_item(plist_dict_get_item(device.get(), "Domains"), "com.apple.mobile.backup",
                        domain);
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(device.get(), &xml, &length);
    write_file(device_plist, std::string(xml, length));
    std::free(xml);
}

class Tarvobackup2RoundTrip : public ::testing::Test {
  protected:
    void start(const std::string &extra_keys = "") {
        const std::string fixture = make_device(scratch_, "PHONE1", extra_keys);
        lower_keybag_cost(fixture + "/device.plist");
        for (const auto &[path, content] : kDeviceFiles) {
            fs::create_directories(fs::path(fixture + "/content/" + path).parent_path());
            write_file(fixture + "/content/" + path, content);
        }
        fs::create_symlink("notes.txt", fixture + "/content/HomeDomain/Library/Notes/link");
        sim_.reset();
        sim_ = std::make_unique<SimHarness>(std::vector<std::string>{fixture});
        ASSERT_TRUE(sim_->ok()) << sim_->error();
    }
    std::string content(const std::string &relative = "") const {
        return sim_->state_dir() + "/devices/PHONE1/content/" + relative;
    }
    std::string backup(const std::string &relative = "") const {
        return backups_.path() + "/PHONE1/" + relative;
    }
    ProcessResult run(Args args) {
        args.push_back(backups_.path());
        return backup2(args, {.input = "", .timeout_ms = 60000});
    }

    ScratchDir scratch_;
    ScratchDir backups_;
    std::unique_ptr<SimHarness> sim_;
};

int received_files(const std::string &out) {
    const std::string marker = "Received ";
    const size_t at = out.rfind(marker);
    return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + marker.size());
}

TEST_F(Tarvobackup2RoundTrip, FullThenIncremental) {
    start();
    ProcessResult full = run({"backup"});
    ASSERT_EQ(full.status, 0) << full.out << full.err;
    EXPECT_NE(full.out.find("Full backup mode.\n"), std::string::npos);
    EXPECT_NE(full.out.find("Backup Successful.\n"), std::string::npos) << full.out;

    // The layout as any reader sees it.
    PlistPtr status = read_plist(backup("Status.plist"));
    ASSERT_TRUE(status);
    plist_t state = plist_dict_get_item(status.get(), "SnapshotState");
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(plist_string_val_compare(state, "finished"), 0);
    PlistPtr manifest = read_plist(backup("Manifest.plist"));
    ASSERT_TRUE(manifest);
    EXPECT_NE(plist_dict_get_item(manifest.get(), "Lockdown"), nullptr);
    const std::vector<ManifestRow> rows = manifest_rows(backup("Manifest.db"));
    std::map<std::string, ManifestRow> files;
    for (const ManifestRow &row : rows) {
        EXPECT_EQ(row.file_id, sha1_hex(row.domain + "-" + row.relative_path));
        if (row.flags == 1) {
            files[row.domain + "/" + row.relative_path] = row;
        }
    }
    for (const auto &[path, text] : kDeviceFiles) {
        SCOPED_TRACE(path);
        ASSERT_EQ(files.count(path), 1u);
        const std::string id = files[path].file_id;
        EXPECT_EQ(read_text(backup(id.substr(0, 2) + "/" + id)), text);
    }

    // The device changes: one file edited, one added, one deleted.
    write_file(content("HomeDomain/Library/Notes/notes.txt"), "second notes");
    write_file(content("HomeDomain/Documents/new.txt"), "new");
    fs::remove(content("MediaDomain/DCIM/100APPLE/IMG_0001.JPG"));
    ProcessResult incremental = run({"backup"});
    ASSERT_EQ(incremental.status, 0) << incremental.out;
    EXPECT_NE(incremental.out.find("Incremental backup mode.\n"), std::string::npos);
    EXPECT_LT(received_files(incremental.out), received_files(full.out));
    std::map<std::string, std::string> by_path;
    for (const ManifestRow &row : manifest_rows(backup("Manifest.db"))) {
        if (row.flags == 1) {
            by_path[row.domain + "/" + row.relative_path] = row.file_id;
        }
    }
    EXPECT_EQ(by_path.count("MediaDomain/DCIM/100APPLE/IMG_0001.JPG"), 0u);
    const std::string jpg_id = files["MediaDomain/DCIM/100APPLE/IMG_0001.JPG"].file_id;
    EXPECT_FALSE(fs::exists(backup(jpg_id.substr(0, 2) + "/" + jpg_id)));
    const std::string notes_id = by_path["HomeDomain/Library/Notes/notes.txt"];
    EXPECT_EQ(read_text(backup(notes_id.substr(0, 2) + "/" + notes_id)), "second notes");
    ASSERT_EQ(by_path.count("HomeDomain/Documents/new.txt"), 1u);
}

TEST_F(Tarvobackup2RoundTrip, RestoreAndUnback) {
    start();
    ASSERT_EQ(run({"backup"}).status, 0);
    // Restore onto a device that lost its files: its content is the backup's.
    const auto backed_up = files_below(content());
    fs::remove_all(content("HomeDomain"));
    fs::remove_all(content("AppDomain-com.example.notes"));
    ProcessResult restore = run({"restore", "--system", "--no-reboot"});
    ASSERT_EQ(restore.status, 0) << restore.out << restore.err;
    EXPECT_NE(restore.out.find("Restore Successful.\n"), std::string::npos);
    EXPECT_EQ(files_below(content()), backed_up);

    ProcessResult unback = run({"unback"});
    ASSERT_EQ(unback.status, 0) << unback.out;
    EXPECT_EQ(read_text(backups_.path() + "/_unback_/HomeDomain/Library/Notes/notes.txt"),
              "first notes");
    EXPECT_EQ(read_text(backups_.path() + "/_unback_/HomeDomain/Documents/Kesä kuvat.txt"),
              "spaces and letters");
}

// Without --system only the applications' domains are restored.
TEST_F(Tarvobackup2RoundTrip, RestoreLeavesSystemDomainsWithoutSystem) {
    start();
    ASSERT_EQ(run({"backup"}).status, 0);
    write_file(content("HomeDomain/Library/Notes/notes.txt"), "changed later");
    write_file(content("AppDomain-com.example.notes/Documents/draft.txt"), "changed later");
    ProcessResult restore = run({"restore", "--no-reboot"});
    ASSERT_EQ(restore.status, 0) << restore.out;
    EXPECT_EQ(read_text(content("HomeDomain/Library/Notes/notes.txt")), "changed later");
    EXPECT_EQ(read_text(content("AppDomain-com.example.notes/Documents/draft.txt")),
              "an app's document");
}

// The restore reinstalls the apps the backup's Info.plist lists and, by
// default, reboots the device, which comes back for the next backup.
TEST_F(Tarvobackup2RoundTrip, RestoreInstallsTheBackupsAppsAndRebootsTheDevice) {
    start();
    ASSERT_EQ(run({"backup"}).status, 0);
    PlistPtr info = read_plist(backup("Info.plist"));
    ASSERT_TRUE(info);
    plist_t apps = plist_new_dict();
    plist_t record = plist_new_dict();
    plist_dict_set_item(record, "iTunesMetadata", plist_new_data("meta", 4));
    plist_dict_set_item(apps, "com.example.restored", record);
    plist_dict_set_item(info.get(), "Applications", apps);
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(info.get(), &xml, &length);
    write_file(backup("Info.plist"), std::string(xml, length));
    std::free(xml);

    ProcessResult restore = run({"restore", "--system"});
    ASSERT_EQ(restore.status, 0) << restore.out << restore.err;
    ProcessResult after;
    for (int attempt = 0; attempt < 50; ++attempt) {  // the device is away for a moment
        after = run({"backup"});
        if (after.status == 0) {
            break;
        }
        usleep(100 * 1000);
    }
    ASSERT_EQ(after.status, 0) << after.out << after.err;
    PlistPtr manifest = read_plist(backup("Manifest.plist"));
    ASSERT_TRUE(manifest);
    EXPECT_NE(plist_access_path(manifest.get(), 2, "Applications", "com.example.restored"),
              nullptr);
}

// The Files rows of a backup by "domain/path", files only.
std::map<std::string, ManifestRow> file_rows(const std::string &manifest_db) {
    std::map<std::string, ManifestRow> files;
    for (ManifestRow &row : manifest_rows(manifest_db)) {
        if (row.flags == 1) {
            files[row.domain + "/" + row.relative_path] = std::move(row);
        }
    }
    return files;
}

TEST_F(Tarvobackup2RoundTrip, EncryptedBackupOpensOnlyWithItsPassword) {
    start();
    ASSERT_EQ(run({"encryption", "on", "secret"}).status, 0);
    ProcessResult full = run({"backup"});
    ASSERT_EQ(full.status, 0) << full.out << full.err;

    // Read as an outside reader would: keybag, manifest key, Manifest.db, files.
    PlistPtr manifest = read_plist(backup("Manifest.plist"));
    ASSERT_TRUE(manifest);
    uint8_t encrypted = 0;
    plist_get_bool_val(plist_dict_get_item(manifest.get(), "IsEncrypted"), &encrypted);
    EXPECT_TRUE(encrypted);
    const Bytes keybag = data_of(plist_dict_get_item(manifest.get(), "BackupKeyBag"));
    EXPECT_FALSE(unlock_keybag(keybag, "wrong"));
    std::optional<std::map<uint32_t, Bytes>> keys = unlock_keybag(keybag, "secret");
    ASSERT_TRUE(keys);
    std::optional<Bytes> db_key =
        open_key_blob(*keys, data_of(plist_dict_get_item(manifest.get(), "ManifestKey")));
    ASSERT_TRUE(db_key);
    const std::string stored_db = read_text(backup("Manifest.db"));
    EXPECT_NE(stored_db.rfind("SQLite format 3", 0), 0u) << "Manifest.db is stored in plain";
    std::optional<Bytes> plain_db = aes_cbc_decrypt(*db_key, bytes_of(stored_db));
    ASSERT_TRUE(plain_db);
    const std::string opened_db = scratch_.path() + "/Manifest.db";
    write_file(opened_db, std::string(plain_db->begin(), plain_db->end()));
    std::map<std::string, ManifestRow> files = file_rows(opened_db);
    for (const auto &[path, text] : kDeviceFiles) {
        SCOPED_TRACE(path);
        ASSERT_EQ(files.count(path), 1u);
        const std::string id = files[path].file_id;
        const std::string stored = read_text(backup(id.substr(0, 2) + "/" + id));
        EXPECT_TRUE(text.empty() || stored.find(text) == std::string::npos);
        std::optional<Bytes> file_key =
            open_key_blob(*keys, mb_file_encryption_key(files[path].file));
        ASSERT_TRUE(file_key);
        EXPECT_EQ(aes_cbc_decrypt(*file_key, bytes_of(stored)), bytes_of(text));
    }

    // The device holds its keys: an incremental backup needs no password.
    write_file(content("HomeDomain/Library/Notes/notes.txt"), "second notes");
    ProcessResult incremental = run({"backup"});
    ASSERT_EQ(incremental.status, 0) << incremental.out;
    EXPECT_NE(incremental.out.find("Incremental backup mode.\n"), std::string::npos);
    EXPECT_LT(received_files(incremental.out), received_files(full.out));

    // Restore and unback need the password and refuse a wrong one.
    const auto backed_up = files_below(content());
    fs::remove_all(content("HomeDomain"));
    EXPECT_NE(run({"restore", "--system", "--no-reboot"}).status, 0);
    EXPECT_NE(run({"restore", "--system", "--no-reboot", "--password", "wrong"}).status, 0);
    EXPECT_FALSE(fs::exists(content("HomeDomain/Library/Notes/notes.txt")));
    ProcessResult restore = run({"restore", "--system", "--no-reboot", "--password", "secret"});
    ASSERT_EQ(restore.status, 0) << restore.out << restore.err;
    EXPECT_EQ(files_below(content()), backed_up);
    ASSERT_EQ(run({"unback", "--password", "secret"}).status, 0);
    EXPECT_EQ(read_text(backups_.path() + "/_unback_/HomeDomain/Library/Notes/notes.txt"),
              "second notes");
}

TEST_F(Tarvobackup2RoundTrip, PasswordChangesAndEncryptionOffNeedTheCurrentPassword) {
    start();
    ASSERT_EQ(run({"encryption", "on", "first"}).status, 0);
    EXPECT_NE(run({"changepw", "wrong", "second"}).status, 0);
    ProcessResult changed = run({"changepw", "first", "second"});
    ASSERT_EQ(changed.status, 0) << changed.out << changed.err;
    ASSERT_EQ(run({"backup"}).status, 0);
    PlistPtr manifest = read_plist(backup("Manifest.plist"));
    ASSERT_TRUE(manifest);
    const Bytes keybag = data_of(plist_dict_get_item(manifest.get(), "BackupKeyBag"));
    EXPECT_FALSE(unlock_keybag(keybag, "first"));
    EXPECT_TRUE(unlock_keybag(keybag, "second"));

    EXPECT_NE(run({"encryption", "off", "first"}).status, 0);
    ASSERT_EQ(run({"encryption", "off", "second"}).status, 0);
    // The device can no longer read its encrypted backup: the next is full and plain.
    ProcessResult plain = run({"backup"});
    ASSERT_EQ(plain.status, 0) << plain.out;
    EXPECT_NE(plain.out.find("Backup Successful.\n"), std::string::npos);
    EXPECT_EQ(read_text(backup("Manifest.db")).rfind("SQLite format 3", 0), 0u);
    const std::string id =
        file_rows(backup("Manifest.db"))["HomeDomain/Library/Notes/notes.txt"].file_id;
    EXPECT_EQ(read_text(backup(id.substr(0, 2) + "/" + id)), "first notes");
}

}  // namespace
