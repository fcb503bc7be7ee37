// Files from the device at function level: the upload stream's framing
// read over a socket whose other end plays the device, the files written,
// what is printed, the answer, the discard step and streams cut short.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <string>
#include <vector>

#include "message_loop.h"
#include "progress.h"
#include "receive_files.h"
#include "safe_path.h"
#include "signals_and_notifications.h"
#include "transfer_support.h"
#include "utils.h"

namespace {

using namespace transfer_test;

std::string upload_message(uint64_t total, const std::string &progress = "<real>0</real>") {
    return "<array><string>DLMessageUploadFiles</string><dict/>" + progress + "<integer>" +
           std::to_string(total) + "</integer></array>";
}

// Each fixture resets the globals its own handler reads; the sets differ from file to file.
class Tarvobackup2TransferReceive : public ::testing::Test {
  protected:
    void SetUp() override {
        verbose = true;
        quit_flag = 0;
        overall_progress = 0;
    }
    void TearDown() override {
        verbose = true;
        quit_flag = 0;
    }

    // Feeds `stream` as the device (closing its side afterwards unless
    // told not to) and runs the handler for `message_xml`.
    int upload(const std::string &stream, const std::string &message_xml = upload_message(0),
               bool close_after = true) {
        if (!stream.empty() || close_after) {
            peer.send(stream, close_after);
        }
        PlistPtr message = plist_from_fragment(message_xml);
        StdoutCapture capture;
        const int files =
            mb2_handle_receive_files(*peer.channel, message.get(), scratch.backup.c_str());
        out = capture.take();
        return files;
    }
    const std::vector<StatusResponse> &responses() const { return peer.channel->responses; }
    int only_code() const {
        EXPECT_EQ(responses().size(), 1u);
        return responses().empty() ? 999 : responses()[0].code;
    }

    BackupScratch scratch;
    DevicePeer peer;
    std::string out;
};

TEST_F(Tarvobackup2TransferReceive, FramingOfOneFile) {
    struct Case {
        const char *what;
        std::string content;
        size_t block;
    };
    const std::vector<Case> cases = {
        {"empty file: OK frame first", "", 32768},
        {"one byte", "x", 32768},
        {"exactly one full block", pattern(32768), 32768},
        {"one byte past a block", pattern(32769), 32768},
        {"small blocks", pattern(1000, 3), 7},
        {"three blocks", pattern(2 * 32768 + 100, 5), 32768},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DevicePeer fresh;
        fresh.send(upload_entry("f", c.content, c.block) + kEndOfStream);
        PlistPtr message = plist_from_fragment(upload_message(0));
        StdoutCapture capture;
        EXPECT_EQ(mb2_handle_receive_files(*fresh.channel, message.get(), scratch.backup.c_str()),
                  1);
        EXPECT_EQ(capture.take(), "");
        EXPECT_EQ(read_file(scratch.in_backup("f")), c.content);
        ASSERT_EQ(fresh.channel->responses.size(), 1u);
        EXPECT_EQ(fresh.channel->responses[0].code, 0);
        EXPECT_EQ(fresh.channel->responses[0].text, "(none)");
        EXPECT_EQ(
            xml_of(fresh.channel->responses[0].value.get()).find("<dict/>") != std::string::npos,
            true);
    }
}

TEST_F(Tarvobackup2TransferReceive, SeveralFilesAndAnExistingFileIsReplaced) {
    std::filesystem::create_directories(scratch.in_backup("UDID/ab"));
    write_file(scratch.in_backup("UDID/ab/one"), std::string(100000, 'o'));
    // What a killed run left is written over.
    write_file(scratch.in_backup("UDID/ab/.tarvo-partial"), "left by a killed run");
    EXPECT_EQ(
        upload(upload_entry("UDID/ab/one", "new") + upload_entry("UDID/ab/two", pattern(70000)) +
               upload_entry("UDID/three", "") + kEndOfStream),
        3);
    EXPECT_EQ(read_file(scratch.in_backup("UDID/ab/one")), "new");
    EXPECT_EQ(read_file(scratch.in_backup("UDID/ab/two")), pattern(70000));
    EXPECT_TRUE(exists(scratch.in_backup("UDID/three")));
    EXPECT_FALSE(exists(scratch.in_backup("UDID/ab/.tarvo-partial")));
    EXPECT_EQ(only_code(), 0);
}

TEST_F(Tarvobackup2TransferReceive, UnnamedFileTakesAFreeNameOnlyAndVanishesUnnamed) {
    BackupRoot root;
    ASSERT_EQ(root.open(scratch.backup.c_str()), 0);
    DevicePath target;
    ASSERT_EQ(root.locate("new", &target), 0);
    UniqueFd file;
    if (create_unnamed_for_writing(target, &file) != 0) {
        GTEST_SKIP() << "no unnamed files on this file system";
    }
    ASSERT_EQ(write(file.get(), "data", 4), 4);
    write_file(scratch.in_backup("new"), "came meanwhile");
    EXPECT_EQ(name_unnamed_file(target, file.get()), EEXIST);
    EXPECT_EQ(name_unnamed_file(target, file.get(), "sibling"), 0);
    EXPECT_EQ(read_file(scratch.in_backup("sibling")), "data");

    UniqueFd dropped;
    ASSERT_EQ(create_unnamed_for_writing(target, &dropped), 0);
    dropped.reset();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.backup),
                            std::filesystem::directory_iterator()),
              2);
}

