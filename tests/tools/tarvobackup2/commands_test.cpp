// tarvobackup2's commands end to end against simulated devices: what each
// request carries (checked by the device's script), the lines and exit
// status of each outcome, Info.plist as the backup writes it, the sync lock,
// the restore's application list on the device, and passwords typed at a
// terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base64.h"
#include "e2e_support.h"
#include "pty_runner.h"

namespace {

using namespace mb2test;
using tarvo::base64_encode;

// A simulated phone, PHONE1 unless told otherwise.
struct Phone {
    std::string udid = "PHONE1";
    std::string product_version = "17.5.1";
    bool will_encrypt = false;
    std::string global_keys;                                     // more keys of the global domain
    std::string keys;                                            // more device.plist keys
    std::string script;                                          // a backup-script document
    std::vector<std::pair<std::string, std::string>> afc_files;  // media folder path, content
    std::vector<std::pair<std::string, std::string>> icons;      // bundle id, PNG bytes
};

std::string make_phone(const ScratchDir &scratch, const Phone &phone) {
    const std::string keys =
        "<key>UniqueDeviceID</key><string>" + phone.udid +
        "</string><key>ConnectionType</key><string>USB</string>"
        "<key>GlobalDomain</key><dict>"
        "<key>DeviceName</key><string>Bench Phone</string>"
        "<key>BuildVersion</key><string>21F90</string>"
        "<key>ProductType</key><string>iPhone15,2</string>"
        "<key>ProductVersion</key><string>" +
        phone.product_version +
        "</string><key>SerialNumber</key><string>SERIAL1</string>"
        "<key>UniqueDeviceID</key><string>" +
        phone.udid + "</string>" + phone.global_keys +
        "</dict><key>Domains</key><dict><key>com.apple.mobile.backup</key><dict>"
        "<key>WillEncrypt</key>" +
        (phone.will_encrypt ? "<true/>" : "<false/>") + "</dict></dict>" +
        SimHarness::bundled_private_key_xml() + phone.keys;
    const std::string dir =
        SimHarness::make_fixture(scratch.path(), SimHarness::device_plist(keys));
    if (!phone.script.empty()) {
        write_file(dir + "/backup-script.plist", phone.script);
    }
    for (const auto &[path, content] : phone.afc_files) {
        std::filesystem::create_directories(
            std::filesystem::path(dir + "/afc/" + path).parent_path());
        write_file(dir + "/afc/" + path, content);
    }
    for (const auto &[bundle_id, png] : phone.icons) {
        std::filesystem::create_directories(dir + "/icons");
        write_file(dir + "/icons/" + bundle_id + ".png", png);
    }
    return dir;
}

std::string str(const std::string &text) {
    return "<string>" + text + "</string>";
}

// Checks the given items of the request; none given, nothing to check.
std::vector<std::string> expect_request(const std::string &items) {
    if (items.empty()) {
        return {};
    }
    return {"<dict><key>ExpectRequest</key><dict>" + items + "</dict></dict>"};
}

std::string data_of(const std::string &bytes) {
    return "<data>" +
           base64_encode(
               std::span(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size())) +
           "</data>";
}

// The device's Status.plist upload, then its final answer.
std::vector<std::string> finish_backup(const std::string &udid, const std::string &state,
                                       int error_code = 0) {
    const std::string status =
        plist_document("<dict><key>SnapshotState</key>" + str(state) + "</dict>");
    return {"<dict><key>UploadFiles</key><array><dict><key>DevicePath</key>" + str("Status.plist") +
                "<key>LocalPath</key>" + str(udid + "/Status.plist") + "<key>Data</key>" +
                data_of(status) + "</dict></array></dict>",
            final_response(error_code)};
}

std::vector<std::string> with(std::vector<std::string> steps,
                              const std::vector<std::string> &more) {
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

std::vector<std::string> lines_of(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> keys_of(plist_t dict) {
    std::vector<std::string> keys;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    for (;;) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        if (!key) {
            break;
        }
        keys.push_back(key);
        free(key);
    }
    free(iter);
    return keys;
}

std::string string_at(plist_t dict, const char *key) {
    plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
    char *text = nullptr;
    if (node && plist_get_node_type(node) == PLIST_STRING) {
        plist_get_string_val(node, &text);
    }
    std::string value = text ? text : "(none)";
    free(text);
    return value;
}

const std::string kApplications =
    "<key>Applications</key><array>"
    "<dict><key>CFBundleIdentifier</key><string>com.example.notes</string>"
    "<key>ApplicationType</key><string>User</string>"
    "<key>ApplicationSINF</key><data>U0lORg==</data>"
    "<key>iTunesMetadata</key><data>TUVUQQ==</data></dict>"
    "<dict><key>CFBundleIdentifier</key><string>com.example.maps</string>"
    "<key>ApplicationType</key><string>User</string>"
    "<key>ApplicationSINF</key><data>U0lORjI=</data>"
    "<key>iTunesMetadata</key><data>TUVUQTI=</data></dict>"
    "<dict><key>CFBundleIdentifier</key><string>com.example.sideloaded</string>"
    "<key>ApplicationType</key><string>User</string></dict>"
    "<dict><key>CFBundleIdentifier</key><string>com.example.clock</string>"
    "<key>ApplicationType</key><string>System</string></dict>"
    "</array>";

class Tarvobackup2Commands : public ::testing::Test {
  protected:
    void start(const Phone &phone) {
        sim_.reset();  // one simulator at a time: it owns the daemon's address
        sim_ = std::make_unique<SimHarness>(std::vector<std::string>{make_phone(scratch_, phone)});
        ASSERT_TRUE(sim_->ok()) << sim_->error();
    }
    std::string dir() const { return backups_.path(); }
    std::string device_state(const std::string &relative) const {
        return sim_->state_dir() + "/devices/PHONE1/" + relative;
    }
    // A finished source backup of PHONE1 with the given Info.plist.
    void make_finished_backup(const std::string &info_plist) {
        make_source_backup(dir(), "PHONE1", info_plist, manifest(false));
        write_file(
            dir() + "/PHONE1/Status.plist",
            plist_document("<dict><key>SnapshotState</key><string>finished</string></dict>"));
    }

    ScratchDir scratch_;
    ScratchDir backups_;
    std::unique_ptr<SimHarness> sim_;
};

TEST_F(Tarvobackup2Commands, BackupWritesInfoPlistAndReportsTheOutcome) {
    Phone phone;
    phone.global_keys =
        "<key>IntegratedCircuitCardIdentity</key><string>8901</string>"
        "<key>PhoneNumber</key><string>+1 555 0100</string>";
    phone.keys = kApplications;
    phone.icons = {{"com.example.notes", "PNG-NOTES"}};
    phone.afc_files = {{"Books/iBooksData2.plist", "books"},
                       {"iTunes_Control/iTunes/iTunesPrefs", "prefs"},
                       {"iTunes_Control/iTunes/VoiceMemos.plist", "memos"}};
    phone.script = backup_script(
        {{"Backup", with(expect_request("<key>TargetIdentifier</key>" + str("PHONE1") +
                                        "<key>SourceIdentifier</key>" + str("PHONE1")),
                         finish_backup("PHONE1", "finished"))}});
    start(phone);

    ProcessResult first = backup2({"backup", dir()});
    EXPECT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_NE(first.out.find("Starting backup...\nBackup will be unencrypted.\nRequesting backup "
                             "from device...\nFull backup mode.\n"),
              std::string::npos)
        << first.out;
    EXPECT_NE(first.out.find("Received 1 files from device.\nBackup Successful.\n"),
              std::string::npos)
        << first.out;

    PlistPtr info = read_plist(dir() + "/PHONE1/Info.plist");
    ASSERT_TRUE(info);
    EXPECT_EQ(keys_of(info.get()),
              (std::vector<std::string>{"Applications", "Build Version", "Device Name",
                                        "Display Name", "GUID", "ICCID", "Installed Applications",
                                        "Last Backup Date", "Phone Number", "Product Type",
                                        "Product Version", "Serial Number", "Target Identifier",
                                        "Target Type", "Unique Identifier", "iBooks Data 2",
                                        "iTunes Files", "iTunes Settings", "iTunes Version"}));
    plist_t apps = plist_dict_get_item(info.get(), "Applications");
    EXPECT_EQ(keys_of(apps), (std::vector<std::string>{"com.example.notes", "com.example.maps"}));
    EXPECT_EQ(keys_of(plist_dict_get_item(apps, "com.example.notes")),
              (std::vector<std::string>{"ApplicationSINF", "PlaceholderIcon", "iTunesMetadata"}));
    EXPECT_EQ(keys_of(plist_dict_get_item(apps, "com.example.maps")),
              (std::vector<std::string>{"ApplicationSINF", "iTunesMetadata"}));
    plist_t installed = plist_dict_get_item(info.get(), "Installed Applications");
    ASSERT_EQ(plist_array_get_size(installed), 3u);  // user applications only
    EXPECT_EQ(keys_of(plist_dict_get_item(info.get(), "iTunes Files")),
              (std::vector<std::string>{"VoiceMemos.plist", "iTunesPrefs"}));
    EXPECT_EQ(string_at(info.get(), "Unique Identifier"), "PHONE1");
    EXPECT_EQ(string_at(info.get(), "Target Type"), "Device");
    EXPECT_EQ(string_at(info.get(), "iTunes Version"), "10.0.1");
    const std::string guid = string_at(info.get(), "GUID");
    EXPECT_EQ(guid.size(), 32u);
    EXPECT_EQ(guid.find_first_not_of("ABCDEF0123456789"), std::string::npos);
    // Written whole, with nothing left beside it.
    EXPECT_FALSE(std::filesystem::exists(dir() + "/PHONE1/Info.plist.tarvo-new"));
    EXPECT_EQ(
        lines_of(device_state("posted-notifications.txt")),
        (std::vector<std::string>{
            "com.apple.itunes-mobdev.syncWillStart", "com.apple.itunes-mobdev.syncLockRequest",
            "com.apple.itunes-mobdev.syncDidStart", "com.apple.itunes-mobdev.syncDidFinish"}));

    ProcessResult second = backup2({"backup", dir()});
    EXPECT_EQ(second.status, 0);
    EXPECT_NE(second.out.find("Incremental backup mode.\n"), std::string::npos) << second.out;
}

TEST_F(Tarvobackup2Commands, BackupVariants) {
    struct Case {
        const char *what;
        Args args;
        std::vector<std::string> steps;
        int status;
        std::string last_lines;  // found in the output
    };
    const std::vector<Case> cases = {
        {"--full asks for a full backup",
         {"backup", "--full"},
         with(expect_request("<key>Options</key><dict><key>ForceFullBackup</key><true/></dict>"),
              finish_backup("PHONE1", "finished")),
         0,
         "Enforcing full backup from device.\nBackup will be unencrypted.\nRequesting backup from "
         "device...\nFull backup mode.\n"},
        {"-s: the source's and the target's folders, Info.plist in the target's",
         {"-s", "OTHER", "backup"},
         with(expect_request("<key>TargetIdentifier</key>" + str("PHONE1") +
                             "<key>SourceIdentifier</key>" + str("OTHER")),
              finish_backup("PHONE1", "finished")),
         0,
         "Received 1 files from device.\nBackup Successful.\n"},
        {"the device says done, but Status.plist is not finished",
         {"backup"},
         finish_backup("PHONE1", "uploading"),
         0,
         "Received 1 files from device.\nBackup Failed (Error Code 0).\n"},
        {"the device's error",
         {"backup"},
         finish_backup("PHONE1", "uploading", 105),
         256 - 105,
         "Received 1 files from device.\nBackup Failed (Error Code 105).\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Phone phone;
        phone.script = backup_script({{"Backup", c.steps}});
        start(phone);
        std::filesystem::remove_all(dir() + "/PHONE1");
        std::filesystem::remove_all(dir() + "/OTHER");
        Args args = c.args;
        args.push_back(dir());
        ProcessResult r = backup2(args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.last_lines), std::string::npos) << r.out;
        EXPECT_TRUE(std::filesystem::exists(dir() + "/PHONE1/Info.plist"));
        if (c.args[0] == std::string("-s")) {
            EXPECT_TRUE(std::filesystem::is_directory(dir() + "/OTHER"));
            EXPECT_FALSE(std::filesystem::exists(dir() + "/OTHER/Info.plist"));
        }
    }
}

TEST_F(Tarvobackup2Commands, InfoPlistWithoutSpringboardAndWithoutOptionalValues) {
    Phone phone;
    phone.keys = kApplications +
                 "<key>MissingServices</key><array><string>com.apple.springboardservices</string>"
                 "</array>";
    phone.icons = {{"com.example.notes", "PNG-NOTES"}};
    phone.script = backup_script({{"Backup", finish_backup("PHONE1", "finished")}});
    start(phone);
    ProcessResult r = backup2({"backup", dir()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Couldn't establish sbservices connection. Continuing anyway.\n"),
              std::string::npos);
    PlistPtr info = read_plist(dir() + "/PHONE1/Info.plist");
    ASSERT_TRUE(info);
    plist_t apps = plist_dict_get_item(info.get(), "Applications");
    EXPECT_EQ(keys_of(plist_dict_get_item(apps, "com.example.notes")),
              (std::vector<std::string>{"ApplicationSINF", "iTunesMetadata"}));
    for (const char *absent : {"ICCID", "IMEI", "MEID", "Phone Number", "iBooks Data 2"}) {
        EXPECT_EQ(plist_dict_get_item(info.get(), absent), nullptr) << absent;
    }
    EXPECT_EQ(plist_dict_get_size(plist_dict_get_item(info.get(), "iTunes Files")), 0u);
    EXPECT_EQ(plist_dict_get_size(plist_dict_get_item(info.get(), "iTunes Settings")), 0u);
}

// A backup that cannot record what it is of sends nothing, and the last
// Info.plist stays as it was.
TEST_F(Tarvobackup2Commands, InfoPlistThatCannotBeWrittenStopsTheBackup) {
    start(Phone{});
    make_source_backup(dir(), "PHONE1", plist_document("<dict><key>Old</key><true/></dict>"), "");
    std::filesystem::create_directories(dir() + "/PHONE1/Info.plist.tarvo-new");
    ProcessResult r = backup2({"backup", dir()});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("ERROR: Could not write " + dir() + "/PHONE1/Info.plist: "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Requesting backup"), std::string::npos);
    EXPECT_EQ(read_text(dir() + "/PHONE1/Info.plist"),
              plist_document("<dict><key>Old</key><true/></dict>"));
}

TEST_F(Tarvobackup2Commands, SyncLock) {
    struct Case {
        const char *keys;
        int status;
        std::string err;
        bool did_finish;
    };
    const std::vector<Case> cases = {
        {"<key>SyncLockHeldByOtherHost</key><integer>3</integer>", 0, "", true},
        {"<key>SyncLockError</key><integer>10</integer>", 255,
         "ERROR: could not lock file! error code: 10\n", false},
        // 50 attempts 200 ms apart: about ten seconds.
        {"<key>SyncLockHeldByOtherHost</key><true/>", 255,
         "ERROR: timeout while locking for sync\n", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        Phone phone;
        phone.keys = c.keys;
        phone.script = backup_script({{"Backup", finish_backup("PHONE1", "finished")}});
        start(phone);
        ProcessResult r = backup2({"backup", dir()}, {.input = "", .timeout_ms = 40000});
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(r.err, c.err);
        const auto posted = lines_of(device_state("posted-notifications.txt"));
        EXPECT_EQ(std::count(posted.begin(), posted.end(), "com.apple.itunes-mobdev.syncDidFinish"),
                  c.did_finish ? 1 : 0);
    }
}

TEST_F(Tarvobackup2Commands, Restore) {
    const std::string with_apps = plist_document(
        "<dict><key>Applications</key><dict><key>com.example.notes</key><dict>"
        "<key>ApplicationSINF</key><data>U0lORg==</data></dict></dict></dict>");
    const std::string defaults =
        "<key>RestoreSystemFiles</key><false/><key>RestoreDontCopyBackup</key><true/>"
        "<key>RestorePreserveSettings</key><true/>";
    struct Case {
        const char *what;
        Args options;
        std::string info_plist;
        std::string expected_options;
        int error_code;
        std::string lines;
        bool apps_written;
    };
    const std::vector<Case> cases = {
        {"defaults, with the application list",
         {},
         with_apps,
         defaults,
         0,
         "Restoring system files: No\nRebooting after restore: Yes\nDon't copy backup: Yes\n"
         "Preserve settings of device: Yes\nRemove items that are not restored: No\n"
         "Backup password: No\nWrote RestoreApplications.plist\n"
         "The device should reboot now.\nRestore Successful.\n",
         true},
        {"every option",
         {"--system", "--no-reboot", "--copy", "--settings", "--remove", "--password", "pw"},
         with_apps,
         "<key>RestoreSystemFiles</key><true/><key>RestoreShouldReboot</key><false/>"
         "<key>RestorePreserveSettings</key><false/><key>RemoveItemsNotRestored</key><true/>"
         "<key>Password</key><string>pw</string>",
         0,
         "Restoring system files: Yes\nRebooting after restore: No\nDon't copy backup: No\n"
         "Preserve settings of device: No\nRemove items that are not restored: Yes\n"
         "Backup password: Yes\nWrote RestoreApplications.plist\nRestore Successful.\n",
         true},
        {"no Applications in Info.plist",
         {},
         plist_document("<dict/>"),
         defaults,
         0,
         "Backup password: No\nNo Applications in Info.plist, skipping creation of "
         "RestoreApplications.plist\nThe device should reboot now.\nRestore Successful.\n",
         false},
        {"--skip-apps",
         {"--skip-apps"},
         with_apps,
         defaults,
         0,
         "Backup password: No\nNot writing RestoreApplications.plist - apps will not be "
         "re-installed after restore\nThe device should reboot now.\nRestore Successful.\n",
         false},
        {"the device fails: what was written for it is removed",
         {},
         with_apps,
         defaults,
         5,
         "Backup password: No\nWrote RestoreApplications.plist\nErrorCode 5: (Unknown)\n"
         "Restore Failed (Error Code 5).\n",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Phone phone;
        phone.script = backup_script(
            {{"Restore",
              with(expect_request("<key>TargetIdentifier</key>" + str("PHONE1") +
                                  "<key>Options</key><dict>" + c.expected_options + "</dict>"),
                   {final_response(c.error_code)})}});
        start(phone);
        make_finished_backup(c.info_plist);
        Args args = {"restore"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(dir());
        ProcessResult r = backup2(args);
        EXPECT_EQ(r.status, c.error_code ? 256 - c.error_code : 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Starting Restore...\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), c.lines.size())), c.lines)
            << r.out;
        const std::string written = device_state("afc/iTunesRestore/RestoreApplications.plist");
        EXPECT_EQ(std::filesystem::exists(written), c.apps_written);
        if (c.apps_written) {
            PlistPtr apps = read_plist(written);
            ASSERT_TRUE(apps);
            EXPECT_EQ(keys_of(apps.get()), (std::vector<std::string>{"com.example.notes"}));
        }
        if (c.error_code) {
            EXPECT_FALSE(std::filesystem::exists(device_state("afc/iTunesRestore")));
        }
    }
}

TEST_F(Tarvobackup2Commands, RestoreNeedsAFinishedBackup) {
    start(Phone{});
    make_source_backup(dir(), "PHONE1", plist_document("<dict/>"), manifest(false));
    write_file(dir() + "/PHONE1/Status.plist",
               plist_document("<dict><key>SnapshotState</key><string>uploading</string></dict>"));
    ProcessResult r = backup2({"restore", dir()});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("ERROR: Cannot ensure we restore from a successful backup. Aborting.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Starting Restore"), std::string::npos);
}

TEST_F(Tarvobackup2Commands, UnbackAndCloud) {
    struct Case {
        const char *what;
        Args args;
        const char *request;
        std::string expected;
        int error_code;
        std::string lines;
    };
    const std::vector<Case> cases = {
        {"unback",
         {"unback"},
         "Unback",
         "<key>TargetIdentifier</key>" + str("PHONE1"),
         0,
         "Backup password: No\nThe files can now be found in the \"_unback_\" directory.\nUnback "
         "Successful.\n"},
        {"unback with a password",
         {"--password", "pw", "unback"},
         "Unback",
         "<key>Options</key><dict><key>Password</key><string>pw</string></dict>",
         0,
         "Backup password: Yes\nThe files can now be found in the \"_unback_\" directory.\nUnback "
         "Successful.\n"},
        // The device failed: no claim that the files are there.
        {"unback that the device ends with an error",
         {"unback"},
         "Unback",
         "",
         3,
         "Backup password: No\nErrorCode 3: (Unknown)\nUnback Failed (Error Code 3).\n"},
        {"cloud on",
         {"cloud", "on"},
         "EnableCloudBackup",
         "<key>Options</key><dict><key>CloudBackupState</key><true/></dict>",
         0,
         "Cloud backup has been enabled successfully.\n"},
        {"cloud off, refused",
         {"cloud", "off"},
         "EnableCloudBackup",
         "<key>Options</key><dict><key>CloudBackupState</key><false/></dict>",
         7,
         "ErrorCode 7: (Unknown)\nCould not disable cloud backup.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Phone phone;
        phone.script = backup_script(
            {{c.request, with(expect_request(c.expected), {final_response(c.error_code)})}});
        start(phone);
        make_finished_backup(plist_document("<dict/>"));
        Args args = c.args;
        args.push_back(dir());
        ProcessResult r = backup2(args);
        EXPECT_EQ(r.status, c.error_code ? 256 - c.error_code : 0) << r.out << r.err;
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), c.lines.size())), c.lines)
            << r.out;
    }
}

