// tarvobackup2 end to end, up to the command: directory checks, the device,
// the source backup's files, the backup password, the lockdown session, the
// services and the protocol version, each failure with its message.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace mb2test;

const std::string kSetUpLines =
    "Negotiated Protocol Version 2.1\n";  // after the "Started ..." line, whose port varies

// The informational lines of a set-up that reached the command, with the
// port of the backup service blanked out.
std::string without_port(const std::string &out) {
    const std::string marker = "service on port ";
    std::string text = out;
    size_t at = text.find(marker);
    if (at != std::string::npos) {
        size_t end = text.find('.', at);
        text.replace(at + marker.size(), end - at - marker.size(), "N");
    }
    return text;
}

const std::string kStarted = "Started \"com.apple.mobilebackup2\" service on port N.\n";

class Tarvobackup2Session : public ::testing::Test {
  protected:
    ScratchDir scratch;
    ScratchDir backups;
};

// Checks made before any device is looked for.
TEST_F(Tarvobackup2Session, BackupDirectoryChecks) {
    ProcessResult missing = backup2({"backup"});
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.out.rfind("No target backup directory specified.\nUsage: tarvobackup2", 0),
              0u);

    const std::string gone = backups.path() + "/gone";
    ProcessResult absent = backup2({"info", gone});
    EXPECT_EQ(absent.status, 255);
    EXPECT_EQ(absent.out, "ERROR: Backup directory \"" + gone + "\" does not exist!\n");
    EXPECT_EQ(absent.err, "");
}

TEST_F(Tarvobackup2Session, NoDevice) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok()) << sim.error();

    ProcessResult by_udid = backup2({"-u", "NOPE", "info", backups.path()});
    EXPECT_EQ(by_udid.status, 255);
    EXPECT_EQ(by_udid.out, "No device found with udid NOPE.\n");
    EXPECT_EQ(by_udid.err, "Attached over USB: PHONE1\n");

    ProcessResult network = backup2({"-n", "list", backups.path()});
    EXPECT_EQ(network.status, 255);
    EXPECT_EQ(network.out, "No device found.\n");
    EXPECT_EQ(network.err, "No device is attached on the network.\n");

    // a directory is not needed for these, and any kind of file passes for the others
    ProcessResult cloud = backup2({"-u", "NOPE", "cloud", "on"});
    EXPECT_EQ(cloud.out, "No device found with udid NOPE.\n");
    const std::string file = backups.path() + "/plain-file";
    write_file(file, "x");
    ProcessResult on_file = backup2({"-u", "NOPE", "backup", file});
    EXPECT_EQ(on_file.out, "No device found with udid NOPE.\n");
}

TEST_F(Tarvobackup2Session, SourceBackupMustHoldInfoAndManifest) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string dir = backups.path();
    const std::string no_info = "ERROR: Backup directory \"" + dir +
                                "\" is invalid. No Info.plist found for UDID PHONE1.\n";
    const std::string no_manifest = "ERROR: Backup directory \"" + dir +
                                    "\" is invalid. No Manifest.plist found for UDID PHONE1.\n";

    for (const char *command : {"restore", "unback"}) {
        SCOPED_TRACE(command);
        ProcessResult empty = backup2({command, dir});
        EXPECT_EQ(empty.status, 255);
        EXPECT_EQ(empty.out, no_info);

        make_source_backup(dir, "PHONE1", plist_document("<dict/>"), "");
        ProcessResult manifest_missing = backup2({command, dir});
        EXPECT_EQ(manifest_missing.out, no_manifest);

        write_file(dir + "/PHONE1/Manifest.plist", "not a property list");
        ProcessResult manifest_garbage = backup2({command, dir});
        EXPECT_EQ(manifest_garbage.out, no_manifest);
        std::filesystem::remove_all(dir + "/PHONE1");
    }

    // -s names the subdirectory that is read
    make_source_backup(dir, "OTHER", plist_document("<dict/>"), manifest(false));
    ProcessResult wrong_source = backup2({"restore", dir});
    EXPECT_EQ(wrong_source.out, no_info);
    ProcessResult other = backup2({"-s", "OTHER", "restore", dir});
    EXPECT_EQ(other.status, 255);
    EXPECT_EQ(without_port(other.out), "Backup directory is \"" + dir + "\"\n" + kStarted +
                                           kSetUpLines +
                                           "Reading Info.plist from backup.\n"
                                           "Could not read Status.plist!\n"
                                           "ERROR: Cannot ensure we restore from a successful "
                                           "backup. Aborting.\n");
    EXPECT_EQ(other.err, "");
}

