// The file conduit of a simulated device, driven over the real socket with
// raw AFC packets: the media folder copied from the fixture, open modes,
// reading and writing, file info, folders, locks that contend across
// connections, paths that try to leave the folder, and broken packets.
#include "afc_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "service_test_client.h"
#include "simulator.h"

namespace tarvosim {
namespace {

using testing::AfcReply;
using testing::AfcTestClient;
using testing::ServiceHost;

namespace fs = std::filesystem;

std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// Value of `name` in a file-info answer.
std::string info_value(const AfcReply &reply, const std::string &name) {
    const std::vector<std::string> items = reply.strings();
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
        if (items[i] == name) {
            return items[i + 1];
        }
    }
    return "<missing>";
}

class AfcServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { host_.start(); }

    /// A connection whose first answer has come, so the media folder exists.
    std::unique_ptr<AfcTestClient> connect() {
        auto link = host_.connect(kAfcService);
        if (!link) {
            return nullptr;
        }
        auto client = std::make_unique<AfcTestClient>(std::move(link));
        EXPECT_EQ(client->request(AfcOperation::kGetFileInfo, AfcTestClient::path("/")).operation,
                  AfcOperation::kData);
        return client;
    }

    ServiceHost host_;
};

TEST_F(AfcServiceTest, MediaFolderStartsAsACopyOfTheFixture) {
    auto afc = connect();
    ASSERT_TRUE(afc);
    const std::string fixture_file =
        Simulator::default_fixture_dir() + "/afc/Books/Field Notes.txt";
    const std::string original = file_text(fixture_file);
    ASSERT_FALSE(original.empty());
    EXPECT_EQ(afc->contents("/Books/Field Notes.txt"), original);

    AfcReply listing = afc->request(AfcOperation::kReadDirectory, AfcTestClient::path("/Books"));
    ASSERT_EQ(listing.operation, AfcOperation::kData);
    EXPECT_EQ(listing.strings(),
              (std::vector<std::string>{".", "..", "Field Notes.txt", "iBooksData2.plist"}));

    // Changes land in the state folder, never in the fixture.
    const uint64_t handle = afc->open("/Books/Field Notes.txt", 3);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(afc->write(handle, "changed"), afc_status::kSuccess);
    EXPECT_EQ(afc->close(handle), afc_status::kSuccess);
    EXPECT_EQ(afc->contents("Books/Field Notes.txt"), "changed");
    EXPECT_EQ(file_text(host_.media_dir() + "/Books/Field Notes.txt"), "changed");
    EXPECT_EQ(file_text(fixture_file), original);
    // Every connection of the device shares the folder.
    auto other = connect();
    ASSERT_TRUE(other);
    EXPECT_EQ(other->contents("/Books/Field Notes.txt"), "changed");
}

TEST_F(AfcServiceTest, OpenModesReadWriteCreateTruncateAndAppend) {
    auto afc = connect();
    ASSERT_TRUE(afc);
    struct Case {
        uint64_t mode;
        const char *before;  // null: the file does not exist
        const char *written;
        uint64_t write_status;
        const char *after;  // content afterwards, or "<status N>" when it cannot be read
    };
    const Case cases[] = {
        {1, "old", "new", afc_status::kPermissionDenied, "old"},  // r: reading only
        {1, nullptr, nullptr, 0, "<status 8>"},                   // r: must exist
        {2, "old!", "new", afc_status::kSuccess, "new!"},         // r+: overwrites in place
        {2, nullptr, nullptr, 0, "<status 8>"},                   // r+: must exist
        {3, "old content", "new", afc_status::kSuccess, "new"},   // w: truncates
        {4, nullptr, "made", afc_status::kSuccess, "made"},       // w+: creates
        {5, "old", "+more", afc_status::kSuccess, "old+more"},    // a: appends
        {6, nullptr, "first", afc_status::kSuccess, "first"},     // a+: creates
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        const std::string name = "/mode-" + std::to_string(++index);
        if (c.before) {
            std::ofstream(host_.media_dir() + name) << c.before;
        }
        uint64_t status = 0;
        const uint64_t handle = afc->open(name, c.mode, &status);
        if (!c.written) {
            EXPECT_EQ(handle, 0u);
            EXPECT_EQ("<status " + std::to_string(status) + ">", c.after);
            continue;
        }
        ASSERT_NE(handle, 0u) << status;
        EXPECT_EQ(afc->write(handle, c.written), c.write_status);
        EXPECT_EQ(afc->close(handle), afc_status::kSuccess);
        EXPECT_EQ(afc->contents(name), c.after);
    }
    uint64_t status = 0;
    EXPECT_EQ(afc->open("/Books", 1, &status), 0u);
    EXPECT_EQ(status, afc_status::kIsDirectory);
    EXPECT_EQ(afc->open("/x", 7, &status), 0u);
    EXPECT_EQ(status, afc_status::kInvalidArgument);
}