TEST_F(Tarvobackup2TransferReceive, StreamThatEndsAtOnceCreatesNothing) {
    EXPECT_EQ(upload(kEndOfStream), 0);
    EXPECT_EQ(only_code(), 0);
    EXPECT_EQ(out, "");
}

TEST_F(Tarvobackup2TransferReceive, MalformedMessageReadsNothingAndIsNotAnswered) {
    for (const std::string &xml :
         {std::string("<array><string>DLMessageUploadFiles</string><dict/><real>1</real></array>"),
          std::string("<dict/>")}) {
        DevicePeer fresh;
        PlistPtr message = plist_from_fragment(xml);
        EXPECT_EQ(mb2_handle_receive_files(*fresh.channel, message.get(), scratch.backup.c_str()),
                  0);
        EXPECT_TRUE(fresh.channel->responses.empty());
        EXPECT_EQ(fresh.channel->receive_calls, 0);
    }
    PlistPtr message = plist_from_fragment(upload_message(0));
    EXPECT_EQ(mb2_handle_receive_files(*peer.channel, message.get(), nullptr), 0);
    EXPECT_TRUE(responses().empty());
}

TEST_F(Tarvobackup2TransferReceive, DeviceErrorFrames) {
    // Opening a file: reported, the empty file stays and counts, the next
    // file follows. After data: closes the file without a word.
    const std::string stream =
        name_field("d1") + name_field("first") + frame(0x0B, "no such file") + name_field("d2") +
        name_field("second") + frame(0x0C, "data") + frame(0x0B, "late error") +
        upload_entry("third", "3") + kEndOfStream;
    EXPECT_EQ(upload(stream), 3);
    EXPECT_EQ(out, "\nReceived an error message from device: no such file\n");
    EXPECT_EQ(read_file(scratch.in_backup("first")), "");
    EXPECT_EQ(read_file(scratch.in_backup("second")), "data");
    EXPECT_EQ(read_file(scratch.in_backup("third")), "3");
    EXPECT_EQ(only_code(), 0);
}

TEST_F(Tarvobackup2TransferReceive, LongDeviceErrorTextIsCutAndTheRestDropped) {
    const std::string text(kMaxDeviceErrorText + 5000, 'e');
    EXPECT_EQ(upload(name_field("d") + name_field("bad") + frame(0x0B, text) +
                     upload_entry("after", "still in step") + kEndOfStream),
              2);
    EXPECT_EQ(out, "\nReceived an error message from device: " +
                       std::string(kMaxDeviceErrorText, 'e') + "\n");
    EXPECT_EQ(read_file(scratch.in_backup("after")), "still in step");
}

