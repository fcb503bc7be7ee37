// tarvobackup2's info and list against a device that answers them from the
// backup it reads back from the host: nothing to describe before the first
// backup, then what the last backup says (even where the live device says
// otherwise), and of an encrypted backup whose keys the device no longer
// holds, all that its plists tell.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace mb2test;
namespace fs = std::filesystem;

const std::vector<std::pair<std::string, std::string>> kDeviceFiles = {
    {"HomeDomain/Library/Notes/notes.txt", "first notes"},
    {"MediaDomain/DCIM/100APPLE/IMG_0001.JPG", std::string(70000, 'j')},
    {"AppDomain-com.example.notes/Documents/draft.txt", "an app's document"},
};

class Tarvobackup2BackupQueries : public ::testing::Test {
  protected:
    void start(const std::string &fixture) {
        for (const auto &[path, content] : kDeviceFiles) {
            fs::create_directories(fs::path(fixture + "/content/" + path).parent_path());
            write_file(fixture + "/content/" + path, content);
        }
        sim_ = std::make_unique<SimHarness>(std::vector<std::string>{fixture});
        ASSERT_TRUE(sim_->ok()) << sim_->error();
    }
    ProcessResult run(Args args) {
        args.push_back(backups_.path());
        return backup2(args, {.input = "", .timeout_ms = 60000});
    }
    std::string content(const std::string &relative) const {
        return sim_->state_dir() + "/devices/PHONE1/content/" + relative;
    }
    /// Manifest.plist's Lockdown "DeviceName" changed on the host's side.
    void rename_device_in_backup(const std::string &name) {
        const std::string path = backups_.path() + "/PHONE1/Manifest.plist";
        PlistPtr manifest = read_plist(path);
        ASSERT_TRUE(manifest);
        plist_dict_set_item(plist_dict_get_item(manifest.get(), "Lockdown"), "DeviceName",
                            plist_new_string(name.c_str()));
        char *xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(manifest.get(), &xml, &length);
        write_file(path, std::string(xml, length));
        std::free(xml);
    }

    ScratchDir scratch_;
    ScratchDir backups_;
    std::unique_ptr<SimHarness> sim_;
};

TEST_F(Tarvobackup2BackupQueries, DescribeTheLastBackupAsTheHostHoldsIt) {
    start(make_device(scratch_, "PHONE1"));
    const ProcessResult none = run({"info"});
    EXPECT_NE(none.status, 0);
    EXPECT_NE(none.out.find("ErrorCode 102: there is no backup in \"PHONE1\"\n"), std::string::npos)
        << none.out;

    ASSERT_EQ(run({"backup"}).status, 0);
    const ProcessResult full = run({"info"});
    EXPECT_EQ(full.status, 0) << full.out;
    for (const char *line : {"Device Name: Test Phone\n", "Backup Type: Full\n",
                             "Is Encrypted: No\n", "Files: 3\n", "Total Size: 70028 bytes\n"}) {
        EXPECT_NE(full.out.find(line), std::string::npos) << line << full.out;
    }

    // A file whose name needs quoting in CSV, then an incremental backup.
    fs::create_directories(content("HomeDomain/Documents"));
    write_file(content("HomeDomain/Documents/a, \"b\".txt"), "new");
    ASSERT_EQ(run({"backup"}).status, 0);
    rename_device_in_backup("Old Name");
    const ProcessResult incremental = run({"info"});
    for (const char *line : {"Device Name: Old Name\n", "Backup Type: Incremental\n", "Files: 4\n",
                             "Total Size: 70031 bytes\n"}) {
        EXPECT_NE(incremental.out.find(line), std::string::npos) << line << incremental.out;
    }

    const ProcessResult list = run({"list"});
    EXPECT_EQ(list.status, 0) << list.out;
    EXPECT_EQ(list.out,
              "Domain,Path,Size\n"
              "AppDomain-com.example.notes,Documents/draft.txt,17\n"
              "HomeDomain,\"Documents/a, \"\"b\"\".txt\",3\n"
              "HomeDomain,Library/Notes/notes.txt,11\n"
              "MediaDomain,DCIM/100APPLE/IMG_0001.JPG,70000\n");
}

TEST_F(Tarvobackup2BackupQueries, InfoOfAnEncryptedBackupWhoseKeysTheDeviceDropped) {
    // A few key derivation rounds keep the test fast.
    start(SimHarness::make_fixture(
        scratch_.path(),
        SimHarness::device_plist(
            "<key>UniqueDeviceID</key><string>PHONE1</string>"
            "<key>Domains</key><dict><key>com.apple.mobile.backup</key><dict>"
            "<key>WillEncrypt</key><false/><key>BackupDPIC</key><integer>10</integer>"
            "</dict></dict>" +
            SimHarness::bundled_private_key_xml())));
    ASSERT_EQ(backup2({"encryption", "on", "secret"}).status, 0);
    ASSERT_EQ(run({"backup"}).status, 0);
    const ProcessResult readable = run({"info"});
    EXPECT_NE(readable.out.find("Is Encrypted: Yes\nFiles: 3\n"), std::string::npos)
        << readable.out;

    ASSERT_EQ(backup2({"encryption", "off", "secret"}).status, 0);
    const ProcessResult locked = run({"info"});
    EXPECT_EQ(locked.status, 0) << locked.out;
    EXPECT_NE(locked.out.find("Is Encrypted: Yes\nFiles: not known (the backup is encrypted"),
              std::string::npos)
        << locked.out;
    const ProcessResult list = run({"list"});
    EXPECT_NE(list.status, 0);
    EXPECT_NE(list.out.find("ErrorCode 208: "), std::string::npos) << list.out;
}

}  // namespace
