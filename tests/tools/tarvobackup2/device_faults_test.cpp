// tarvobackup2 against a device whose backup engine misbehaves through its
// fault knobs: it vanishes part way through (between files, inside a name,
// a frame header or a data block, during a host request, before its final
// Response), reports an error once its work is done, or is slow. Each time
// the tool ends by itself, with a non-zero status unless the device still
// finished, and the next run with the fault gone succeeds.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace mb2test;
namespace fs = std::filesystem;

const std::vector<std::pair<std::string, std::string>> kDeviceFiles = {
    {"HomeDomain/Library/Notes/a.txt", "first notes"},
    {"HomeDomain/Library/Notes/b.txt", std::string(40000, 'b')},  // two data frames
    {"MediaDomain/DCIM/100APPLE/IMG_0001.JPG", std::string(70000, 'j')},
    {"AppDomain-com.example.notes/Documents/c.txt", "an app's document"},
};

struct FaultCase {
    const char *what;
    Args command;              // the backup folder follows
    std::string knobs;         // backup-faults.plist's keys besides "Times"
    bool completes = false;    // the device still finishes (a slow one)
    const char *printed = "";  // what the tool prints of it
};

std::string knob(const std::string &key, int value) {
    return "<key>" + key + "</key><integer>" + std::to_string(value) + "</integer>";
}
std::string only(const std::string &request) {
    return "<key>Requests</key><array><string>" + request + "</string></array>";
}

// The first upload of a backup into PHONE1 is "PHONE1/Status.plist": its
// stream opens with two names of 4 + 19 bytes, then a frame header of 5.
// A backup into an empty folder sends DownloadFiles, GetFreeDiskSpace and
// then CreateDirectory; a restore downloads Status.plist, Manifest.plist
// and Manifest.db before the content files.
const FaultCase kCases[] = {
    {.what = "between files", .command = {"backup"}, .knobs = knob("DisconnectAfterFiles", 2)},
    {.what = "inside a file name", .command = {"backup"}, .knobs = knob("DisconnectAfterBytes", 6)},
    {.what = "inside a frame header",
     .command = {"backup"},
     .knobs = knob("DisconnectAfterBytes", 48)},
    {.what = "inside a data block",
     .command = {"backup"},
     .knobs = knob("DisconnectAfterBytes", 61)},
    {.what = "during a CreateDirectory",
     .command = {"backup"},
     .knobs = knob("DisconnectAfterMessages", 3)},
    {.what = "before the final Response",
     .command = {"backup"},
     .knobs = "<key>DisconnectBeforeResponse</key><true/>"},
    {.what = "an error in the final Response",
     .command = {"backup"},
     .knobs = knob("FinalErrorCode", 42) +
              "<key>FinalErrorDescription</key><string>the device fell over</string>",
     .printed = "ErrorCode 42: the device fell over\n"},
    {.what = "a restore cut during a download",
     .command = {"restore", "--system", "--no-reboot"},
     .knobs = knob("DisconnectAfterMessages", 5) + only("Restore")},
    {.what = "an unback cut between files",
     .command = {"unback"},
     .knobs = knob("DisconnectAfterFiles", 1) + only("Unback")},
    {.what = "a slow device",
     .command = {"backup"},
     .knobs = knob("BytesPerSecond", 262144),
     .completes = true},
};

TEST(Tarvobackup2DeviceFaults, ToolEndsByItselfAndTheNextRunSucceeds) {
    ScratchDir scratch;
    const std::string fixture = make_device(scratch, "PHONE1");
    for (const auto &[path, content] : kDeviceFiles) {
        fs::create_directories(fs::path(fixture + "/content/" + path).parent_path());
        write_file(fixture + "/content/" + path, content);
    }
    SimHarness sim({fixture});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string faults = sim.state_dir() + "/devices/PHONE1/backup-faults.plist";

    for (const FaultCase &c : kCases) {
        SCOPED_TRACE(c.what);
        ScratchDir backups;
        auto run = [&backups](Args args) {
            args.push_back(backups.path());
            return backup2(args, {.input = "", .timeout_ms = 60000});
        };
        if (c.command.front() != "backup") {
            ASSERT_EQ(run({"backup"}).status, 0);
        }
        write_file(faults, plist_document("<dict><key>Times</key><integer>1</integer>" + c.knobs +
                                          "</dict>"));
        const ProcessResult faulted = run(c.command);
        EXPECT_FALSE(faulted.timed_out);
        EXPECT_EQ(faulted.status == 0, c.completes) << faulted.status << "\n" << faulted.out;
        EXPECT_NE(faulted.out.find(c.printed), std::string::npos) << faulted.out;
        EXPECT_FALSE(fs::exists(faults));
        const ProcessResult again = run(c.command);
        EXPECT_EQ(again.status, 0) << again.out;
    }
}

}  // namespace
