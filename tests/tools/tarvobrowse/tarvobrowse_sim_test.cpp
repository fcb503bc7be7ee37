// tarvobrowse on backups the simulated device made through tarvobackup2,
// plain and encrypted: every extracted entry equals the device's own
// content, the backup folder is left as it was, and a wrong password
// writes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "browse_test_support.h"
#include "pty_runner.h"
#include "tool_test_support.h"

namespace {

using namespace browsetest;
namespace fs = std::filesystem;

const std::vector<std::pair<std::string, std::string>> kDeviceFiles = {
    {"HomeDomain/Library/Notes/notes.txt", "first notes"},
    {"HomeDomain/Documents/empty", ""},
    {"HomeDomain/Documents/Kesä kuvat.txt", "spaces and letters"},
    {"MediaDomain/DCIM/100APPLE/IMG_0001.JPG", std::string(70001, 'j')},
    {"AppDomain-com.example.notes/Documents/draft.txt", "an app's document"},
};

// Readers take DPIC from the keybag; the device's ten million would cost
// seconds per run.
const char kFastKeybag[] =
    "<key>com.apple.mobile.backup</key><dict>"
    "<key>BackupDPIC</key><integer>10</integer></dict>";

class TarvobrowseSim : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string fixture = make_device(scratch_, "PHONE1");
        // make_device's Domains dictionary gets the keybag cost beside the battery.
        std::string plist = read_file(fixture + "/device.plist");
        const std::string anchor = "<key>Domains</key><dict>";
        plist.insert(plist.find(anchor) + anchor.size(), kFastKeybag);
        write_bytes(fixture + "/device.plist", plist.data(), plist.size());
        for (const auto &[path, text] : kDeviceFiles) {
            fs::create_directories(fs::path(fixture + "/content/" + path).parent_path());
            write_bytes(fixture + "/content/" + path, text.data(), text.size());
        }
        chmod((fixture + "/content/HomeDomain/Library/Notes/notes.txt").c_str(), 0600);
        fs::create_symlink("notes.txt", fixture + "/content/HomeDomain/Library/Notes/latest");
        sim_ = std::make_unique<SimHarness>(std::vector<std::string>{fixture});
        ASSERT_TRUE(sim_->ok()) << sim_->error();
    }
    void back_up(bool encrypted) {
        ProcessOptions options{.input = "", .timeout_ms = 60000};
        if (encrypted) {
            ASSERT_EQ(
                run_process({"tarvobackup2", "encryption", "on", "pw1", backups_.path()}, options)
                    .status,
                0);
        }
        ProcessResult made = run_process({"tarvobackup2", "backup", backups_.path()}, options);
        ASSERT_EQ(made.status, 0) << made.out << made.err;
    }
    std::string device_content() const { return sim_->state_dir() + "/devices/PHONE1/content"; }
    std::string backup() const { return backups_.path() + "/PHONE1"; }
    std::string out() const { return out_.path() + "/out"; }

    ScratchDir scratch_;
    ScratchDir backups_;
    ScratchDir out_;
    std::unique_ptr<SimHarness> sim_;
};

TEST_F(TarvobrowseSim, PlainBackupExtractsAsTheDeviceHoldsIt) {
    back_up(false);
    const auto before = stamps_of(backup());
    ProcessResult extracted = browse({"extract", backup(), out()});
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_NE(extracted.out.find("Extracted 5 files"), std::string::npos) << extracted.out;
    EXPECT_EQ(tree_of(out()), tree_of(device_content()));
    EXPECT_EQ(stamps_of(backup()), before) << "the backup folder was written to";

    ProcessResult cat = browse({"cat", backup(), "MediaDomain", "DCIM/100APPLE/IMG_0001.JPG"});
    EXPECT_EQ(cat.status, 0);
    EXPECT_EQ(cat.out, std::string(70001, 'j'));

    ProcessResult listed = browse({"list", "--json", "--domain", "HomeDomain", backup(), "*.txt"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("\"path\":\"Library/Notes/notes.txt\""), std::string::npos);
    EXPECT_EQ(listed.out.find("IMG_0001"), std::string::npos);

    ProcessResult info = browse({"info", backup()});
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("Test Phone"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("finished"), std::string::npos);
    EXPECT_NE(info.out.find("5 files (70047 bytes)"), std::string::npos) << info.out;
}

TEST_F(TarvobrowseSim, EncryptedBackupOpensWithItsPasswordOnly) {
    back_up(true);
    ProcessResult wrong = browse({"extract", "--password-fd", "0", backup(), out()}, "nope\n");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("wrong password"), std::string::npos) << wrong.err;
    EXPECT_FALSE(fs::exists(out())) << "a wrong password wrote the output folder";

    ProcessResult extracted = browse({"extract", "--password-fd", "0", backup(), out()}, "pw1\n");
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(tree_of(out()), tree_of(device_content()));

    // At a terminal the password is asked for and never shown.
    PtyResult typed = run_on_pty(
        {bin_path("tarvobrowse"), "cat", backup(), "HomeDomain", "Library/Notes/notes.txt"},
        "Backup password: ", "pw1\n", 60000);
    EXPECT_EQ(typed.status, 0) << typed.output;
    EXPECT_NE(typed.output.find("first notes"), std::string::npos);
    EXPECT_EQ(typed.output.find("pw1"), std::string::npos) << "the password was echoed";
    EXPECT_TRUE(typed.echo_at_end);
}

}  // namespace