TEST_F(AfcServiceTest, ReadsInPiecesAndSkipsWithSeekAndTell) {
    auto afc = connect();
    ASSERT_TRUE(afc);
    const uint64_t handle = afc->open("/pieces", 4);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(afc->write(handle, "0123456789"), afc_status::kSuccess);
    ASSERT_EQ(
        afc->request(AfcOperation::kFileSeek, AfcTestClient::u64s({handle, SEEK_SET, 2})).status(),
        afc_status::kSuccess);
    EXPECT_EQ(afc->read(handle, 3), "234");
    AfcReply tell = afc->request(AfcOperation::kFileTell, AfcTestClient::u64s({handle}));
    ASSERT_EQ(tell.operation, AfcOperation::kFileTellResult);
    EXPECT_EQ(tell.header_data, AfcTestClient::u64s({5}));
    EXPECT_EQ(afc->read(handle, 100), "56789");
    EXPECT_EQ(afc->read(handle, 100), "");  // end of file
    EXPECT_EQ(afc->close(handle), afc_status::kSuccess);
    EXPECT_EQ(afc->close(handle), afc_status::kInvalidArgument);
    EXPECT_EQ(afc->read(handle, 1), "<status 7>");
}

TEST_F(AfcServiceTest, FileInfoFoldersAndRemoval) {
    auto afc = connect();
    ASSERT_TRUE(afc);
    AfcReply file =
        afc->request(AfcOperation::kGetFileInfo, AfcTestClient::path("/Books/Field Notes.txt"));
    ASSERT_EQ(file.operation, AfcOperation::kData);
    EXPECT_EQ(info_value(file, "st_ifmt"), "S_IFREG");
    EXPECT_EQ(info_value(file, "st_size"),
              std::to_string(fs::file_size(host_.media_dir() + "/Books/Field Notes.txt")));
    EXPECT_NE(info_value(file, "st_mtime"), "<missing>");
    EXPECT_NE(info_value(file, "st_birthtime"), "<missing>");
    AfcReply folder = afc->request(AfcOperation::kGetFileInfo, AfcTestClient::path("/"));
    EXPECT_EQ(info_value(folder, "st_ifmt"), "S_IFDIR");
    EXPECT_EQ(afc->on_path(AfcOperation::kGetFileInfo, "/nothing"), afc_status::kNotFound);

    // Making a folder makes its parents; an existing folder is fine.
    EXPECT_EQ(afc->on_path(AfcOperation::kMakeDirectory, "/iTunesRestore/deep/er"),
              afc_status::kSuccess);
    EXPECT_EQ(afc->on_path(AfcOperation::kMakeDirectory, "/iTunesRestore"), afc_status::kSuccess);
    EXPECT_TRUE(fs::is_directory(host_.media_dir() + "/iTunesRestore/deep/er"));
    EXPECT_EQ(afc->on_path(AfcOperation::kMakeDirectory, "/Books/Field Notes.txt"),
              afc_status::kExists);

    EXPECT_EQ(afc->on_path(AfcOperation::kRemovePath, "/iTunesRestore"), afc_status::kUnknownError)
        << "a folder that is not empty stays";
    EXPECT_EQ(afc->on_path(AfcOperation::kRemovePath, "/iTunesRestore/deep/er"),
              afc_status::kSuccess);
    EXPECT_EQ(afc->on_path(AfcOperation::kRemovePathAndContents, "/iTunesRestore"),
              afc_status::kSuccess);
    EXPECT_FALSE(fs::exists(host_.media_dir() + "/iTunesRestore"));
    EXPECT_EQ(afc->on_path(AfcOperation::kRemovePath, "/Books/Field Notes.txt"),
              afc_status::kSuccess);
    EXPECT_EQ(afc->on_path(AfcOperation::kRemovePath, "/Books/Field Notes.txt"),
              afc_status::kNotFound);
    EXPECT_EQ(afc->on_path(AfcOperation::kRemovePath, "/"), afc_status::kPermissionDenied);
}

