// tarvobackup2's data path end to end: the simulated device's backup script
// creates directories, uploads files, asks for some back, moves, copies,
// lists and removes them, and checks every answer the tool gives; the test
// then looks at the backup directory the tool left.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace mb2test;

std::string transfer_read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string str(const std::string &text) {
    return "<string>" + text + "</string>";
}

std::string request_step(const std::string &name, const std::string &arguments, int code) {
    return send(message(name, arguments)) + expect_status(code);
}

std::string upload_step(const std::string &files, int expect_code) {
    return "<dict><key>UploadFiles</key><array>" + files +
           "</array><key>ExpectCode</key><integer>" + std::to_string(expect_code) +
           "</integer></dict>";
}

std::string upload_file(const std::string &local, const std::string &content_keys) {
    return "<dict><key>DevicePath</key>" + str("/var/mobile/" + local) + "<key>LocalPath</key>" +
           str(local) + content_keys + "</dict>";
}

class Tarvobackup2TransferSim : public ::testing::Test {
  protected:
    ProcessResult run_script(const std::vector<std::string> &steps) {
        sim_ = std::make_unique<SimHarness>(std::vector<std::string>{
            device_with_script(scratch_, "PHONE1", backup_script({{"Info", steps}}))});
        EXPECT_TRUE(sim_->ok()) << sim_->error();
        return backup2({"info", backups_.path()});
    }
    std::string in_backup(const std::string &relative) const {
        return backups_.path() + "/" + relative;
    }

    ScratchDir scratch_;
    ScratchDir backups_;
    std::unique_ptr<SimHarness> sim_;
};

TEST_F(Tarvobackup2TransferSim, ScriptedBackupExchange) {
    const std::vector<std::string> steps = {
        request_step("DLMessageCreateDirectory", str("PHONE1/ab"), 0),
        request_step("DLMessageGetFreeDiskSpace", "", 0),
        upload_step(upload_file("PHONE1/ab/one", "<key>Data</key><data>aGVsbG8=</data>") +
                        upload_file("PHONE1/ab/big",
                                    "<key>Size</key><integer>70000</integer>"
                                    "<key>Blocks</key><array><integer>30000</integer>"
                                    "<integer>32768</integer></array>") +
                        upload_file("PHONE1/ab/failed",
                                    "<key>Size</key><integer>0</integer>"
                                    "<key>Close</key><integer>11</integer>"
                                    "<key>ErrorText</key><string>gone</string>"),
                    0),
        "<dict><key>DownloadFiles</key><array>" + str("PHONE1/ab/one") + str("PHONE1/ab/missing") +
            "</array><key>Expect</key><array>"
            "<dict><key>Path</key>" +
            str("PHONE1/ab/one") +
            "<key>Data</key><data>aGVsbG8=</data></dict>"
            "<dict><key>Path</key>" +
            str("PHONE1/ab/missing") +
            "<key>Missing</key><true/></dict>"
            "</array></dict>",
        request_step("DLMessageMoveFiles",
                     "<dict><key>PHONE1/ab/one</key>" + str("PHONE1/ab/moved") +
                         "</dict><dict/><real>10</real>",
                     0),
        request_step("DLMessageCopyItem", str("PHONE1/ab/moved") + str("PHONE1/copy"), 0),
        request_step("DLMessageRemoveFiles",
                     "<array>" + str("PHONE1/ab/big") + str("PHONE1/ab/never-there") +
                         "</array><dict/><real>20</real>",
                     0),
        request_step("DLContentsOfDirectory", str("PHONE1/ab"), 0),
        request_step("DLMessageCreateDirectory", str("PHONE1/ab/moved/sub"), -8),
        final_response(0),
    };
    ProcessResult result = run_script(steps);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out,
              "\nReceived an error message from device: gone\n"
              "mkdir: Not a directory (20)\n");
    EXPECT_EQ(transfer_read(in_backup("PHONE1/ab/moved")), "hello");
    EXPECT_EQ(transfer_read(in_backup("PHONE1/copy")), "hello");
    EXPECT_FALSE(std::filesystem::exists(in_backup("PHONE1/ab/big")));
    EXPECT_TRUE(std::filesystem::exists(in_backup("PHONE1/ab/failed")));
}

TEST_F(Tarvobackup2TransferSim, HostileUploadIsRefusedAndTheSessionGoesOn) {
    // Answered like EACCES. As with any file that cannot be created, the
    // rest of that stream is read and dropped, so the device can go on.
    ProcessResult result = run_script({
        upload_step(upload_file("../escaped", "<key>Data</key><data>aGVsbG8=</data>") +
                        upload_file("dropped", "<key>Data</key><data>aGVsbG8=</data>"),
                    -1),
        request_step("DLMessageCreateDirectory", str("PHONE1/next"), 0),
        final_response(0),
    });
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out,
              "ERROR: Refusing path '../escaped' from the device: a \"..\" component\n");
    EXPECT_FALSE(std::filesystem::exists(backups_.path() + "/../escaped"));
    EXPECT_FALSE(std::filesystem::exists(in_backup("dropped")));
    EXPECT_TRUE(std::filesystem::is_directory(in_backup("PHONE1/next")));
}

TEST_F(Tarvobackup2TransferSim, UploadedContentArrivesWhole) {
    // Blocks of odd sizes, each checked against the device's pattern.
    ProcessResult result = run_script({
        upload_step(upload_file("f1",
                                "<key>Size</key><integer>100000</integer>"
                                "<key>Blocks</key><array><integer>1</integer>"
                                "<integer>32768</integer><integer>777</integer></array>") +
                        upload_file("f2", "<key>Size</key><integer>32768</integer>"),
                    0),
        final_response(0),
    });
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    for (const auto &[name, size] : {std::pair{"f1", 100000}, std::pair{"f2", 32768}}) {
        const std::string content = transfer_read(in_backup(name));
        ASSERT_EQ(content.size(), static_cast<size_t>(size)) << name;
        for (size_t i = 0; i < content.size(); ++i) {
            ASSERT_EQ(static_cast<uint8_t>(content[i]), i % 251) << name << " at " << i;
        }
    }
}

}  // namespace