TEST_F(Tarvobackup2Session, SetUpReachesTheCommand) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string dir = backups.path();
    const std::string named_dir = "Backup directory is \"" + dir + "\"\n";

    // The device has no script for any request: it answers the cloud switch
    // and the password itself, as devices do.
    struct Case {
        Args args;
        int status;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"cloud", "off"},
         0,
         kStarted + kSetUpLines + "Cloud backup has been disabled successfully.\n"},
        // the directory of these is a placeholder: a missing one is no error
        {{"cloud", "on", dir + "/missing"},
         0,
         kStarted + kSetUpLines + "Cloud backup has been enabled successfully.\n"},
        {{"-i", "changepw"},
         255,
         kStarted + kSetUpLines +
             "ERROR: Backup encryption is not enabled so can't change password. Aborting.\n"},
        {{"encryption", "on", "secret"},
         0,
         kStarted + kSetUpLines + "Backup encryption has been enabled successfully.\n"},
        // off again, so the backups below are plain
        {{"encryption", "off", "secret"},
         0,
         kStarted + kSetUpLines + "Backup encryption has been disabled successfully.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ProcessResult r = backup2(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(without_port(r.out), c.out);
        EXPECT_EQ(r.err, "");
    }

    // A first backup: no subdirectory yet, so no Info.plist is read; the
    // device then backs itself up.
    ProcessResult backup = backup2({"backup", dir});
    EXPECT_EQ(backup.status, 0) << backup.out;
    EXPECT_EQ(without_port(backup.out)
                  .rfind(named_dir + kStarted + kSetUpLines +
                             "Starting backup...\nBackup will be unencrypted.\nRequesting backup "
                             "from device...\nFull backup mode.\n",
                         0),
              0u)
        << backup.out;
}

