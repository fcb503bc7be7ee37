// Backups cut short, through the real tool and a simulated device that
// really backs itself up: the device vanishing or failing during an
// incremental backup, the tool killed at seeded moments, Ctrl-C during
// each long command, and a disk that fills up or turns read-only. After
// each, the last finished backup is still there and restorable, nothing
// half-written sits under a final name, and the next backup succeeds.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace mb2test;
namespace fs = std::filesystem;

constexpr const char *kUdid = "PHONE1";

// Forty files of a few KiB to a few hundred, so a slow device takes long
// enough for a kill or Ctrl-C to land part way.
std::map<std::string, std::string> first_files() {
    std::map<std::string, std::string> files;
    std::mt19937 bytes(11);
    for (int i = 0; i < 40; ++i) {
        const std::string domain = i % 3 == 0 ? "AppDomain-com.example.notes" : "HomeDomain";
        std::string content(static_cast<std::size_t>(2000 + (i * 7919) % 120000), '\0');
        for (char &c : content) {
            c = static_cast<char>(bytes());
        }
        files[domain + "/Library/Data/file" + std::to_string(i) + ".bin"] = content;
    }
    return files;
}

/// Every file below `root` by its path, as a digest: failures stay readable.
std::map<std::string, std::string> digests_below(const std::string &root) {
    std::map<std::string, std::string> digests;
    for (const auto &[path, content] : files_below(root)) {
        digests[path] = sha1_hex(content);
    }
    return digests;
}

class Tarvobackup2Interruptions : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string fixture = make_device(scratch_, kUdid);
        for (const auto &[path, text] : first_files()) {
            fs::create_directories(fs::path(fixture + "/content/" + path).parent_path());
            write_file(fixture + "/content/" + path, text);
        }
        sim_ = std::make_unique<SimHarness>(std::vector<std::string>{fixture});
        ASSERT_TRUE(sim_->ok()) << sim_->error();
    }
    std::string device(const std::string &relative = "") const {
        return sim_->state_dir() + "/devices/" + kUdid + "/" + relative;
    }
    std::string folder() const { return backups_ + "/" + kUdid; }
    ProcessResult run(Args args, const std::string &backups = "") {
        args.push_back(backups.empty() ? backups_ : backups);
        return backup2(args, {.input = "", .timeout_ms = 60000});
    }
    /// The device's next backup or restore plays these knobs once.
    void fault_once(const std::string &knobs) {
        write_file(
            device("backup-faults.plist"),
            plist_document("<dict><key>Times</key><integer>1</integer>" + knobs + "</dict>"));
    }
    /// Edits some files, adds one and deletes one on the device.
    void change_device(int round) {
        write_file(device("content/HomeDomain/Library/Data/file1.bin"),
                   "edited " + std::to_string(round));
        write_file(device("content/HomeDomain/Library/Data/new" + std::to_string(round) + ".txt"),
                   "new");
        fs::remove(device("content/HomeDomain/Library/Data/file2.bin"));
    }
    /// A restore of the folder's backup leaves the device holding `expected`.
    void expect_restores_to(const std::map<std::string, std::string> &expected,
                            const std::string &backups = "") {
        fs::remove_all(device("content"));
        fs::create_directories(device("content"));
        ProcessResult restore = run({"restore", "--system", "--no-reboot"}, backups);
        ASSERT_EQ(restore.status, 0) << restore.out << restore.err;
        EXPECT_EQ(digests_below(device("content")), expected) << restore.out;
    }
    /// Nothing the tool writes is left under a temporary name, and every
    /// plist under a final name reads whole.
    void expect_no_half_written_files(const std::string &root) {
        for (auto it = fs::recursive_directory_iterator(root);
             it != fs::recursive_directory_iterator(); ++it) {
            const std::string name = it->path().filename().string();
            EXPECT_EQ(name.find(".tarvo-"), std::string::npos) << it->path();
            if (name.ends_with(".plist")) {
                EXPECT_TRUE(read_plist(it->path().string())) << it->path();
            }
        }
    }

    ScratchDir scratch_;
    ScratchDir backup_root_;
    const std::string backups_ = backup_root_.path();
    std::unique_ptr<SimHarness> sim_;
};

