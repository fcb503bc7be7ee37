// The checks on property lists from outside: a table of hostile and honest
// bodies at the checker, and the readers of files that a device may have
// written going through it.
#include "plist_untrusted.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "../support/hostile_plists.h"
#include "owners.h"
#include "plist_compat.h"
#include "utils.h"

namespace {

using namespace tarvo::testing;
using namespace std::string_literals;

Bytes bytes_of(const std::string &text) {
    return {text.begin(), text.end()};
}

// What libplist writes itself: a dictionary of `entries` keys, every value
// the same string (which the writer stores once).
Bytes written_dictionary(int entries) {
    PlistPtr dict(plist_new_dict());
    for (int i = 0; i < entries; ++i) {
        plist_dict_set_item(dict.get(), ("key" + std::to_string(i)).c_str(),
                            plist_new_string("shared value"));
    }
    char *raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict.get(), &raw, &length);
    Bytes out(raw, raw + length);
    plist_to_bin_free(raw);
    return out;
}

const std::string kXmlHead = "<?xml version=\"1.0\"?><plist version=\"1.0\">";

TEST(PlistUntrusted, RefusesHostileBodiesAndPassesHonestOnes) {
    struct Case {
        const char *what;
        Bytes body;
        bool safe;
    };
    const Case cases[] = {
        {"arrays naming the same child twice, 24 levels", doubling_message(24), false},
        {"the same sharing 3 levels deep stays small", doubling_message(3), true},
        {"an ASCII string holding NUL", binary_plist({container({1}, 1), ascii("a\0b"s)}, 1),
         false},
        {"a key holding NUL", dict_with_key(ascii("Key\0"s)), false},
        {"a UTF-16 string holding U+0000",
         binary_plist({container({1}, 1), utf16({0x00E9, 0x0000, 0x0041})}, 1), false},
        {"a UTF-16 key holding U+0000", dict_with_key(utf16({0xD800, 0x0000})), false},
        {"a string nothing refers to still counts",
         binary_plist({container({}, 1), ascii("\0"s)}, 1), false},
        {"UTF-16 zero bytes that are no U+0000",
         binary_plist({container({1}, 1), utf16({0x0100, 0x0041})}, 1), true},
        {"XML CDATA holding a raw NUL",
         bytes_of(kXmlHead + "<string><![CDATA[a\0b]]></string></plist>"s), false},
        {"an XML key holding a raw NUL",
         bytes_of(kXmlHead + "<dict><key>a\0</key><true/></dict></plist>"s), false},
        {"NUL padding after the XML is harmless",
         bytes_of(kXmlHead + "<string>a</string></plist>\0\0\0"s), true},
        {"100,000 references to one shared string", shared_string_array(100000), true},
        {"500 references to one 1 MiB string",
         binary_plist(
             {container(std::vector<uint64_t>(500, 1), 1), ascii(std::string(1 << 20, 'x'))}, 1),
         false},
        // Object 2 is moved into object 1 ("Ta" at 12, "T" a marker of 4
        // characters) and runs on through objects 2 and 3 to a data byte 0:
        // the scan must not stop where object 1 ends.
        {"a string overlapping another, its NUL past the other's end",
         repoint(
             binary_plist({container({1, 2, 3}, 1), {0x52, 'T', 'a'}, {kTrue}, {0x41, 0x00}}, 1), 2,
             13),
         false},
        {"a written dictionary of 50,000 entries sharing one value", written_dictionary(50000),
         true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tarvo::plist_body_is_safe(c.body), c.safe) << c.what;
        PlistPtr parsed(tarvo::plist_from_untrusted_memory(c.body));
        EXPECT_EQ(parsed != nullptr, c.safe) << c.what;
    }
}

class PlistUntrustedFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvo-untrusted-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const char *name, const Bytes &content) const {
        const std::string file = dir_ + "/" + name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        return file;
    }

    std::string dir_;
};

TEST_F(PlistUntrustedFiles, BothFileReadersRefuseWhatTheCheckRefuses) {
    for (const Bytes &content :
         {doubling_message(24), nested_arrays(100000), dict_with_key(utf16({0x0000}))}) {
        const std::string file = write("Info.plist", content);
        plist_t node = nullptr;
        EXPECT_EQ(plist_read_from_filename(&node, file.c_str()), 1);
        EXPECT_EQ(node, nullptr);
#ifndef TARVO_HAVE_PLIST_READ_FROM_FILE  // a library's own reader has its own rules
        EXPECT_EQ(plist_read_from_file(file.c_str(), &node, nullptr), PLIST_ERR_PARSE);
        EXPECT_EQ(node, nullptr);
#endif
    }
    const std::string honest = write("Status.plist", shared_string_array(1000));
    plist_t node = nullptr;
    EXPECT_EQ(plist_read_from_filename(&node, honest.c_str()), 1);
    PlistPtr owned(node);
    EXPECT_NE(node, nullptr);
}

}  // namespace