TEST_F(AfcServiceTest, ExclusiveLocksContendAcrossConnections) {
    auto first = connect();
    auto second = connect();
    ASSERT_TRUE(first && second);
    const char *lock_file = "/com.apple.itunes.lock_sync";
    const uint64_t mine = first->open(lock_file, 2);
    const uint64_t theirs = second->open(lock_file, 2);
    ASSERT_NE(mine, 0u);
    ASSERT_NE(theirs, 0u);

    EXPECT_EQ(first->lock(mine, 6), afc_status::kSuccess);
    EXPECT_EQ(second->lock(theirs, 6), afc_status::kWouldBlock);
    EXPECT_EQ(second->lock(theirs, 5), afc_status::kWouldBlock) << "no shared lock beside it";
    EXPECT_EQ(first->lock(mine, 12), afc_status::kSuccess);
    EXPECT_EQ(second->lock(theirs, 6), afc_status::kSuccess);
    EXPECT_EQ(first->lock(mine, 6), afc_status::kWouldBlock);

    // A connection that goes away gives up its locks.
    second.reset();
    uint64_t freed = afc_status::kWouldBlock;
    for (int attempt = 0; attempt < 200 && freed == afc_status::kWouldBlock; ++attempt) {
        freed = first->lock(mine, 6);
        if (freed == afc_status::kWouldBlock) {
            ::usleep(10000);
        }
    }
    EXPECT_EQ(freed, afc_status::kSuccess);

    // Shared locks go together; blocking forms and unknown operations are refused.
    auto third = connect();
    const uint64_t reader = third->open(lock_file, 1);
    EXPECT_EQ(first->lock(mine, 12), afc_status::kSuccess);
    EXPECT_EQ(first->lock(mine, 5), afc_status::kSuccess);
    EXPECT_EQ(third->lock(reader, 5), afc_status::kSuccess);
    EXPECT_EQ(third->lock(reader, 2), afc_status::kInvalidArgument);
    EXPECT_EQ(third->lock(reader, 99), afc_status::kInvalidArgument);
}

