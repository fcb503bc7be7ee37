// The backup engine of a simulated device, driven by a small host of the
// test's own that answers the device's file requests in a folder. The
// layout it leaves is checked with SQLite and libplist directly, not with
// the engine's own readers.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "backup_service.h"
#include "engine_support.h"
#include "plist_dict_walk.h"
#include "service_test_client.h"

namespace tarvosim {
namespace {

namespace fs = std::filesystem;
using testing::dl;
using testing::kIphoneUdid;
using testing::LockdownTestClient;
using testing::plist_string;
using testing::plist_uint;
using testing::read_bytes;
using testing::Received;
using testing::send_dl;
using testing::ServiceHost;

uint32_t be32(const std::vector<uint8_t> &b) {
    return b.size() == 4 ? uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3]
                         : 0;
}

std::string sha1_hex(const std::string &text) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

/// A host that keeps the backup in `root` and counts what the device did.
class FolderHost {
  public:
    FolderHost(LockdownTestClient &link, std::string root) : link_(link), root_(std::move(root)) {}

    uint64_t free_space = uint64_t{1} << 40;
    std::vector<std::string> uploaded;  // local paths
    std::vector<std::string> removed;

    /// Sends the request and serves the device until its final Response.
    Received run(const char *request, plist_t options = nullptr) {
        plist_t body = plist_new_dict();
        plist_dict_set_item(body, "MessageName", plist_new_string(request));
        plist_dict_set_item(body, "TargetIdentifier", plist_new_string(kIphoneUdid));
        plist_dict_set_item(body, "SourceIdentifier", plist_new_string(kIphoneUdid));
        if (options) {
            plist_dict_set_item(body, "Options", options);
        }
        PlistPtr message = dl("DLMessageProcessMessage", {body});
        EXPECT_TRUE(send_dl(link_, message.get()));
        for (;;) {
            Received next = link_.receive();
            const std::string name =
                next.plist ? plist_string(plist_array_get_item(next.plist.get(), 0)) : "";
            if (name.empty() || name == "DLMessageProcessMessage") {
                return next;
            }
            serve(name, next.plist.get());
        }
    }

  private:
    std::string text_at(plist_t message, uint32_t index) {
        return plist_string(plist_array_get_item(message, index));
    }

    void status(int64_t code, plist_t value = nullptr) {
        PlistPtr answer =
            dl("DLMessageStatusResponse",
               {plist_new_uint(static_cast<uint64_t>(code)),
                plist_new_string("___EmptyParameterString___"), value ? value : plist_new_dict()});
        EXPECT_TRUE(send_dl(link_, answer.get()));
    }

    void serve(const std::string &name, plist_t message) {
        if (name == "DLMessageDownloadFiles") {
            download(plist_array_get_item(message, 1));
        } else if (name == "DLMessageUploadFiles") {
            upload();
        } else if (name == "DLMessageGetFreeDiskSpace") {
            status(0, plist_new_uint(free_space));
        } else if (name == "DLMessageCreateDirectory") {
            fs::create_directories(root_ + "/" + text_at(message, 1));
            status(0);
        } else if (name == "DLMessageMoveItems") {
            for_each_dict_item(plist_array_get_item(message, 1),
                               [this](const std::string &from, plist_t to) {
                                   fs::rename(root_ + "/" + from, root_ + "/" + plist_string(to));
                                   return true;
                               });
            status(0);
        } else if (name == "DLMessageRemoveItems") {
            plist_t paths = plist_array_get_item(message, 1);
            for (uint32_t i = 0; i < plist_array_get_size(paths); ++i) {
                removed.push_back(plist_string(plist_array_get_item(paths, i)));
                fs::remove_all(root_ + "/" + removed.back());
            }
            status(0);
        } else {
            ADD_FAILURE() << "unexpected " << name;
            status(-1);
        }
    }

