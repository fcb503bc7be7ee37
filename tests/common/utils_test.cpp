// Tests of the string, path and file helpers.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "owners.h"
#include "utils.h"

namespace {

using HeapString = CString;

std::string text_of(const HeapString &s) {
    return s ? std::string(s.get()) : "<null>";
}

// libplist compares containers by identity only, so compare their XML.
std::string xml_of(plist_t node) {
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    HeapString owned(xml);
    return xml ? std::string(xml, length) : "<null>";
}

class TempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvo-utils-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const char *name) const { return dir_ + "/" + name; }

    static void write_file(const std::string &file, const std::string &content) {
        std::ofstream(file, std::ios::binary) << content;
    }
    static std::string read_file(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string dir_;
};

TEST(StringBuilders, ConcatJoinsPiecesAndRefusesNullFirst) {
    EXPECT_EQ(text_of(HeapString(string_concat("/var/db", "/", "lockdown", nullptr))),
              "/var/db/lockdown");
    EXPECT_EQ(text_of(HeapString(string_concat("alone", nullptr))), "alone");
    EXPECT_EQ(text_of(HeapString(string_concat("", "", "x", nullptr))), "x");
    EXPECT_EQ(string_concat(nullptr, "ignored", nullptr), nullptr);
}

TEST(StringBuilders, BuildPathPutsOneSlashBeforeEveryElementBlindly) {
    struct Case {
        HeapString got;
        const char *want;
    } cases[] = {
        {HeapString(string_build_path("/backup", "udid", "Info.plist", nullptr)),
         "/backup/udid/Info.plist"},
        {HeapString(string_build_path("/backup/", "udid", nullptr)), "/backup//udid"},
        {HeapString(string_build_path("/backup", "/udid", nullptr)), "/backup//udid"},
        {HeapString(string_build_path("/backup", "", nullptr)), "/backup/"},
        {HeapString(string_build_path("", "a", nullptr)), "/a"},
        {HeapString(string_build_path("/backup", nullptr)), "/backup"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(text_of(c.got), c.want);
    }
    EXPECT_EQ(string_build_path(nullptr, "a", nullptr), nullptr);
}

TEST(StringBuilders, AppendGrowsTheGivenBlock) {
    HeapString grown(string_append(nullptr, "one", nullptr));
    EXPECT_EQ(text_of(grown), "one");
    grown.reset(string_append(grown.release(), ", two", ", three", nullptr));
    EXPECT_EQ(text_of(grown), "one, two, three");
    grown.reset(string_append(grown.release(), nullptr));
    EXPECT_EQ(text_of(grown), "one, two, three");
    EXPECT_EQ(text_of(HeapString(string_append(nullptr, nullptr))), "");
}

TEST(StringBuilders, ToUpperChangesOnlyLetters) {
    EXPECT_EQ(text_of(HeapString(string_toupper("00008030-001a/xyz.é"))), "00008030-001A/XYZ.é");
    EXPECT_EQ(text_of(HeapString(string_toupper(""))), "");
}

TEST(StringFormatSize, UsesPowersOf1000AndChoosesTheUnitBeforeRounding) {
    struct Case {
        uint64_t size;
        const char *want;
    } cases[] = {
        {0, "0 Bytes"},
        {1, "1 Bytes"},
        {999, "999 Bytes"},
        {1000, "1.0 KB"},
        {1024, "1.0 KB"},
        {999999, "1000.0 KB"},
        {1000000, "1.0 MB"},
        {1500000, "1.5 MB"},
        {999999999, "1000.0 MB"},
        {3221225472ULL, "3.2 GB"},
        {1000000000000ULL, "1.0 TB"},
        {UINT64_MAX, "18446744.1 TB"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(text_of(HeapString(string_format_size(c.size))), c.want) << c.size;
    }
}

bool is_uuid_layout(const std::string &text) {
    if (text.size() != 36) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash_position = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash_position != (text[i] == '-')) {
            return false;
        }
        if (!dash_position && !std::strchr("ABCDEF0123456789", text[i])) {
            return false;
        }
    }
    return true;
}

TEST(GenerateUuid, HasTheLayoutAndRepeatsWithinOneSecond) {
    // Retry on the rare second boundary between the two calls.
    for (int attempt = 0; attempt < 3; ++attempt) {
        time_t before = time(nullptr);
        HeapString first(generate_uuid());
        HeapString second(generate_uuid());
        time_t after = time(nullptr);
        ASSERT_TRUE(is_uuid_layout(text_of(first))) << text_of(first);
        if (before == after) {
            EXPECT_EQ(text_of(first), text_of(second));
            return;
        }
    }
    ADD_FAILURE() << "three attempts straddled a second boundary";
}

TEST(GenerateUuid, RestartsTheSharedRandomSequence) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        time_t before = time(nullptr);
        std::free(generate_uuid());
        int first = std::rand();
        std::free(generate_uuid());
        int second = std::rand();
        if (before == time(nullptr)) {
            EXPECT_EQ(first, second);
            return;
        }
    }
    ADD_FAILURE() << "three attempts straddled a second boundary";
}

TEST_F(TempDir, BufferReadGivesNothingForMissingEmptyOrDirectory) {
    write_file(path("empty"), "");
    // /dev/null is a device that cannot be sized and has nothing to stream.
    for (const std::string &file :
         {path("missing"), path("empty"), dir_, std::string("/dev/null")}) {
        char *buffer = nullptr;
        uint64_t length = 99;
        buffer_read_from_filename(file.c_str(), &buffer, &length);
        EXPECT_EQ(buffer, nullptr) << file;
        EXPECT_EQ(length, 0u) << file;
        std::free(buffer);
    }
}