std::string knob(const std::string &key, int value) {
    return "<key>" + key + "</key><integer>" + std::to_string(value) + "</integer>";
}

// Each cut point of an incremental backup into the last one's folder.
TEST_F(Tarvobackup2Interruptions, CutShortIncrementalBackupLeavesTheLastOneRestorable) {
    ASSERT_EQ(run({"backup"}).status, 0);
    const auto backed_up = digests_below(device("content"));
    const std::string cuts[] = {
        knob("DisconnectAfterBytes", 6),      // in Status.plist's name
        knob("DisconnectAfterBytes", 90000),  // in a file's data
        knob("DisconnectAfterFiles", 3),      // between files
        knob("DisconnectAfterMessages", 6),   // during a host request
        "<key>DisconnectBeforeResponse</key><true/>",
        knob("FinalErrorCode", 42),
    };
    int round = 0;
    for (const std::string &cut : cuts) {
        SCOPED_TRACE(cut);
        change_device(++round);
        fault_once(cut);
        ProcessResult cut_short = run({"backup"});
        EXPECT_NE(cut_short.status, 0) << cut_short.out;
        EXPECT_NE(cut_short.err.find("the last finished backup is back in place"),
                  std::string::npos)
            << cut_short.err;
        expect_no_half_written_files(backups_);
        expect_restores_to(backed_up);
    }
    change_device(++round);
    const auto now = digests_below(device("content"));
    ProcessResult next = run({"backup"});
    ASSERT_EQ(next.status, 0) << next.out;
    EXPECT_NE(next.out.find("Incremental backup mode."), std::string::npos);
    expect_restores_to(now);
}

// SIGKILL at twenty seeded moments of a slow backup: whatever the moment,
// the next backup completes and restores byte for byte.
TEST_F(Tarvobackup2Interruptions, KilledAtSeededMomentsTheNextBackupCompletes) {
    const std::string slow = knob("BytesPerSecond", 4 * 1024 * 1024);
    std::mt19937 moments(2026);
    std::map<std::string, std::string> expected;  // path -> digest
    for (int point = 0; point < 20; ++point) {
        SCOPED_TRACE(point);
        if (point % 2 == 1) {
            change_device(point);
        }
        expected = digests_below(device("content"));
        fault_once(slow);
        {
            RunningTool tool({"backup", backups_});
            ASSERT_TRUE(tool.started());
            usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, 900)(moments)) *
                   1000);
            tool.signal(SIGKILL);
            tool.finish();
        }
        for (const char *plist : {"Info.plist", "Status.plist", "Manifest.plist"}) {
            if (fs::exists(folder() + "/" + plist)) {
                EXPECT_TRUE(read_plist(folder() + "/" + plist)) << plist;
            }
        }
        ProcessResult next = run({"backup"});
        ASSERT_EQ(next.status, 0) << next.out << next.err;
        EXPECT_NE(next.out.find("Backup Successful."), std::string::npos);
    }
    expect_no_half_written_files(backups_);
    expect_restores_to(expected);
}

// Ctrl-C while each long command moves files: "Exiting...", and the
// backup folder holds no leftovers; a cut backup leaves the last one.
TEST_F(Tarvobackup2Interruptions, CtrlCDuringBackupRestoreAndUnback) {
    ASSERT_EQ(run({"backup"}).status, 0);
    const auto backed_up = digests_below(device("content"));
    const Args commands[] = {
        {"backup", "--full"}, {"restore", "--system", "--no-reboot"}, {"unback"}};
    for (const Args &command : commands) {
        SCOPED_TRACE(command.front());
        fault_once(knob("BytesPerSecond", 256 * 1024) +
                   "<key>Requests</key><array><string>Backup</string><string>Restore</string>"
                   "<string>Unback</string></array>");
        Args args = command;
        args.push_back(backups_);
        RunningTool tool(args);
        ASSERT_TRUE(tool.started());
        usleep(400 * 1000);
        tool.signal(SIGINT);
        ProcessResult r = tool.finish();
        EXPECT_FALSE(r.timed_out);
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_NE(r.err.find("Exiting..."), std::string::npos) << r.err;
        expect_no_half_written_files(backups_);
    }
    expect_restores_to(backed_up);
}

