// Backup scripts and the backup settings of device.plist: a good script
// loads as the steps it describes, and each kind of mistake is refused with
// a message naming the file, the request and the step.
#include "backup_script.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fixture.h"
#include "sim_harness.h"
#include "sim_test_support.h"
#include "simulator.h"

namespace tarvosim {
namespace {

using testing::TempDir;

/// Writes a fixture with this backup script (the keys of its top
/// dictionary) and loads it.
bool load_with_script(const TempDir &dir, const std::string &script_keys, Fixture *fixture,
                      std::string *error, const std::string &device_keys = "") {
    const std::string folder = SimHarness::make_fixture(
        dir.path(),
        SimHarness::device_plist("<key>UniqueDeviceID</key><string>S-1</string>" + device_keys));
    if (!script_keys.empty()) {
        std::ofstream(folder + "/" + kBackupScriptFileName)
            << SimHarness::device_plist(script_keys);
    }
    return load_fixture(folder, fixture, error);
}

TEST(BackupScriptTest, StepsLoadAsWritten) {
    TempDir dir;
    Fixture fixture;
    std::string error;
    ASSERT_TRUE(load_with_script(dir, R"(
      <key>Backup</key><array>
        <dict><key>Send</key><array><string>DLMessageCreateDirectory</string><string>d</string></array></dict>
        <dict><key>ExpectStatus</key><dict><key>Code</key><integer>-13</integer></dict></dict>
        <dict><key>UploadFiles</key><array>
            <dict><key>DevicePath</key><string>a</string><key>LocalPath</key><string>b</string>
                  <key>Size</key><integer>5000000000</integer>
                  <key>Blocks</key><array><integer>1</integer><integer>65536</integer></array></dict>
          </array><key>ExpectCode</key><integer>-6</integer></dict>
        <dict><key>DownloadFiles</key><array><string>p</string></array></dict>
        <dict><key>Raw</key><data>AAE=</data></dict>
        <dict><key>Notify</key><string>n</string></dict>
        <dict><key>SleepMs</key><integer>5</integer></dict>
        <dict><key>Disconnect</key><true/></dict>
      </array>)",
                                 &fixture, &error))
        << error;
    ASSERT_TRUE(fixture.backup_script);
    const std::vector<ScriptStep> &steps = fixture.backup_script->at("Backup");
    ASSERT_EQ(steps.size(), 8u);
    EXPECT_EQ(std::get<ExpectStatusStep>(steps[1]).code, -13);
    const UploadFilesStep &upload = std::get<UploadFilesStep>(steps[2]);
    EXPECT_EQ(upload.total, 5000000000u) << "Total defaults to the files' sizes";
    EXPECT_EQ(upload.expect_code, -6);
    EXPECT_EQ(upload.files.at(0).blocks, (std::vector<uint32_t>{1, 65536}));
    EXPECT_FALSE(std::get<DownloadFilesStep>(steps[3]).expect.has_value());
    EXPECT_EQ(std::get<RawStep>(steps[4]).bytes, (std::vector<uint8_t>{0, 1}));
    EXPECT_TRUE(std::holds_alternative<DisconnectStep>(steps[7]));
    EXPECT_EQ(fixture.device_link_version, 400u);
    EXPECT_EQ(fixture.backup_protocol_versions, (std::vector<double>{2.0, 2.1}));
}

TEST(BackupScriptTest, MistakesNameTheRequestAndTheStep) {
    const std::string file_ok =
        "<dict><key>DevicePath</key><string>a</string><key>LocalPath</key><string>b</string>";
    struct Case {
        std::string keys;
        std::string message;
    };
    const Case cases[] = {
        {"<key>Backup</key><string>x</string>", "key \"Backup\": must be an array of steps"},
        {"<key>Backup</key><array><string>x</string></array>",
         "key \"Backup\": step 1: must be a dictionary"},
        {"<key>Info</key><array><dict/></array>", "step 1: needs exactly one of Send,"},
        {"<key>Info</key><array><dict><key>Raw</key><data></data><key>Notify</key><string>n</"
         "string>"
         "</dict></array>",
         "(found 2)"},
        {"<key>Info</key><array><dict><key>Send</key><array/></dict></array>",
         "step 1 (Send): \"Send\" must be an array whose first element is the message name"},
        {"<key>Info</key><array><dict><key>Raw</key><data></data></dict>"
         "<dict><key>ExpectStatus</key><dict/></dict></array>",
         "step 2 (ExpectStatus): \"ExpectStatus\" needs \"Code\""},
        {"<key>Info</key><array><dict><key>ExpectStatus</key><dict><key>Code</key>"
         "<string>0</string></dict></dict></array>",
         "\"Code\" must be an integer"},
        {"<key>List</key><array><dict><key>UploadFiles</key><array>" + file_ok +
             "</dict></array></dict></array>",
         "step 1 (UploadFiles): file 1: needs either \"Data\" or \"Size\""},
        {"<key>List</key><array><dict><key>UploadFiles</key><array>" + file_ok +
             "<key>Size</key><integer>1</integer><key>Data</key><data></data></dict></array>"
             "</dict></array>",
         "file 1: needs either \"Data\" or \"Size\""},
        {"<key>List</key><array><dict><key>UploadFiles</key><array>" + file_ok +
             "<key>Size</key><integer>1</integer><key>Blocks</key><array><integer>0</integer>"
             "</array></dict></array></dict></array>",
         "file 1: \"Blocks\" must be a non-empty array of sizes"},
        {"<key>List</key><array><dict><key>UploadFiles</key><array>" + file_ok +
             "<key>Size</key><integer>1</integer><key>Close</key><integer>6</integer></dict>"
             "</array></dict></array>",
         "\"Close\" must be 0 (complete) or 11 (device error)"},
        {"<key>List</key><array><dict><key>UploadFiles</key><array>" + file_ok +
             "<key>Size</key><integer>1</integer><key>ErrorText</key><string>e</string></dict>"
             "</array></dict></array>",
         "\"ErrorText\" goes with \"Close\" 11 only"},
        {"<key>List</key><array><dict><key>UploadFiles</key><array><dict><key>LocalPath</key>"
         "<string>b</string><key>Size</key><integer>1</integer></dict></array></dict></array>",
         "file 1: needs \"DevicePath\" (a string)"},
        {"<key>List</key><array><dict><key>UploadFiles</key><array/><key>Expect</key><array/>"
         "</dict></array>",
         "unknown key \"Expect\" (this step takes UploadFiles, Total, Progress, ExpectCode)"},
        {"<key>Restore</key><array><dict><key>DownloadFiles</key><array><string>p</string>"
         "</array><key>Expect</key><array><dict><key>Path</key><string>p</string></dict>"
         "</array></dict></array>",
         "step 1 (DownloadFiles): expected file 1: needs either \"Data\" (data) or \"Missing\""},
        {"<key>Restore</key><array><dict><key>DownloadFiles</key><array><integer>1</integer>"
         "</array></dict></array>",
         "path 1 must be a string"},
        {"<key>Info</key><array><dict><key>SleepMs</key><integer>600000</integer></dict></array>",
         "\"SleepMs\" must be an integer from 0 to 60000"},
        {"<key>Info</key><array><dict><key>Disconnect</key><false/></dict></array>",
         "\"Disconnect\" must be true"},
        {"<key>Info</key><array><dict><key>Notify</key><string></string></dict></array>",
         "\"Notify\" must be a notification name"},
        {"<key>Backup</key><array><dict><key>ExpectRequest</key><array/></dict></array>",
         "step 1 (ExpectRequest): \"ExpectRequest\" must be a dictionary of the request's items"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        TempDir dir;
        Fixture fixture;
        std::string error;
        EXPECT_FALSE(load_with_script(dir, c.keys, &fixture, &error));
        EXPECT_NE(error.find(kBackupScriptFileName), std::string::npos) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(BackupScriptTest, BackupVersionsInDevicePlistAreChecked) {
    TempDir dir;
    Fixture fixture;
    std::string error;
    ASSERT_TRUE(load_with_script(dir, "", &fixture, &error,
                                 "<key>DeviceLinkVersion</key><integer>300</integer>"
                                 "<key>BackupProtocolVersions</key><array/>"))
        << error;
    EXPECT_EQ(fixture.device_link_version, 300u);
    EXPECT_TRUE(fixture.backup_protocol_versions.empty());
    EXPECT_FALSE(fixture.backup_script);

    const std::pair<const char *, const char *> bad[] = {
        {"<key>DeviceLinkVersion</key><string>400</string>", "key \"DeviceLinkVersion\""},
        {"<key>DeviceLinkVersion</key><integer>0</integer>", "must be a positive integer"},
        {"<key>BackupProtocolVersions</key><array><string>2.1</string></array>",
         "key \"BackupProtocolVersions\": must hold reals"},
    };
    for (const auto &[keys, message] : bad) {
        TempDir other;
        EXPECT_FALSE(load_with_script(other, "", &fixture, &error, keys));
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    // A script that is no property list is named as such.
    TempDir broken;
    const std::string folder = SimHarness::make_fixture(
        broken.path(), SimHarness::device_plist("<key>UniqueDeviceID</key><string>S-2</string>"));
    std::ofstream(folder + "/" + kBackupScriptFileName) << "not a plist";
    EXPECT_FALSE(load_fixture(folder, &fixture, &error));
    EXPECT_NE(error.find("backup-script.plist: not a property list"), std::string::npos) << error;
}

// The bundled iPhone backs itself up for real: no script stands in for it.
TEST(BackupScriptTest, BundledIphoneLeavesEveryRequestToItsEngine) {
    Fixture fixture;
    std::string error;
    ASSERT_TRUE(load_fixture(Simulator::default_fixture_dir(), &fixture, &error)) << error;
    EXPECT_FALSE(fixture.backup_script);
    EXPECT_TRUE(std::filesystem::is_regular_file(Simulator::default_fixture_dir() +
                                                 "/afc/com.apple.itunes.lock_sync"));
}

TEST(BackupScriptTest, UploadPatternContinuesAcrossPieces) {
    std::vector<uint8_t> whole(600);
    fill_upload_pattern(0, whole);
    EXPECT_EQ(whole[250], 250);
    EXPECT_EQ(whole[251], 0);
    std::vector<uint8_t> tail(100);
    fill_upload_pattern(500, tail);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), whole.begin() + 500));
}

}  // namespace
}  // namespace tarvosim