TEST_F(TempDir, BufferReadAndWriteRoundTripBinaryContent) {
    std::string content("a\0b\xff\n", 5);
    buffer_write_to_filename(path("bytes").c_str(), content.data(), content.size());
    char *buffer = nullptr;
    uint64_t length = 0;
    buffer_read_from_filename(path("bytes").c_str(), &buffer, &length);
    HeapString owned(buffer);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::string(buffer, length), content);

    buffer_write_to_filename(path("bytes").c_str(), "z", 1);
    EXPECT_EQ(read_file(path("bytes")), "z");
}

TEST_F(TempDir, BufferWriteToUnopenablePathDoesNothing) {
    buffer_write_to_filename(path("no/such/dir/file").c_str(), "x", 1);
    EXPECT_NE(access(path("no").c_str(), F_OK), 0);
}

// Writes content into an open FIFO descriptor and closes it; gives up after
// about ten seconds without progress so that a reader that never reads cannot
// hang the test.
void feed_and_close(int fd, const std::string &content) {
    size_t done = 0;
    int idle_polls = 0;
    while (done < content.size() && idle_polls < 100) {
        pollfd want{fd, POLLOUT, 0};
        if (poll(&want, 1, 100) <= 0) {
            ++idle_polls;
            continue;
        }
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            idle_polls = 0;
        } else if (errno != EAGAIN) {
            break;
        }
    }
    close(fd);
}

// A pipe cannot be sized by seeking; it must be read until its writer closes.
TEST_F(TempDir, BufferReadStreamsAFifo) {
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Opening for reading and writing does not wait for a peer, and lets the
    // reader's open return at once.
    int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    // Larger than the first streaming block, so the buffer has to grow.
    std::string content(200 * 1024, 'q');
    content[123456] = 'X';
    std::thread writer(feed_and_close, fd, std::cref(content));
    char *buffer = nullptr;
    uint64_t length = 0;
    buffer_read_from_filename(fifo.c_str(), &buffer, &length);
    writer.join();
    HeapString owned(buffer);
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(length, content.size());
    EXPECT_EQ(std::string(buffer, length), content);
}

TEST_F(TempDir, PlistReadReportsUnreadableFilesWithZero) {
    plist_t node = nullptr;
    EXPECT_EQ(plist_read_from_filename(&node, nullptr), 0);
    EXPECT_EQ(plist_read_from_filename(&node, path("missing").c_str()), 0);
    write_file(path("empty"), "");
    EXPECT_EQ(plist_read_from_filename(&node, path("empty").c_str()), 0);
    EXPECT_EQ(node, nullptr);
}

TEST_F(TempDir, PlistReadHandsUnparsableBytesToAParserAndReturnsOne) {
    // Exactly "bplist00" is too short for the binary test and goes to XML.
    for (const char *content : {"bplist00", "not a property list", "bplist00garbage!"}) {
        write_file(path("bad"), content);
        plist_t node = nullptr;
        EXPECT_EQ(plist_read_from_filename(&node, path("bad").c_str()), 1) << content;
        EXPECT_EQ(node, nullptr) << content;
        plist_free(node);
    }
}

TEST_F(TempDir, PlistWriteAndReadRecogniseTheEncodingByContent) {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "Name", plist_new_string("Demo"));
    plist_dict_set_item(dict.get(), "Size", plist_new_uint(42));
    // Binary content under an XML name, and the other way round.
    struct Case {
        const char *name;
        int format;
        const char *starts_with;
    } cases[] = {{"binary.xml", 1, "bplist00"}, {"xml.bin", 0, "<?xml"}};
    for (const auto &c : cases) {
        ASSERT_EQ(plist_write_to_filename(dict.get(), path(c.name).c_str(), c.format), 1);
        EXPECT_EQ(read_file(path(c.name)).rfind(c.starts_with, 0), 0u) << c.name;
        plist_t node = nullptr;
        ASSERT_EQ(plist_read_from_filename(&node, path(c.name).c_str()), 1);
        PlistPtr back(node);
        ASSERT_NE(back, nullptr) << c.name;
        EXPECT_EQ(xml_of(back.get()), xml_of(dict.get())) << c.name;
    }
}

TEST_F(TempDir, PlistWriteRefusesUnknownFormatsAndNullsWithoutTouchingTheFile) {
    write_file(path("keep"), "original");
    PlistPtr node(plist_new_string("x"));
    EXPECT_EQ(plist_write_to_filename(node.get(), path("keep").c_str(), 2), 0);
    EXPECT_EQ(plist_write_to_filename(node.get(), path("keep").c_str(), -1), 0);
    EXPECT_EQ(plist_write_to_filename(nullptr, path("keep").c_str(), 0), 0);
    EXPECT_EQ(plist_write_to_filename(node.get(), nullptr, 0), 0);
    EXPECT_EQ(read_file(path("keep")), "original");
    EXPECT_EQ(plist_write_to_filename(node.get(), path("no/dir/file").c_str(), 0), 0);
}

TEST_F(TempDir, PlistWriteReplacesTheWholeFile) {
    write_file(path("file"), std::string(10000, 'z'));
    PlistPtr node(plist_new_string("x"));
    ASSERT_EQ(plist_write_to_filename(node.get(), path("file").c_str(), 0), 1);
    std::string content = read_file(path("file"));
    EXPECT_EQ(content.find('z'), std::string::npos);
    EXPECT_NE(content.find("<string>x</string>"), std::string::npos);
}

TEST(PlistWrite, ReportsAFailedWrite) {
    if (access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    PlistPtr node(plist_new_string("x"));
    EXPECT_EQ(plist_write_to_filename(node.get(), "/dev/full", 0), 0);
}

}  // namespace