    void download(plist_t paths) {
        bool missing = false;
        for (uint32_t i = 0; i < plist_array_get_size(paths); ++i) {
            const std::string path = plist_string(plist_array_get_item(paths, i));
            std::vector<uint8_t> out = frame_name(path);
            std::ifstream in(root_ + "/" + path, std::ios::binary);
            if (!in) {
                missing = true;
                for (uint8_t b : {0, 0, 0, 2, 6, 120})
                    out.push_back(b);
            } else {
                std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), {});
                if (!data.empty()) {
                    append_be32(&out, static_cast<uint32_t>(data.size() + 1));
                    out.push_back(0x0C);
                    out.insert(out.end(), data.begin(), data.end());
                }
                for (uint8_t b : {0, 0, 0, 1, 0})
                    out.push_back(b);
            }
            ASSERT_EQ(::send(link_.fd(), out.data(), out.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(out.size()));
        }
        // One zero length ends the whole list, as the host sends it.
        const uint8_t end[4] = {0, 0, 0, 0};
        ASSERT_EQ(::send(link_.fd(), end, sizeof end, MSG_NOSIGNAL), 4);
        status(missing ? -13 : 0);
    }

    void upload() {
        for (;;) {
            const uint32_t device_length = be32(read_bytes(link_, 4));
            if (device_length == 0) {
                break;
            }
            read_bytes(link_, device_length);
            std::vector<uint8_t> local = read_bytes(link_, be32(read_bytes(link_, 4)));
            const std::string path(local.begin(), local.end());
            std::vector<uint8_t> content;
            for (;;) {
                const uint32_t length = be32(read_bytes(link_, 4));
                const uint8_t code = read_bytes(link_, 1).at(0);
                std::vector<uint8_t> payload = read_bytes(link_, length - 1);
                if (code != 0x0C) {
                    ASSERT_EQ(code, 0) << path;
                    break;
                }
                content.insert(content.end(), payload.begin(), payload.end());
            }
            std::ofstream(root_ + "/" + path, std::ios::binary)
                .write(reinterpret_cast<const char *>(content.data()),
                       static_cast<std::streamsize>(content.size()));
            uploaded.push_back(path);
        }
        status(0);
    }

    static void append_be32(std::vector<uint8_t> *out, uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out->push_back(static_cast<uint8_t>(value >> shift));
    }
    static std::vector<uint8_t> frame_name(const std::string &name) {
        std::vector<uint8_t> out;
        append_be32(&out, static_cast<uint32_t>(name.size()));
        out.insert(out.end(), name.begin(), name.end());
        return out;
    }

    LockdownTestClient &link_;
    std::string root_;
};

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

class BackupEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host_.start();
        link_ = host_.connect(kBackupService, true);
        ASSERT_TRUE(link_);
        Received offer = link_->receive();
        PlistPtr ok =
            dl("DLMessageVersionExchange", {plist_new_string("DLVersionsOk"), plist_new_uint(400)});
        ASSERT_TRUE(send_dl(*link_, ok.get()));
        ASSERT_EQ(plist_string(plist_array_get_item(link_->receive().plist.get(), 0)),
                  "DLMessageDeviceReady");
        folder_ = std::make_unique<FolderHost>(*link_, root_.path());
    }

    std::string device_folder() const { return root_.path() + "/" + kIphoneUdid; }
    std::string content() {
        return host_.sim().state_dir() + "/devices/" + kIphoneUdid + "/content";
    }

    static uint64_t error_code(const Received &response) {
        return plist_uint(
            plist_dict_get_item(plist_array_get_item(response.plist.get(), 1), "ErrorCode"));
    }

    /// One column of the first row that `sql` selects in the backup's Manifest.db.
    std::string query(const std::string &sql) const {
        sqlite3 *db = nullptr;
        sqlite3_open_v2((device_folder() + "/Manifest.db").c_str(), &db, SQLITE_OPEN_READONLY,
                        nullptr);
        sqlite3_stmt *statement = nullptr;
        std::string value = "<none>";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            const int type = sqlite3_column_type(statement, 0);
            const void *blob = sqlite3_column_blob(statement, 0);
            value = type == SQLITE_BLOB
                        ? std::string(static_cast<const char *>(blob),
                                      static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)))
                        : reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return value;
    }

    ServiceHost host_;
    testing::TempDir root_;
    std::unique_ptr<LockdownTestClient> link_;
    std::unique_ptr<FolderHost> folder_;
};