// A disk of its own (a small tmpfs), where the test may mount one.
class MountedBackupRoot {
  public:
    explicit MountedBackupRoot(const std::string &path, const char *size) : path_(path) {
        fs::create_directories(path);
        const std::string options = std::string("size=") + size;
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~MountedBackupRoot() {
        if (mounted_) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    /// A read-only view of the disk over it, so that what is open for
    /// writing goes on but nothing new can be written.
    bool remount_read_only() {
        return ::mount(path_.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               ::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                       nullptr) == 0;
    }
    bool remount_writable() { return ::umount2(path_.c_str(), 0) == 0; }

  private:
    std::string path_;
    bool mounted_ = false;
};

// The disk fills up, or turns read-only, while a backup is written: the
// tool says so and fails, leaves nothing half-written under a final name,
// and once there is room again a backup succeeds and restores.
TEST_F(Tarvobackup2Interruptions, DiskFullOrReadOnlyHalfway) {
    const std::string root = scratch_.path() + "/disk";
    MountedBackupRoot disk(root, "8m");
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here (needs the right to mount)";
    }
    std::map<std::string, std::string> device_files;
    for (const auto &[path, content] : first_files()) {
        device_files[path] = sha1_hex(content);
    }
    for (const char *what : {"full", "read-only"}) {
        SCOPED_TRACE(what);
        fault_once(knob("BytesPerSecond", 1024 * 1024));
        RunningTool tool({"backup", root});
        ASSERT_TRUE(tool.started());
        ASSERT_TRUE(tool.wait_for_stdout("Receiving files"));
        if (std::string(what) == "full") {
            // Fill what is left; the device checked for room before it began.
            std::ofstream filler(root + "/filler", std::ios::binary);
            const std::string block(64 * 1024, 'f');
            while (filler.write(block.data(), block.size())) {
            }
        } else {
            ASSERT_TRUE(disk.remount_read_only());
        }
        ProcessResult r = tool.finish(60000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("Backup Successful."), std::string::npos) << r.out;
        if (std::string(what) == "read-only") {
            ASSERT_TRUE(disk.remount_writable());
        }
        fs::remove(root + "/filler");
        expect_no_half_written_files(root);
    }
    ProcessResult again = run({"backup"}, root);
    ASSERT_EQ(again.status, 0) << again.out;
    expect_restores_to(device_files, root);
}

// A content file the host cannot read during a restore: the restore fails
// and says which, and the backup folder is left as it was.
TEST_F(Tarvobackup2Interruptions, UnreadableFileDuringARestore) {
    ASSERT_EQ(run({"backup"}).status, 0);
    const std::string id = sha1_hex("HomeDomain-Library/Data/file4.bin");
    const std::string content = folder() + "/" + id.substr(0, 2) + "/" + id;
    ASSERT_TRUE(fs::exists(content));
    fs::remove(content);
    fs::create_directory(content);  // a folder in its place cannot be read as a file
    ProcessResult restore = run({"restore", "--system", "--no-reboot"});
    EXPECT_NE(restore.status, 0) << restore.out;
    EXPECT_NE(restore.out.find("Library/Data/file4.bin"), std::string::npos) << restore.out;
    EXPECT_TRUE(fs::is_directory(content));
    EXPECT_TRUE(read_plist(folder() + "/Status.plist"));
}

}  // namespace
