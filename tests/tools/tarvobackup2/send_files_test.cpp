// Files to the device at function level: the frames the host sends for a
// DLMessageDownloadFiles, read back on the device's end of a socket, the
// error frames and the "Multi status" answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message_loop.h"
#include "send_files.h"
#include "signals_and_notifications.h"
#include "transfer_support.h"

namespace {

using namespace transfer_test;

std::string download_message(const std::string &paths_xml) {
    return "<array><string>DLMessageDownloadFiles</string><array>" + paths_xml +
           "</array><dict/><real>0</real></array>";
}

std::string sent_file(const std::string &path, const std::string &content) {
    std::string stream = name_field(path);
    for (size_t at = 0; at < content.size(); at += 32768) {
        stream += frame(0x0C, content.substr(at, 32768));
    }
    return stream + kOkFrame;
}

std::string error_frame(const std::string &text) {
    return frame(0x06, text);
}

// The unsigned form in which a negative code travels.
uint64_t wire_code(int64_t code) {
    return static_cast<uint64_t>(code);
}

class Tarvobackup2TransferSend : public ::testing::Test {
  protected:
    void SetUp() override {
        verbose = false;
        quit_flag = 0;
    }
    void TearDown() override { verbose = true; }

    void download(const std::string &message_xml) {
        PlistPtr message = plist_from_fragment(message_xml);
        StdoutCapture capture;
        mb2_send_requested_files(*peer.channel, message.get(), scratch.backup.c_str());
        out = capture.take();
    }
    const std::vector<StatusResponse> &responses() const { return peer.channel->responses; }