TEST_F(Tarvobackup2Session, PasswordsForEncryptionCommands) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string refusal =
        "ERROR: Can't get password input in non-interactive mode. Either pass password(s) on the "
        "command line, or enable interactive mode with -i or --interactive.\n";
    for (const Args &args : {Args{"encryption", "on"}, Args{"encryption", "off"}, Args{"changepw"},
                             Args{"encryption", "maybe", "pw"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        ProcessResult r = backup2(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.out.find(refusal), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Started"), std::string::npos);
    }
}

TEST_F(Tarvobackup2Session, EncryptedSourceBackupNeedsAPassword) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string dir = backups.path();
    make_source_backup(dir, "PHONE1", plist_document("<dict/>"), manifest(true));
    const std::string head = "Backup directory is \"" + dir + "\"\nThis is an encrypted backup.\n";

    ProcessResult unback = backup2({"unback", dir});
    EXPECT_EQ(unback.status, 255);
    EXPECT_EQ(unback.out, head +
                              "ERROR: a backup password is required to unback an encrypted "
                              "backup. Cannot continue.\n");
    EXPECT_EQ(unback.err, "");

    ProcessResult restore = backup2({"restore", dir});
    EXPECT_EQ(restore.out, head +
                               "ERROR: a backup password is required to restore an encrypted "
                               "backup. Cannot continue.\n");

    // an empty entry at the prompt is no password
    ProcessResult empty = backup2({"-i", "unback", dir}, {.input = "\n"});
    EXPECT_EQ(empty.status, 255);
    EXPECT_EQ(empty.err, "Enter backup password: \n");
    EXPECT_NE(empty.out.find("ERROR: a backup password is required to unback"), std::string::npos);

    ProcessResult typed = backup2({"-i", "unback", dir}, {.input = "pw\n"});
    // the device's own answer: this source backup's Status.plist is not finished
    EXPECT_EQ(typed.status, 154);
    EXPECT_EQ(without_port(typed.out), head + kStarted + kSetUpLines +
                                           "Reading Info.plist from backup.\n"
                                           "Starting to unpack backup...\nBackup password: Yes\n"
                                           "ErrorCode 102: there is no finished backup in "
                                           "\"PHONE1\"\n"
                                           "Unback Failed (Error Code 102).\n");
    EXPECT_EQ(typed.err, "Enter backup password: **\n");

    // a password on the command line is not asked for again
    ProcessResult given = backup2({"-i", "--password", "pw", "restore", dir});
    EXPECT_EQ(given.err, "");

    // an unencrypted backup needs none, and an unreadable Info.plist is only reported
    make_source_backup(dir, "PHONE1", "garbage", manifest(false));
    ProcessResult plain = backup2({"restore", dir});
    EXPECT_EQ(without_port(plain.out), "Backup directory is \"" + dir + "\"\n" + kStarted +
                                           kSetUpLines +
                                           "Reading Info.plist from backup.\n"
                                           "Could not read Info.plist\n"
                                           "Could not read Status.plist!\n"
                                           "ERROR: Cannot ensure we restore from a successful "
                                           "backup. Aborting.\n");
}

// A signal that arrives before the command is looked at once the protocol
// version is agreed: the tool stops there, and the command never runs.
TEST_F(Tarvobackup2Session, SignalBeforeTheCommandStopsAfterTheVersionExchange) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string dir = backups.path();
    make_source_backup(dir, "PHONE1", plist_document("<dict/>"), manifest(true));

    RunningTool tool({"-i", "unback", dir}, true);
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(tool.wait_for_stderr("Enter backup password: "));
    tool.signal(SIGINT);
    ASSERT_TRUE(tool.wait_for_stderr("Exiting...\n"));
    // the entry goes on after the signal
    tool.type("pw\n");
    ProcessResult r = tool.finish();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(without_port(r.out), "Backup directory is \"" + dir +
                                       "\"\nThis is an encrypted backup.\n" + kStarted +
                                       kSetUpLines + "Aborting as requested by user...\n");
    EXPECT_EQ(r.err, "Enter backup password: Exiting...\n**\n");
}

TEST_F(Tarvobackup2Session, LockdownRefused) {
    SimHarness sim({make_device(scratch, "DENIES", policy_xml("deny"))});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ProcessResult r = backup2({"info", backups.path()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "ERROR: Could not connect to lockdownd, error code -18\n");
}

TEST_F(Tarvobackup2Session, BackupServiceRefused) {
    for (const std::string fault : {"Close", "NotPlist", "Truncated"}) {
        SCOPED_TRACE(fault);
        const std::string faults =
            "<key>Faults</key><dict><key>StartService</key><dict><key>Fault</key><string>" + fault +
            "</string><key>Service</key><string>com.apple.mobilebackup2</string></dict></dict>";
        SimHarness sim({make_device(scratch, "REFUSE" + fault, faults)});
        ASSERT_TRUE(sim.ok()) << sim.error();
        ProcessResult r = backup2({"backup", backups.path()});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "Backup directory is \"" + backups.path() +
                             "\"\nERROR: Could not start service com.apple.mobilebackup2.\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Tarvobackup2Session, ProtocolVersionExchange) {
    struct Case {
        std::string keys;
        std::string out;
    } cases[] = {
        {"<key>BackupProtocolVersions</key><array><real>3.0</real></array>",
         "Could not perform backup protocol version exchange, error code -8\n"},
        // a device-link version the library does not speak leaves no client at all
        {"<key>DeviceLinkVersion</key><integer>100</integer>",
         "Could not perform backup protocol version exchange, error code -1\n"},
        // the older version alone is still agreed on
        {"<key>BackupProtocolVersions</key><array><real>2.0</real></array>",
         "Negotiated Protocol Version 2.0\n"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        SimHarness sim({make_device(scratch, "VERSION" + std::to_string(n++), c.keys)});
        ASSERT_TRUE(sim.ok()) << sim.error();
        ProcessResult r = backup2({"-i", "changepw"});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(without_port(r.out).rfind(kStarted + c.out, 0), 0u) << r.out;
    }
}

}  // namespace