TEST_F(Tarvobackup2TransferReceive, HugeAnnouncedErrorTextAllocatesNothingOfThatSize) {
    // Four GiB announced, a few bytes sent, then the stream ends.
    EXPECT_EQ(upload(name_field("d") + name_field("bad") + be32(0xFFFFFFFF) + '\x0B' + "short"), 1);
    EXPECT_EQ(out, "\nReceived an error message from device: short\n");
    EXPECT_EQ(only_code(), 0);
}

TEST_F(Tarvobackup2TransferReceive, ZeroLengthAfterDataClosesTheFileAndEndsTheStream) {
    EXPECT_EQ(upload(name_field("d") + name_field("f") + frame(0x0C, "abc") + be32(0) +
                     upload_entry("never", "read")),
              1);
    EXPECT_EQ(read_file(scratch.in_backup("f")), "abc");
    EXPECT_FALSE(exists(scratch.in_backup("never")));
    EXPECT_EQ(only_code(), 0);
}

TEST_F(Tarvobackup2TransferReceive, UnknownFirstCodeIsShownAndCreatesAnEmptyFile) {
    // The 0x05 frame carries no payload read by the host: the next name
    // starts right after the code byte.
    EXPECT_EQ(upload(name_field("d") + name_field("odd") + be32(1) + '\x05' +
                     upload_entry("next", "n") + kEndOfStream),
              2);
    EXPECT_EQ(out, "Found new flag 05\n");
    EXPECT_EQ(read_file(scratch.in_backup("odd")), "");
    EXPECT_EQ(read_file(scratch.in_backup("next")), "n");

    verbose = false;
    DevicePeer quiet;
    quiet.send(name_field("d") + name_field("odd2") + be32(1) + '\x05' + kEndOfStream);
    PlistPtr message = plist_from_fragment(upload_message(0));
    StdoutCapture capture;
    EXPECT_EQ(mb2_handle_receive_files(*quiet.channel, message.get(), scratch.backup.c_str()), 1);
    EXPECT_EQ(capture.take(), "");
}

TEST_F(Tarvobackup2TransferReceive, NameLengthLimit) {
    const std::string long_name(4096, 'n');
    EXPECT_EQ(upload(name_field(long_name) + name_field("f") + frame(0x0C, "ok") + kOkFrame +
                     kEndOfStream),
              1);
    EXPECT_EQ(read_file(scratch.in_backup("f")), "ok");

    DevicePeer refused;
    refused.send(name_field(long_name + "n") + name_field("g") + frame(0x0C, "no") + kOkFrame +
                 kEndOfStream);
    PlistPtr message = plist_from_fragment(upload_message(0));
    StdoutCapture capture;
    EXPECT_EQ(mb2_handle_receive_files(*refused.channel, message.get(), scratch.backup.c_str()), 0);
    EXPECT_EQ(capture.take(), "ERROR: mb2_receive_filename: too large filename length (4097)!\n");
    EXPECT_FALSE(exists(scratch.in_backup("g")));
    ASSERT_EQ(refused.channel->responses.size(), 1u);
    EXPECT_EQ(refused.channel->responses[0].code, 0);
}

// A file that cannot be created: its hunk is discarded, the rest of the
// stream is read to its end and dropped (so the device can go on), and
// the answer carries the failure.
TEST_F(Tarvobackup2TransferReceive, UncreatableFileIsAnsweredAndTheStreamReadToItsEnd) {
    std::filesystem::create_directories(scratch.in_backup("sub"));
    struct Case {
        std::string local_path;
        std::string out;
        int code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"nodir/f",
         "Error opening '" + scratch.in_backup("nodir/f") +
             "' for writing: No such file or directory\n",
         -6, "No such file or directory"},
        {"sub/", "Error opening '" + scratch.in_backup("sub/") + "' for writing: Is a directory\n",
         -9, "Is a directory"},
        {"../up", "ERROR: Refusing path '../up' from the device: a \"..\" component\n", -1,
         "Permission denied"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.local_path);
        DevicePeer device;
        const std::string stream = name_field("d") + name_field(c.local_path) +
                                   frame(0x0C, pattern(100)) + frame(0x0C, pattern(50)) + kOkFrame +
                                   upload_entry("later", "x") +
                                   upload_entry("last", pattern(40000)) + kEndOfStream;
        device.send(stream);
        PlistPtr message = plist_from_fragment(upload_message(0));
        StdoutCapture capture;
        EXPECT_EQ(mb2_handle_receive_files(*device.channel, message.get(), scratch.backup.c_str()),
                  0);
        EXPECT_EQ(capture.take(), c.out + "\nDiscarding current data hunk.\n");
        EXPECT_EQ(device.channel->total_received, stream.size());
        EXPECT_FALSE(exists(scratch.in_backup("later")));
        EXPECT_TRUE(std::filesystem::is_empty(scratch.in_backup("sub")));
        ASSERT_EQ(device.channel->responses.size(), 1u);
        EXPECT_EQ(device.channel->responses[0].code, c.code);
        EXPECT_EQ(device.channel->responses[0].text, c.text);
    }
}