    BackupScratch scratch;
    DevicePeer peer;
    std::string out;
};

TEST_F(Tarvobackup2TransferSend, FramesOfOneFile) {
    struct Case {
        const char *what;
        size_t size;
        std::vector<uint32_t> frame_lengths;
    };
    const std::vector<Case> cases = {
        {"empty: just the OK frame", 0, {}},
        {"one byte", 1, {2}},
        {"exactly one block", 32768, {32769}},
        {"one byte past a block", 32769, {32769, 2}},
        {"two blocks and a bit", 65536 + 10, {32769, 32769, 11}},
        {"past four blocks, read and sent four at a time",
         4 * 32768 + 7,
         {32769, 32769, 32769, 32769, 8}},
        {"exactly eight blocks", 8 * 32768, std::vector<uint32_t>(8, 32769)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string content = pattern(c.size);
        write_file(scratch.in_backup("f"), content);
        DevicePeer fresh;
        PlistPtr message = plist_from_fragment(download_message("<string>f</string>"));
        mb2_send_requested_files(*fresh.channel, message.get(), scratch.backup.c_str());

        std::string expected = name_field("f");
        size_t at = 0;
        for (uint32_t length : c.frame_lengths) {
            expected += be32(length) + '\x0C' + content.substr(at, length - 1);
            at += length - 1;
        }
        expected += std::string("\0\0\0\1\0", 5) + kEndOfStream;
        EXPECT_EQ(fresh.from_host(), expected);
        ASSERT_EQ(fresh.channel->responses.size(), 1u);
        EXPECT_EQ(fresh.channel->responses[0].code, 0);
        EXPECT_EQ(fresh.channel->responses[0].text, "(none)");
        EXPECT_NE(xml_of(fresh.channel->responses[0].value.get()).find("<dict/>"),
                  std::string::npos);
    }
}

TEST_F(Tarvobackup2TransferSend, EmptyListStillEndsTheStreamAndAnswers) {
    download(download_message(""));
    EXPECT_EQ(peer.from_host(), kEndOfStream);
    ASSERT_EQ(responses().size(), 1u);
    EXPECT_EQ(responses()[0].code, 0);
}

TEST_F(Tarvobackup2TransferSend, MalformedMessageSendsNothing) {
    for (const std::string &xml :
         {std::string("<array><string>DLMessageDownloadFiles</string></array>"),
          std::string("<string>DLMessageDownloadFiles</string>")}) {
        DevicePeer fresh;
        PlistPtr message = plist_from_fragment(xml);
        mb2_send_requested_files(*fresh.channel, message.get(), scratch.backup.c_str());
        EXPECT_EQ(fresh.from_host(), "");
        EXPECT_TRUE(fresh.channel->responses.empty());
    }
}

TEST_F(Tarvobackup2TransferSend, MissingFileEndsTheListWithMultiStatus) {
    write_file(scratch.in_backup("one"), "first file");
    write_file(scratch.in_backup("three"), "never sent");
    verbose = true;
    download(download_message(
        "<string>one</string><integer>7</integer><string>two</string><string>three</string>"));
    EXPECT_EQ(peer.from_host(), sent_file("one", "first file") + name_field("two") +
                                    error_frame("No such file or directory") + kEndOfStream);
    EXPECT_EQ(out, "Sending 'one' (10 Bytes)\n");
    ASSERT_EQ(responses().size(), 1u);
    EXPECT_EQ(responses()[0].code, -13);
    EXPECT_EQ(responses()[0].text, "Multi status");
    plist_t errors = responses()[0].value.get();
    ASSERT_EQ(plist_dict_get_size(errors), 1u);
    plist_t entry = plist_dict_get_item(errors, "two");
    ASSERT_NE(entry, nullptr);
    char *text = nullptr;
    plist_get_string_val(plist_dict_get_item(entry, "DLFileErrorString"), &text);
    CString owned(text);
    EXPECT_STREQ(text, "No such file or directory");
    uint64_t code = 0;
    plist_get_uint_val(plist_dict_get_item(entry, "DLFileErrorCode"), &code);
    EXPECT_EQ(code, wire_code(-6));
}

TEST_F(Tarvobackup2TransferSend, ANameTooLongToTravelWithItsFramesStillLeadsThem) {
    const std::string name(5000, 'n');
    download(download_message("<string>" + name + "</string>"));
    const std::string field = name_field(name);
    EXPECT_EQ(peer.from_host().substr(0, field.size()), field);
    EXPECT_GT(peer.from_host().size(), field.size() + 4);  // an error frame, then the end
    ASSERT_EQ(responses().size(), 1u);
    EXPECT_EQ(responses()[0].code, -13);
}

TEST_F(Tarvobackup2TransferSend, StatusQueryFailureIsReported) {
    write_file(scratch.in_backup("plain"), "x");
    download(download_message("<string>plain/below</string>"));
    EXPECT_EQ(out, "mb2_handle_send_file: stat failed on '" + scratch.in_backup("plain/below") +
                       "': 20\n");
    EXPECT_EQ(peer.from_host(),
              name_field("plain/below") + error_frame("Not a directory") + kEndOfStream);
    ASSERT_EQ(responses().size(), 1u);
    EXPECT_EQ(responses()[0].code, -13);
}

TEST_F(Tarvobackup2TransferSend, ReadErrorSendsAnErrorFrameAndNoOrphanHeader) {
    // A directory: its status has a size, opening works, reading fails.
    std::filesystem::create_directories(scratch.in_backup("dir"));
    struct stat st;
    ASSERT_EQ(stat(scratch.in_backup("dir").c_str(), &st), 0);
    if (st.st_size == 0) {
        GTEST_SKIP() << "directories have no size on this file system";
    }
    download(download_message("<string>dir</string>"));
    EXPECT_EQ(out, "mb2_handle_send_file: read error\n");
    // A data header announcing bytes that never come would make the device
    // read the error frame as file content.
    EXPECT_EQ(peer.from_host(), name_field("dir") + error_frame("Is a directory") + kEndOfStream);
    ASSERT_EQ(responses().size(), 1u);
    EXPECT_EQ(responses()[0].code, -13);
    uint64_t code = 0;
    plist_get_uint_val(plist_dict_get_item(plist_dict_get_item(responses()[0].value.get(), "dir"),
                                           "DLFileErrorCode"),
                       &code);
    EXPECT_EQ(code, wire_code(-9));
}

TEST_F(Tarvobackup2TransferSend, FailedSendEndsTheListButStillAnswers) {
    write_file(scratch.in_backup("a"), pattern(100000));
    peer.device_gone();
    download(download_message("<string>a</string><string>a</string>"));
    ASSERT_EQ(responses().size(), 1u);
    EXPECT_EQ(responses()[0].code, 0);
    EXPECT_EQ(out, "");
}

TEST_F(Tarvobackup2TransferSend, HandleSendFileResults) {
    write_file(scratch.in_backup("present"), "p");
    plist_t errors = nullptr;
    StdoutCapture capture;
    EXPECT_EQ(mb2_handle_send_file(*peer.channel, scratch.backup.c_str(), "present", &errors), 0);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(mb2_handle_send_file(*peer.channel, scratch.backup.c_str(), "absent", &errors), -1);
    ASSERT_NE(errors, nullptr);
    PlistPtr owned(errors);
    EXPECT_NE(plist_dict_get_item(errors, "absent"), nullptr);
    capture.take();
    EXPECT_EQ(peer.from_host(), sent_file("present", "p") + name_field("absent") +
                                    error_frame("No such file or directory"));
}

TEST_F(Tarvobackup2TransferSend, OverallProgressIsTakenFromElementThree) {
    overall_progress = 0;
    download(
        "<array><string>DLMessageDownloadFiles</string><array/><dict/><real>61</real></array>");
    EXPECT_EQ(overall_progress, 61);
}

}  // namespace
