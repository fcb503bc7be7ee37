// Upload streams put together at random from pieces a broken or hostile
// device might send: files under escaping names, frames with any code and
// length, names of any length, stray bytes, early ends. Whatever comes,
// the handler must return, answer at most once and touch nothing outside
// the backup directory. The seeds are fixed, so a failure repeats.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "receive_files.h"
#include "signals_and_notifications.h"
#include "transfer_support.h"

namespace {

using namespace transfer_test;

class StreamMaker {
  public:
    explicit StreamMaker(uint32_t seed) : random_(seed) {}

    std::string stream() {
        std::string bytes;
        const int pieces = pick(1, 6);
        for (int i = 0; i < pieces; ++i) {
            bytes += piece();
        }
        if (pick(0, 3) == 0) {
            bytes += kEndOfStream;
        }
        if (pick(0, 2) == 0 && !bytes.empty()) {
            bytes.resize(static_cast<size_t>(pick(0, static_cast<int>(bytes.size()) - 1)));
        }
        return bytes;
    }

  private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    std::string random_bytes(size_t count) {
        std::string bytes(count, '\0');
        for (char &c : bytes) {
            c = static_cast<char>(pick(0, 255));
        }
        return bytes;
    }

    std::string name() {
        static const std::vector<std::string> names = {
            "f",
            "d/nested",
            "../escape",
            "/tmp/absolute",
            "d/link/inner",
            "d/link",
            "a/../../escape",
            "Manifest.mbdx",
            "./dot",
            "d//double",
            std::string("n\0ul", 4),
            std::string(4097, 'x'),
        };
        return names[static_cast<size_t>(pick(0, static_cast<int>(names.size()) - 1))];
    }

    uint32_t length() {
        static const std::vector<uint32_t> lengths = {
            0, 1, 2, 5, 4096, 4097, 32768, 32769, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
        return lengths[static_cast<size_t>(pick(0, static_cast<int>(lengths.size()) - 1))];
    }

    std::string piece() {
        switch (pick(0, 4)) {
            case 0:
                return upload_entry(name(), random_bytes(static_cast<size_t>(pick(0, 70000))),
                                    static_cast<size_t>(pick(1, 40000)));
            case 1:
                return be32(length()) + static_cast<char>(pick(0, 255)) +
                       random_bytes(static_cast<size_t>(pick(0, 64)));
            case 2:
                return be32(length()) + random_bytes(static_cast<size_t>(pick(0, 5000)));
            case 3:
                return name_field(name()) + name_field(name()) +
                       frame(static_cast<uint8_t>(pick(0, 255)), random_bytes(10));
            default:
                return random_bytes(static_cast<size_t>(pick(1, 64)));
        }
    }

    std::mt19937 random_;
};

TEST(Tarvobackup2TransferRandomStreams, NothingOutsideIsTouchedAndEveryStreamEnds) {
    verbose = true;
    quit_flag = 0;
    int files_created = 0;
    size_t answered = 0;
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        BackupScratch scratch;
        std::filesystem::create_directories(scratch.in_backup("d"));
        ASSERT_EQ(symlink(scratch.outside.c_str(), scratch.in_backup("d/link").c_str()), 0);
        const auto before = scratch.outside_snapshot();

        DevicePeer peer;
        peer.send(StreamMaker(seed).stream());
        // Every other stream expects some bytes, so that progress is drawn too.
        PlistPtr message = plist_from_fragment(
            "<array><string>DLMessageUploadFiles</string><dict/><real>0</real><integer>" +
            std::to_string(seed % 2 ? 0 : 100000) + "</integer></array>");
        StdoutCapture capture;
        files_created +=
            mb2_handle_receive_files(*peer.channel, message.get(), scratch.backup.c_str());
        capture.take();
        answered += peer.channel->responses.size();

        EXPECT_LE(peer.channel->responses.size(), 1u);
        EXPECT_EQ(scratch.outside_snapshot(), before);
    }
    // The streams must reach the file-writing code, not just fail early.
    EXPECT_GT(files_created, 50);
    EXPECT_GT(answered, 300u);
}

}  // namespace