// A file cut short never stays under its name, and a version already
// there stays until the new one is whole; nothing is left behind.
TEST_F(Tarvobackup2TransferReceive, CutFilesNeverReachTheirNames) {
    const std::string whole = upload_entry("f", pattern(80000), 32768);
    const std::string header = name_field("/var/mobile/f") + name_field("f");
    for (bool had_old : {true, false}) {
        for (size_t cut : {header.size() + 2, header.size() + 5 + 10000, whole.size() - 1}) {
            SCOPED_TRACE(std::to_string(cut) + (had_old ? " over an old version" : " new"));
            std::filesystem::remove(scratch.in_backup("f"));
            if (had_old) {
                write_file(scratch.in_backup("f"), "old");
            }
            DevicePeer device;
            device.send(whole.substr(0, cut));
            PlistPtr message = plist_from_fragment(upload_message(0));
            StdoutCapture capture;
            mb2_handle_receive_files(*device.channel, message.get(), scratch.backup.c_str());
            capture.take();
            if (had_old) {
                EXPECT_EQ(read_file(scratch.in_backup("f")), "old");
            }
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.backup),
                                    std::filesystem::directory_iterator()),
                      had_old ? 1 : 0);
        }
    }
    EXPECT_EQ(upload(whole + kEndOfStream), 1);
    EXPECT_EQ(read_file(scratch.in_backup("f")), pattern(80000));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.backup),
                            std::filesystem::directory_iterator()),
              1);
}

// A device under load may pause between frames for longer than one wait
// of the connection; the file still arrives whole.
TEST_F(Tarvobackup2TransferReceive, SlowDeviceMayPauseBetweenFrames) {
    peer.channel->first_byte_ms = 20;
    const std::string first = pattern(1000, 1);
    const std::string second = pattern(1000, 2);
    peer.send_parts({name_field("d") + name_field("f") + frame(0x0C, first),
                     frame(0x0C, second) + kOkFrame, kEndOfStream},
                    300);
    PlistPtr message = plist_from_fragment(upload_message(0));
    StdoutCapture capture;
    EXPECT_EQ(mb2_handle_receive_files(*peer.channel, message.get(), scratch.backup.c_str()), 1);
    EXPECT_EQ(capture.take(), "");
    EXPECT_GT(peer.channel->timeouts, 2);
    EXPECT_EQ(read_file(scratch.in_backup("f")), first + second);
    EXPECT_EQ(only_code(), 0);
}

TEST_F(Tarvobackup2TransferReceive, ProgressBarPerBlockAgainstTheAnnouncedTotal) {
    const std::string content = pattern(2 * 32768 + 1000);
    EXPECT_EQ(upload(upload_entry("f", content) + kEndOfStream, upload_message(content.size())), 1);

    CString total(string_format_size(content.size()));
    std::string expected = "Receiving files\n";
    for (uint64_t done : {uint64_t{32768}, uint64_t{65536}, uint64_t{content.size()}}) {
        const double percent =
            static_cast<double>(done) / static_cast<double>(content.size()) * 100;
        char bar[64];
        for (int i = 0; i < 50; ++i) {
            bar[i] = percent * 0.5 > i ? '=' : ' ';
        }
        bar[50] = '\0';
        char line[256];
        CString size(string_format_size(done));
        snprintf(line, sizeof line, "\r[%s] %3.0f%% (%s/%s)     ", bar, percent, size.get(),
                 total.get());
        expected += line;
    }
    expected += "\n";
    EXPECT_EQ(out, expected);

    // Without a total: neither the line nor bars, the file all the same.
    DevicePeer no_total;
    no_total.send(upload_entry("g", content) + kEndOfStream);
    PlistPtr message = plist_from_fragment(
        "<array><string>DLMessageUploadFiles</string><dict/><real>0</real><string>x</string></"
        "array>");
    StdoutCapture capture;
    EXPECT_EQ(mb2_handle_receive_files(*no_total.channel, message.get(), scratch.backup.c_str()),
              1);
    EXPECT_EQ(capture.take(), "");
    EXPECT_EQ(read_file(scratch.in_backup("g")), content);
}