TEST_F(BackupEngineTest, FullBackupWritesTheDevicesLayout) {
    ASSERT_EQ(error_code(folder_->run("Backup")), 0u);
    const std::string sms = "HomeDomain-Library/SMS/sms.db";
    const std::string id = sha1_hex(sms);
    EXPECT_TRUE(fs::is_regular_file(device_folder() + "/" + id.substr(0, 2) + "/" + id));
    EXPECT_EQ(query("SELECT flags FROM Files WHERE fileID = '" + id + "'"), "1");
    EXPECT_EQ(query("SELECT flags FROM Files WHERE relativePath = 'Library/Notes/Latest note'"),
              "4");
    EXPECT_EQ(query("SELECT flags FROM Files WHERE domain = 'HomeDomain' AND relativePath = ''"),
              "2");
    EXPECT_EQ(query("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL "
                    "AND tbl_name = "
                    "'Files'"),
              "3");

    // Files.file is a keyed archive whose UIDs lead to the path and class.
    const std::string blob = query("SELECT file FROM Files WHERE fileID = '" + id + "'");
    plist_t archive = nullptr;
    plist_from_bin(blob.data(), static_cast<uint32_t>(blob.size()), &archive);
    PlistPtr owner(archive);
    ASSERT_TRUE(archive);
    plist_t objects = plist_dict_get_item(archive, "$objects");
    plist_t record = plist_array_get_item(objects, 1);
    uint64_t uid = 0;
    plist_get_uid_val(plist_dict_get_item(record, "RelativePath"), &uid);
    EXPECT_EQ(plist_string(plist_array_get_item(objects, static_cast<uint32_t>(uid))),
              "Library/SMS/sms.db");
    EXPECT_EQ(plist_uint(plist_dict_get_item(record, "Size")),
              fs::file_size(content() + "/HomeDomain/Library/SMS/sms.db"));
    plist_get_uid_val(plist_dict_get_item(record, "$class"), &uid);
    EXPECT_EQ(plist_string(plist_dict_get_item(
                  plist_array_get_item(objects, static_cast<uint32_t>(uid)), "$classname")),
              "MBFile");

    std::ifstream in(device_folder() + "/Status.plist", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    plist_t status = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &status);
    PlistPtr status_owner(status);
    EXPECT_EQ(plist_string(plist_dict_get_item(status, "SnapshotState")), "finished");
    EXPECT_EQ(folder_->uploaded.back(), std::string(kIphoneUdid) + "/Status.plist");
}

TEST_F(BackupEngineTest, IncrementalBackupSendsChangesAndDropsDeletedFiles) {
    ASSERT_EQ(error_code(folder_->run("Backup")), 0u);
    std::ofstream(content() + "/HomeDomain/Library/Notes/Shopping list.txt", std::ios::app)
        << "Rope\n";
    fs::remove(content() + "/HomeDomain/Documents/empty.txt");
    folder_->uploaded.clear();
    ASSERT_EQ(error_code(folder_->run("Backup")), 0u);

    const std::string changed = sha1_hex("HomeDomain-Library/Notes/Shopping list.txt");
    const std::string gone = sha1_hex("HomeDomain-Documents/empty.txt");
    std::vector<std::string> content_files;
    for (const std::string &path : folder_->uploaded) {
        if (path.find(".plist") == std::string::npos &&
            path.find("Manifest.db") == std::string::npos) {
            content_files.push_back(path.substr(path.rfind('/') + 1));
        }
    }
    EXPECT_EQ(content_files, std::vector<std::string>{changed});
    EXPECT_EQ(folder_->removed, std::vector<std::string>{std::string(kIphoneUdid) + "/" +
                                                         gone.substr(0, 2) + "/" + gone});
    EXPECT_EQ(query("SELECT COUNT(*) FROM Files WHERE fileID = '" + gone + "'"), "0");

    // ForceFullBackup sends everything again.
    folder_->uploaded.clear();
    plist_t force = plist_new_dict();
    plist_dict_set_item(force, "ForceFullBackup", plist_new_bool(1));
    ASSERT_EQ(error_code(folder_->run("Backup", force)), 0u);
    EXPECT_GT(folder_->uploaded.size(), 10u);
}

TEST_F(BackupEngineTest, TooLittleRoomOnTheHostEndsWithAnErrorBeforeAnyUpload) {
    folder_->free_space = 1000;
    Received response = folder_->run("Backup");
    EXPECT_NE(error_code(response), 0u);
    EXPECT_NE(plist_string(plist_dict_get_item(plist_array_get_item(response.plist.get(), 1),
                                               "ErrorDescription"))
                  .find("Not enough free space"),
              std::string::npos);
    EXPECT_TRUE(folder_->uploaded.empty());
}