TEST(AfcSyncLockTest, FixtureMakesAnotherHostHoldTheLockOrTakingItFail) {
    struct Case {
        const char *keys;
        std::vector<uint64_t> attempts;  // statuses of successive exclusive locks
    };
    const Case cases[] = {
        {"", {afc_status::kSuccess}},
        {"<key>SyncLockHeldByOtherHost</key><integer>2</integer>",
         {afc_status::kWouldBlock, afc_status::kWouldBlock, afc_status::kSuccess}},
        {"<key>SyncLockHeldByOtherHost</key><true/>",
         {afc_status::kWouldBlock, afc_status::kWouldBlock, afc_status::kWouldBlock}},
        {"<key>SyncLockError</key><integer>10</integer>",
         {afc_status::kPermissionDenied, afc_status::kPermissionDenied}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        testing::TempDir scratch;
        // No afc/ folder: the lock file is there anyway, as on every device.
        const std::string dir = SimHarness::make_fixture(
            scratch.path(), SimHarness::device_plist(
                                std::string("<key>UniqueDeviceID</key><string>LOCK-1</string>") +
                                c.keys + SimHarness::bundled_private_key_xml()));
        ServiceHost host;
        host.start({dir}, "LOCK-1");
        auto link = host.connect(kAfcService);
        ASSERT_TRUE(link);
        AfcTestClient afc(std::move(link));
        uint64_t status = 0;
        const uint64_t handle = afc.open("/com.apple.itunes.lock_sync", 2, &status);
        ASSERT_NE(handle, 0u) << status;
        for (std::size_t i = 0; i < c.attempts.size(); ++i) {
            EXPECT_EQ(afc.lock(handle, 6), c.attempts[i]) << "attempt " << i + 1;
        }
        // Unlocking is never refused, and other files lock as ever.
        EXPECT_EQ(afc.lock(handle, 12), afc_status::kSuccess);
        const uint64_t other = afc.open("/other-lock", 4);
        EXPECT_EQ(afc.lock(other, 6), afc_status::kSuccess);
    }
}

TEST_F(AfcServiceTest, PathsCannotLeaveTheMediaFolder) {
    auto afc = connect();
    ASSERT_TRUE(afc);
    const fs::path outside = fs::path(host_.sim().temp_dir()) / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "secret") << "host file";
    fs::create_symlink(outside, host_.media_dir() + "/out");
    fs::create_symlink(outside / "secret", host_.media_dir() + "/secret-link");
    fs::create_symlink(outside / "not-yet", host_.media_dir() + "/dangling");
    fs::create_symlink("Books", host_.media_dir() + "/books-link");

    struct Case {
        const char *path;
        uint64_t mode;
    };
    const Case refused[] = {
        {"../outside/secret", 1},
        {"/../../../../etc/passwd", 1},
        {"/Books/../../outside/secret", 1},
        {"/out/secret", 1},
        {"/secret-link", 1},
        {"/out/new", 4},
        {"/dangling", 4},
    };
    for (const Case &c : refused) {
        uint64_t status = 0;
        EXPECT_EQ(afc->open(c.path, c.mode, &status), 0u) << c.path;
        EXPECT_EQ(status, afc_status::kPermissionDenied) << c.path;
    }
    EXPECT_EQ(afc->on_path(AfcOperation::kMakeDirectory, "/out/made"),
              afc_status::kPermissionDenied);
    EXPECT_EQ(afc->on_path(AfcOperation::kReadDirectory, "/out"), afc_status::kPermissionDenied);
    EXPECT_EQ(afc->on_path(AfcOperation::kRemovePath, "/out/secret"),
              afc_status::kPermissionDenied);
    EXPECT_FALSE(fs::exists(outside / "new"));
    EXPECT_FALSE(fs::exists(outside / "not-yet"));
    EXPECT_EQ(file_text((outside / "secret").string()), "host file");

    // Absolute paths start at the folder; links that stay inside work, and
    // a link itself can be looked at and removed.
    EXPECT_NE(afc->contents("/books-link/Field Notes.txt").find("Field notes"), std::string::npos);
    AfcReply link = afc->request(AfcOperation::kGetFileInfo, AfcTestClient::path("/out"));
    EXPECT_EQ(info_value(link, "st_ifmt"), "S_IFLNK");
    EXPECT_EQ(afc->on_path(AfcOperation::kRemovePath, "/out"), afc_status::kSuccess);
    EXPECT_TRUE(fs::exists(outside / "secret"));
}

TEST_F(AfcServiceTest, BrokenRequestsGetStatusesAndBadHeadersDropTheConnection) {
    auto afc = connect();
    ASSERT_TRUE(afc);
    EXPECT_EQ(afc->request(static_cast<AfcOperation>(0x7F), {}).status(),
              afc_status::kUnknownPacketType);
    EXPECT_EQ(afc->request(AfcOperation::kGetFileInfo, testing::bytes_of("no terminator")).status(),
              afc_status::kInvalidArgument);
    EXPECT_EQ(afc->request(AfcOperation::kFileRead, AfcTestClient::u64s({1})).status(),
              afc_status::kInvalidArgument);
    EXPECT_EQ(afc->request(AfcOperation::kFileClose, AfcTestClient::u64s({12345})).status(),
              afc_status::kInvalidArgument);
    AfcReply answered = afc->request(AfcOperation::kGetFileInfo, AfcTestClient::path("/"));
    EXPECT_EQ(answered.number, 6u) << "answers carry the request's packet number";

    std::vector<uint8_t> wrong_magic = encode_afc_packet(7, AfcOperation::kReadDirectory, {}, {});
    wrong_magic[0] = 'X';
    ASSERT_TRUE(afc->link().send_bytes(wrong_magic));
    EXPECT_TRUE(afc->link().sees_end());

    // A header announcing more than the cap is refused before its body.
    auto again = connect();
    std::vector<uint8_t> huge = encode_afc_packet(1, AfcOperation::kFileWrite, {}, {});
    for (int i = 0; i < 8; ++i) {
        huge[8 + i] = 0xFF;
    }
    ASSERT_TRUE(again->link().send_bytes(huge));
    EXPECT_TRUE(again->link().sees_end());
}

}  // namespace
}  // namespace tarvosim