TEST_F(Tarvobackup2TransferReceive, OverallProgressIsTakenFromElementTwo) {
    upload(kEndOfStream, upload_message(0, "<real>42.5</real>"));
    EXPECT_EQ(overall_progress, 42.5);
}

TEST_F(Tarvobackup2TransferReceive, StopBeforeTheStreamReadsNothing) {
    quit_flag = 1;
    PlistPtr message = plist_from_fragment(upload_message(0));
    EXPECT_EQ(mb2_handle_receive_files(*peer.channel, message.get(), scratch.backup.c_str()), 0);
    EXPECT_EQ(peer.channel->receive_calls, 0);
    EXPECT_EQ(only_code(), 0);
}

TEST_F(Tarvobackup2TransferReceive, StopInsideDataFramesDiscardsAndDeletesTheFile) {
    // The flag goes up during the first block; the handler closes and counts
    // the file, drops N - 1 further bytes (the next block) and deletes it.
    const std::string first = pattern(32768, 1);
    const std::string second = pattern(32768, 2);
    peer.channel->quit_after_bytes = 20000;
    EXPECT_EQ(upload(name_field("d") + name_field("f") + frame(0x0C, first) + frame(0x0C, second) +
                     kOkFrame + kEndOfStream),
              1);
    EXPECT_EQ(out, "\nDiscarding current data hunk.\n");
    EXPECT_FALSE(exists(scratch.in_backup("f")));
    EXPECT_EQ(only_code(), 0);
}

TEST_F(Tarvobackup2TransferReceive, StopBetweenFilesAfterAnOkFrameKeepsTheFile) {
    const std::string stream =
        upload_entry("kept", "k") + upload_entry("never", "n") + kEndOfStream;
    // Raised once the first file's OK frame is in.
    peer.channel->quit_after_bytes = upload_entry("kept", "k").size();
    EXPECT_EQ(upload(stream), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_file(scratch.in_backup("kept")), "k");
    EXPECT_FALSE(exists(scratch.in_backup("never")));
}

TEST_F(Tarvobackup2TransferReceive, NameWaitEndsWhenTheStopFlagIsRaised) {
    // The device stays silent: the wait repeats until the stop comes.
    peer.channel->first_byte_ms = 20;
    peer.channel->on_timeout = [](int timeouts) {
        if (timeouts == 3) {
            ++quit_flag;
        }
    };
    char *name = nullptr;
    EXPECT_EQ(mb2_receive_filename(*peer.channel, &name), 0u);
    free(name);
    EXPECT_EQ(peer.channel->timeouts, 3);
}

TEST_F(Tarvobackup2TransferReceive, NameWaitEndsWhenTheConnectionIsGone) {
    peer.send("", true);
    char *name = nullptr;
    EXPECT_EQ(mb2_receive_filename(*peer.channel, &name), 0u);
    free(name);
    EXPECT_EQ(quit_flag, 0);
}

TEST_F(Tarvobackup2TransferReceive, ReceiveFilenameReplacesTheBuffer) {
    peer.send(name_field("first") + name_field("second, longer") + name_field("x"));
    char *name = strdup("previous");
    EXPECT_EQ(mb2_receive_filename(*peer.channel, &name), 5u);
    EXPECT_STREQ(name, "first");
    EXPECT_EQ(mb2_receive_filename(*peer.channel, &name), 14u);
    EXPECT_STREQ(name, "second, longer");
    EXPECT_EQ(mb2_receive_filename(*peer.channel, &name), 1u);
    EXPECT_STREQ(name, "x");
    free(name);
}