TEST_F(BackupEngineTest, RestoreRewritesAppContentAndSystemDomainsOnlyWhenAsked) {
    ASSERT_EQ(error_code(folder_->run("Backup")), 0u);
    const std::string sms = content() + "/HomeDomain/Library/SMS/sms.db";
    const std::string original = read_file(sms);
    std::ofstream(sms, std::ios::trunc) << "damaged";
    const std::string extra = content() + "/HomeDomain/Documents/not in the backup.txt";
    std::ofstream(extra) << "new";
    const std::string notes =
        content() + "/AppDomain-com.example.fieldnotes/Documents/Field Notes.txt";
    const std::string notes_before = read_file(notes);
    fs::remove(notes);

    // Without RestoreSystemFiles only the app domains come back.
    ASSERT_EQ(error_code(folder_->run("Restore")), 0u);
    EXPECT_EQ(read_file(sms), "damaged");
    EXPECT_EQ(read_file(notes), notes_before);

    plist_t system = plist_new_dict();
    plist_dict_set_item(system, "RestoreSystemFiles", plist_new_bool(1));
    ASSERT_EQ(error_code(folder_->run("Restore", system)), 0u);
    EXPECT_EQ(read_file(sms), original);
    EXPECT_TRUE(fs::exists(extra));
    EXPECT_TRUE(fs::is_symlink(content() + "/HomeDomain/Library/Notes/Latest note"));

    plist_t remove = plist_new_dict();
    plist_dict_set_item(remove, "RestoreSystemFiles", plist_new_bool(1));
    plist_dict_set_item(remove, "RemoveItemsNotRestored", plist_new_bool(1));
    ASSERT_EQ(error_code(folder_->run("Restore", remove)), 0u);
    EXPECT_FALSE(fs::exists(extra));
    EXPECT_EQ(read_file(sms), original);
}

TEST_F(BackupEngineTest, UnbackWritesPlainFilesByDomain) {
    ASSERT_EQ(error_code(folder_->run("Backup")), 0u);
    ASSERT_EQ(error_code(folder_->run("Unback")), 0u);
    const std::string plain = root_.path() + "/_unback_/HomeDomain/Library/SMS/sms.db";
    EXPECT_EQ(read_file(plain), read_file(content() + "/HomeDomain/Library/SMS/sms.db"));
    EXPECT_TRUE(fs::is_directory(root_.path() + "/_unback_/HomeDomain/Documents"));
}

TEST_F(BackupEngineTest, AContentFileMissingFromTheBackupEndsRestoreAndUnbackNamingIt) {
    ASSERT_EQ(error_code(folder_->run("Backup")), 0u);
    const std::string id = sha1_hex("HomeDomain-Library/SMS/sms.db");
    ASSERT_TRUE(fs::remove(device_folder() + "/" + id.substr(0, 2) + "/" + id));
    plist_t system = plist_new_dict();
    plist_dict_set_item(system, "RestoreSystemFiles", plist_new_bool(1));
    for (auto [request, options] : {std::pair{"Restore", system}, std::pair{"Unback", plist_t{}}}) {
        Received response = folder_->run(request, options);
        EXPECT_EQ(error_code(response), kEngineNoBackup) << request;
        EXPECT_NE(plist_string(plist_dict_get_item(plist_array_get_item(response.plist.get(), 1),
                                                   "ErrorDescription"))
                      .find("HomeDomain/Library/SMS/sms.db"),
                  std::string::npos)
            << request;
    }
}

TEST_F(BackupEngineTest, RestoreOfAnEncryptedBackupWithoutAPasswordEndsWithAnError) {
    ASSERT_EQ(error_code(folder_->run("Backup")), 0u);
    const std::string path = device_folder() + "/Manifest.plist";
    const std::string bytes = read_file(path);
    plist_t manifest = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &manifest);
    PlistPtr owner(manifest);
    ASSERT_TRUE(manifest);
    plist_dict_set_item(manifest, "IsEncrypted", plist_new_bool(1));
    char *raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(manifest, &raw, &length);
    const MallocPtr<char> out(raw);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(out.get(), length);
    EXPECT_EQ(error_code(folder_->run("Restore")), kEngineNeedsPassword);
}

TEST_F(BackupEngineTest, RestoreWithoutAFinishedBackupEndsWithAnError) {
    EXPECT_EQ(error_code(folder_->run("Restore")), kEngineNoBackup);
}

}  // namespace
}  // namespace tarvosim