// A mistyped on/off sends nothing, whatever else the line holds.
TEST_F(Tarvobackup2Commands, MistypedSwitchWordsSendNothing) {
    Phone phone;
    phone.script = backup_script(
        {{"EnableCloudBackup", {final_response(0)}}, {"ChangePassword", {final_response(0)}}});
    start(phone);
    for (const Args &args :
         {Args{"cloud", "of"}, Args{"encryption", "no", "pw", "--password", "pw"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        ProcessResult r = backup2(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.out.find("ERROR: Nothing was sent to the device"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("successfully"), std::string::npos);
    }
}

TEST_F(Tarvobackup2Commands, PasswordsAtTheTerminal) {
    struct Case {
        const char *what;
        Args args;
        bool will_encrypt;
        std::string keys;
        std::string expected;  // the ChangePassword message's items; empty: nothing is sent
        std::string outcome;
    };
    const std::string target = "<key>TargetIdentifier</key>" + str("PHONE1");
    const std::vector<Case> cases = {
        {"encryption on",
         {"-i", "encryption", "on"},
         false,
         "pw\rpw\r",
         target + "<key>NewPassword</key>" + str("pw"),
         "Backup encryption has been enabled successfully."},
        {"an empty password is a password",
         {"-i", "encryption", "on"},
         false,
         "\r\r",
         target + "<key>NewPassword</key><string></string>",
         "Backup encryption has been enabled successfully."},
        {"entries that differ",
         {"-i", "encryption", "on"},
         false,
         "pw\rpx\r",
         "",
         "ERROR: passwords don't match\r\nNo backup password given. Aborting."},
        {"encryption off",
         {"-i", "encryption", "off"},
         true,
         "old\r",
         target + "<key>OldPassword</key>" + str("old"),
         "Backup encryption has been disabled successfully."},
        {"changepw",
         {"-i", "changepw"},
         true,
         "old\rnew\rnew\r",
         target + "<key>NewPassword</key>" + str("new") + "<key>OldPassword</key>" + str("old"),
         "Backup encryption password has been changed successfully."},
        {"already encrypted",
         {"encryption", "on", "pw"},
         true,
         "",
         "",
         "ERROR: Backup encryption is already enabled. Aborting."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Phone phone;
        phone.will_encrypt = c.will_encrypt;
        phone.script = backup_script(
            {{"ChangePassword", with(expect_request(c.expected), {final_response(0)})}});
        start(phone);
        Args argv = {"tarvobackup2"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        PtyResult r = run_on_pty(argv, c.keys.empty() ? "" : "password: ", c.keys);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, c.expected.empty() ? 255 : 0) << r.output;
        EXPECT_NE(r.output.find(c.outcome), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("pw\r"), std::string::npos) << "passwords are not echoed";
    }
}

TEST_F(Tarvobackup2Commands, PasscodeHintFromVersion13) {
    struct Case {
        const char *version;
        const char *configured;
        bool hint;
    };
    const Case cases[] = {
        {"12.5.7", "<true/>", false},
        {"13.0", "<true/>", true},
        {"13.0", "<false/>", false},
        // Newer systems mark MobileGestalt deprecated; the value still counts.
        {"17.5.1", "<true/>", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.configured);
        Phone phone;
        phone.product_version = c.version;
        phone.keys = std::string("<key>MobileGestalt</key><dict><key>PasswordConfigured</key>") +
                     c.configured + "</dict>";
        phone.script = backup_script({{"ChangePassword", {final_response(0)}}});
        start(phone);
        ProcessResult r = backup2({"encryption", "on", "pw"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("Please confirm enabling the backup encryption by entering the "
                             "passcode on the device.\n") != std::string::npos,
                  c.hint)
            << r.out;
    }
}

}  // namespace