// A valid stream cut after every byte count: the handler always ends on
// its own, answers once, and never counts more files than were complete.
TEST_F(Tarvobackup2TransferReceive, StreamCutShortAtEveryLength) {
    const std::string stream = upload_entry("a", "0123456789", 4) + name_field("d") +
                               name_field("b") + frame(0x0B, "err") + kEndOfStream;
    for (size_t cut = 0; cut < stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        DevicePeer cut_peer;
        cut_peer.send(stream.substr(0, cut));
        PlistPtr message = plist_from_fragment(upload_message(10));
        StdoutCapture capture;
        const int files =
            mb2_handle_receive_files(*cut_peer.channel, message.get(), scratch.backup.c_str());
        capture.take();
        EXPECT_LE(files, 2);
        EXPECT_EQ(cut_peer.channel->responses.size(), 1u);
    }
}

TEST_F(Tarvobackup2TransferReceive, FrameLengthCutShortOrCodeMissing) {
    EXPECT_EQ(upload(name_field("d") + name_field("f") + "\0\0"), 0);
    EXPECT_EQ(out, "ERROR: mb2_handle_receive_files: could not receive code length!\n");
    EXPECT_EQ(only_code(), 0);

    // The code byte missing after a length of 10: the discard step runs;
    // the version already at the path was never replaced and stays.
    DevicePeer missing_code;
    write_file(scratch.in_backup("g"), "old");
    missing_code.send(name_field("d") + name_field("g") + be32(10));
    PlistPtr message = plist_from_fragment(upload_message(0));
    StdoutCapture capture;
    EXPECT_EQ(
        mb2_handle_receive_files(*missing_code.channel, message.get(), scratch.backup.c_str()), 0);
    EXPECT_EQ(capture.take(),
              "ERROR: mb2_handle_receive_files: could not receive code!\n"
              "\nDiscarding current data hunk.\n");
    EXPECT_EQ(read_file(scratch.in_backup("g")), "old");
}

TEST_F(Tarvobackup2TransferReceive, DiscardOfAHugeHunkReadsThroughAFixedBuffer) {
    // 2 GiB announced for a file that cannot be created; 100 KiB arrive and
    // the stream ends. Nothing of the announced size is allocated.
    EXPECT_EQ(upload(name_field("d") + name_field("nodir/f") + be32(0x7FFFFFFF) + '\x0C' +
                     pattern(100 * 1024)),
              0);
    EXPECT_NE(out.find("Discarding current data hunk."), std::string::npos);
    EXPECT_EQ(peer.channel->total_received, 4 + 1 + 4 + 7 + 5 + 100 * 1024u);
}

TEST_F(Tarvobackup2TransferReceive, FullFileSystemIsAnsweredAndTheStreamStaysInStep) {
    const std::string small = scratch.in_backup("small");
    std::filesystem::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
    }
    struct Unmount {
        std::string path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{small};
    EXPECT_EQ(upload(upload_entry("small/big", pattern(200000)) + upload_entry("after", "a") +
                     kEndOfStream),
              2);
    EXPECT_EQ(out,
              "Error writing '" + scratch.in_backup("small/big") + "': No space left on device\n");
    // The rest of the stream was still read: the next file arrived.
    EXPECT_EQ(read_file(scratch.in_backup("after")), "a");
    ASSERT_EQ(responses().size(), 1u);
    EXPECT_EQ(responses()[0].code, -15);
    EXPECT_EQ(responses()[0].text, "No space left on device");
}

TEST_F(Tarvobackup2TransferReceive, FilesReceivedAddUpInTheLoopResults) {
    peer.send(upload_entry("a", "1") + upload_entry("b", "2") + kEndOfStream);
    PlistPtr message = plist_from_fragment(upload_message(0));
    Mb2LoopContext context = {*peer.channel, scratch.backup.c_str(), Mb2LoopResult()};
    context.result.files_received = 5;
    StdoutCapture capture;
    upload_files_row(context, message.get());
    EXPECT_EQ(context.result.files_received, 7);
}

}  // namespace
