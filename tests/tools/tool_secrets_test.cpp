// Secrets through the real tools against the simulator: the modes of what
// the pair-record store, the simulated device and the backup tool write
// under an open umask, and debug traces (the tool's -d and the simulator's)
// of requests that carry passwords.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tarvobackup2/e2e_support.h"

namespace {

using namespace mb2test;

constexpr const char *kUdid = "SECRETS1";

// A phone with one file of content, backup encryption as given, a quick
// keybag and, when given, a backup script.
std::string make_phone(const ScratchDir &scratch, bool will_encrypt, const std::string &script) {
    const std::string keys =
        std::string("<key>UniqueDeviceID</key><string>") + kUdid +
        "</string><key>ConnectionType</key><string>USB</string>"
        "<key>GlobalDomain</key><dict><key>DeviceName</key><string>Secret Phone</string>"
        "<key>ProductType</key><string>iPhone15,2</string>"
        "<key>ProductVersion</key><string>17.5.1</string><key>UniqueDeviceID</key><string>" +
        kUdid +
        "</string></dict><key>Domains</key><dict><key>com.apple.mobile.backup</key><dict>"
        "<key>WillEncrypt</key>" +
        (will_encrypt ? "<true/>" : "<false/>") +
        "<key>BackupDPIC</key><integer>1</integer></dict></dict>" +
        SimHarness::bundled_private_key_xml();
    const std::string dir =
        SimHarness::make_fixture(scratch.path(), SimHarness::device_plist(keys));
    std::filesystem::create_directories(dir + "/content/HomeDomain/Library/Notes");
    write_file(dir + "/content/HomeDomain/Library/Notes/note.txt", "a note");
    if (!script.empty()) {
        write_file(dir + "/backup-script.plist", script);
    }
    return dir;
}

unsigned mode_of(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class UmaskZero {
  public:
    UmaskZero() : saved_(::umask(0)) {}
    ~UmaskZero() { ::umask(saved_); }

  private:
    mode_t saved_;
};

TEST(ToolSecrets, WrittenFilesKeepTheirModesUnderAnOpenUmask) {
    // The simulator runs in this process and the tools inherit the umask.
    UmaskZero open_umask;
    ScratchDir scratch;
    ScratchDir backups;
    SimHarness sim({make_phone(scratch, false, "")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    for (const Args &args :
         {Args{"tarvopair", "pair"}, Args{"tarvobackup2", "encryption", "on", "pw"},
          Args{"tarvobackup2", "backup", backups.path()}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        ProcessResult r = run_process(args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    const std::string state = sim.state_dir();
    const std::string device = state + "/devices/" + kUdid;
    const std::string backup = backups.path() + "/" + kUdid;
    // The device keeps its keybag and class keys in its state file.
    ASSERT_NE(read_text(device + "/state.plist").find("ClassKeys"), std::string::npos);
    struct Case {
        std::string path;
        unsigned mode;
    };
    std::vector<Case> cases = {
        {state, 0700},
        {state + "/SystemConfiguration.plist", 0600},
        {state + "/" + kUdid + ".plist", 0600},
        {state + "/devices", 0700},
        {device, 0700},
        {device + "/state.plist", 0600},
        {backup, 0755},
    };
    // The folders the device asked for inside its backup.
    for (const auto &entry : std::filesystem::directory_iterator(backup)) {
        if (entry.is_directory()) {
            cases.push_back({entry.path().string(), 0755});
        }
    }
    ASSERT_GT(cases.size(), 7u) << "the backup made no folder";
    for (const Case &c : cases) {
        EXPECT_EQ(mode_of(c.path), c.mode) << c.path;
    }
}

TEST(ToolSecrets, DebugTracesShowNoPassword) {
    struct Case {
        const char *what;
        Args args;  // "DIR" is the backup folder
        bool will_encrypt;
        const char *request;
        std::vector<std::string> passwords;
    };
    const std::vector<Case> cases = {
        {"encryption on", {"encryption", "on", "Pw-On-71"}, false, "ChangePassword", {"Pw-On-71"}},
        {"encryption off",
         {"encryption", "off", "Pw-Off-72"},
         true,
         "ChangePassword",
         {"Pw-Off-72"}},
        {"changepw",
         {"changepw", "Pw-Old-73", "Pw-New-74"},
         true,
         "ChangePassword",
         {"Pw-Old-73", "Pw-New-74"}},
        {"restore", {"restore", "--password", "Pw-Rs-75", "DIR"}, false, "Restore", {"Pw-Rs-75"}},
        {"unback", {"--password", "Pw-Ub-76", "unback", "DIR"}, false, "Unback", {"Pw-Ub-76"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        ScratchDir backups;
        const std::string script = backup_script({{c.request, {final_response(0)}}});
        ::setenv("TARVO_SIM_DEBUG", "1", 1);
        SimHarness sim({make_phone(scratch, c.will_encrypt, script)});
        ::unsetenv("TARVO_SIM_DEBUG");
        ASSERT_TRUE(sim.ok()) << sim.error();
        make_source_backup(backups.path(), kUdid, plist_document("<dict/>"), manifest(false));
        write_file(
            backups.path() + "/" + kUdid + "/Status.plist",
            plist_document("<dict><key>SnapshotState</key><string>finished</string></dict>"));
        Args args = {"-d"};
        for (const std::string &arg : c.args) {
            args.push_back(arg == "DIR" ? backups.path() : arg);
        }

        ::testing::internal::CaptureStderr();
        ProcessResult r = backup2(args);
        const std::string trace = ::testing::internal::GetCapturedStderr();

        EXPECT_EQ(r.status, 0) << r.out << r.err;
        // Both traces did show the request, with its passwords redacted.
        EXPECT_NE(r.err.find("<string>" + std::string(c.request) + "</string>"), std::string::npos);
        EXPECT_NE(r.err.find("<string>(redacted)</string>"), std::string::npos);
        EXPECT_NE(trace.find(std::string("MessageName: \"") + c.request + "\""), std::string::npos)
            << trace;
        for (const std::string &password : c.passwords) {
            EXPECT_EQ(r.err.find(password), std::string::npos) << "tool trace";
            EXPECT_EQ(r.out.find(password), std::string::npos) << "tool output";
            EXPECT_EQ(trace.find(password), std::string::npos) << "simulator trace";
        }
    }
}

}  // namespace
