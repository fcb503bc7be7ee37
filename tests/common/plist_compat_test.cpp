// Tests of JSON input, file reading and stream writing for property lists.
// They hold for the fallbacks and, except where the text layout is ours, for
// a libplist that has these calls itself.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/plist_text.h"
#include "owners.h"
#include "plist_compat.h"

namespace {

#ifdef TARVO_HAVE_PLIST_WRITE_TO_STREAM
#define SKIP_IF_LIBRARY_WRITES_TEXT() GTEST_SKIP() << "the library's own text layout is in use"
#else
#define SKIP_IF_LIBRARY_WRITES_TEXT() (void)0
#endif

using plist_text::from_xml;
using plist_text::xml_of;

PlistPtr from_json(const std::string &json, plist_err_t *result = nullptr) {
    plist_t node = nullptr;
    plist_err_t rc = plist_from_json(json.data(), static_cast<uint32_t>(json.size()), &node);
    if (result) {
        *result = rc;
    }
    return PlistPtr(node);
}

struct Written {
    plist_err_t result;
    std::string text;
};

Written write_to_memory(plist_t node, int format, uint32_t options = 0) {
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    plist_err_t result = plist_write_to_stream(node, stream, static_cast<plist_format_t>(format),
                                               static_cast<plist_write_options_t>(options));
    std::fclose(stream);
    Written written{result, std::string(text, size)};
    std::free(text);
    return written;
}

// ------------------------------------------------------------------ JSON input

TEST(PlistFromJson, BuildsEveryKindOfNode) {
    PlistPtr node = from_json(R"({"s": "text\u00e9", "t": true, "f": false, "i": 42,
        "neg": -5, "big": 18446744073709551615, "r": 1.5, "whole": 2.0, "e": 1e3,
        "list": [1, [], {}], "nested": {"deeper": {"x": "y"}}})");
    ASSERT_NE(node, nullptr);
    PlistPtr want = from_xml(
        "<dict><key>s</key><string>text\xc3\xa9</string><key>t</key><true/><key>f</key><false/>"
        "<key>i</key><integer>42</integer><key>neg</key><integer>-5</integer>"
        "<key>big</key><integer>18446744073709551615</integer>"
        "<key>r</key><real>1.5</real><key>whole</key><real>2</real><key>e</key><real>1000</real>"
        "<key>list</key><array><integer>1</integer><array/><dict/></array>"
        "<key>nested</key><dict><key>deeper</key><dict><key>x</key><string>y</string></dict>"
        "</dict></dict>");
    ASSERT_NE(want, nullptr);
    EXPECT_EQ(xml_of(node.get()), xml_of(want.get()));
}

TEST(PlistFromJson, AcceptsAnyTopLevelValue) {
    struct Case {
        const char *json;
        plist_type type;
    } cases[] = {{"[1, 2]", PLIST_ARRAY}, {"\"s\"", PLIST_STRING},  {" 7 ", PLIST_UINT},
                 {"0.5", PLIST_REAL},     {"false", PLIST_BOOLEAN}, {"{}", PLIST_DICT}};
    for (const auto &c : cases) {
        PlistPtr node = from_json(c.json);
        ASSERT_NE(node, nullptr) << c.json;
        EXPECT_EQ(plist_get_node_type(node.get()), c.type) << c.json;
    }
}

TEST(PlistFromJson, RefusesMalformedInputAndNull) {
    const char *bad[] = {
        "",                    // nothing at all
        "{",                   // unterminated object
        "[1,]",                // trailing comma
        "{\"a\" 1}",           // missing colon
        "{} x",                // trailing garbage
        "null",                // property lists have no null
        "{\"a\": [1, null]}",  // ... not even nested
        "\"a\\u0000b\"",       // a string cannot hold NUL
        "{\"a\\u0000\": 1}",   // nor can a key
        "\"\xff\"",            // not UTF-8
        "{'a': 1}",            // single quotes
    };
    for (const char *json : bad) {
        plist_err_t result = PLIST_ERR_SUCCESS;
        PlistPtr node = from_json(json, &result);
        EXPECT_EQ(result, PLIST_ERR_PARSE) << json;
        EXPECT_EQ(node, nullptr) << json;
    }
}

TEST(PlistFromJson, RefusesNullArguments) {
    plist_t node = nullptr;
    EXPECT_EQ(plist_from_json(nullptr, 2, &node), PLIST_ERR_INVALID_ARG);
    EXPECT_EQ(plist_from_json("{}", 2, nullptr), PLIST_ERR_INVALID_ARG);
}

TEST(PlistFromJson, ParsesOnlyTheGivenLength) {
    const char json[] = "[1]garbage";
    plist_t node = nullptr;
    ASSERT_EQ(plist_from_json(json, 3, &node), PLIST_ERR_SUCCESS);
    PlistPtr owned(node);
    EXPECT_EQ(plist_array_get_size(node), 1u);
}

TEST(PlistFromJson, RefusesAbsurdNestingButNotReasonableDepth) {
    std::string reasonable = std::string(100, '[') + std::string(100, ']');
    EXPECT_NE(from_json(reasonable), nullptr);
    std::string absurd = std::string(100000, '[') + std::string(100000, ']');
    plist_err_t result = PLIST_ERR_SUCCESS;
    EXPECT_EQ(from_json(absurd, &result), nullptr);
    EXPECT_EQ(result, PLIST_ERR_PARSE);
}

// ------------------------------------------------------------------ file input

class PlistReadFromFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvo-compat-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string write(const char *name, const std::string &content) {
        std::string file = dir_ + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

    std::string dir_;
};

TEST_F(PlistReadFromFile, DetectsTheEncodingByContent) {
    PlistPtr want = from_xml("<dict><key>k</key><array><integer>1</integer></array></dict>");
    char *bin = nullptr;
    uint32_t bin_length = 0;
    plist_to_bin(want.get(), &bin, &bin_length);
    std::string binary(bin, bin_length);
    std::free(bin);
    struct Case {
        const char *name;
        std::string content;
        plist_format_t format;
    } cases[] = {
        {"a.json", binary, PLIST_FORMAT_BINARY},
        {"b.plist", xml_of(want.get()), PLIST_FORMAT_XML},
        {"c.xml", "\xEF\xBB\xBF\n  " + xml_of(want.get()), PLIST_FORMAT_XML},
        {"d.plist", " {\"k\": [1]}\n", PLIST_FORMAT_JSON},
    };
    for (const auto &c : cases) {
        plist_t node = nullptr;
        plist_format_t format = PLIST_FORMAT_NONE;
        ASSERT_EQ(plist_read_from_file(write(c.name, c.content).c_str(), &node, &format),
                  PLIST_ERR_SUCCESS)
            << c.name;
        PlistPtr owned(node);
        EXPECT_EQ(format, c.format) << c.name;
        EXPECT_EQ(xml_of(node), xml_of(want.get())) << c.name;
    }
}

TEST_F(PlistReadFromFile, ReportsEachKindOfFailure) {
    struct Case {
        std::string file;
        plist_err_t result;
    } cases[] = {
        {dir_ + "/missing", PLIST_ERR_IO},
        {dir_, PLIST_ERR_IO},
        {write("empty", ""), PLIST_ERR_PARSE},
        {write("short", "bplist00"), PLIST_ERR_PARSE},
        {write("garbage", "hello"), PLIST_ERR_PARSE},
        {write("bad.xml", "<plist><dict><key>a</key></plist>"), PLIST_ERR_PARSE},
    };
    for (const auto &c : cases) {
        plist_t node = reinterpret_cast<plist_t>(1);
        EXPECT_EQ(plist_read_from_file(c.file.c_str(), &node, nullptr), c.result) << c.file;
        EXPECT_EQ(node, nullptr) << c.file;
    }
    plist_t node = nullptr;
    EXPECT_EQ(plist_read_from_file(nullptr, &node, nullptr), PLIST_ERR_INVALID_ARG);
    EXPECT_EQ(plist_read_from_file(write("x", "{}").c_str(), nullptr, nullptr),
              PLIST_ERR_INVALID_ARG);
}

// ---------------------------------------------------------------- stream output

PlistPtr sample_values() {
    return from_xml(
        "<dict><key>DeviceName</key><string>Demo</string>"
        "<key>Count</key><integer>3</integer>"
        "<key>Offset</key><integer>-12</integer>"
        "<key>Huge</key><integer>18446744073709551615</integer>"
        "<key>Ratio</key><real>0.5</real>"
        "<key>Whole</key><real>2</real>"
        "<key>On</key><true/>"
        "<key>Families</key><array><integer>1</integer><dict><key>a</key><false/></dict></array>"
        "<key>Nested</key><dict><key>Inner</key><string>v</string><key>None</key><array/>"
        "<key>Blank</key><dict/></dict>"
        "<key>Blob</key><data>AQID</data>"
        "<key>When</key><date>2001-01-01T00:00:00Z</date>"
        "</dict>");
}

constexpr const char *kSampleText =
    "DeviceName: Demo\n"
    "Count: 3\n"
    "Offset: -12\n"
    "Huge: 18446744073709551615\n"
    "Ratio: 0.5\n"
    "Whole: 2.0\n"
    "On: true\n"
    "Families:\n"
    "  0: 1\n"
    "  1:\n"
    "    a: false\n"
    "Nested:\n"
    "  Inner: v\n"
    "  None: []\n"
    "  Blank: {}\n"
    "Blob: AQID\n"
    "When: 2001-01-01T00:00:00Z\n";

std::string indented(const std::string &text, const std::string &prefix) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        out += prefix + text.substr(start, end + 1 - start);
        start = end + 1;
    }
    return out;
}

TEST(PlistWriteToStream, TextForPeopleHasOneEntryPerLine) {
    SKIP_IF_LIBRARY_WRITES_TEXT();
    PlistPtr values = sample_values();
    for (int format : {PLIST_FORMAT_LIMD, PLIST_FORMAT_PRINT}) {
        Written written = write_to_memory(values.get(), format);
        EXPECT_EQ(written.result, PLIST_ERR_SUCCESS);
        EXPECT_EQ(written.text, kSampleText) << format;
    }
}

TEST(PlistWriteToStream, TextOptionsIndentAndDropTheFinalNewline) {
    SKIP_IF_LIBRARY_WRITES_TEXT();
    PlistPtr values = sample_values();
    std::string full = kSampleText;
    struct Case {
        uint32_t options;
        std::string want;
    } cases[] = {
        {PLIST_OPT_INDENT | PLIST_OPT_INDENT_BY(2), indented(full, "    ")},
        {0x2000008, indented(full, "    ")},
        {PLIST_OPT_INDENT_BY(2), full},  // levels count only with the indent bit
        {PLIST_OPT_INDENT, full},
        {PLIST_OPT_NO_NEWLINE, full.substr(0, full.size() - 1)},
        {PLIST_OPT_INDENT | PLIST_OPT_INDENT_BY(1) | PLIST_OPT_NO_NEWLINE,
         indented(full, "  ").substr(0, indented(full, "  ").size() - 1)},
    };
    for (const auto &c : cases) {
        Written written = write_to_memory(values.get(), PLIST_FORMAT_LIMD, c.options);
        EXPECT_EQ(written.result, PLIST_ERR_SUCCESS);
        EXPECT_EQ(written.text, c.want) << std::hex << c.options;
    }
}

TEST(PlistWriteToStream, TextOfScalarsArraysAndOddValues) {
    SKIP_IF_LIBRARY_WRITES_TEXT();
    struct Case {
        PlistPtr node;
        const char *want;
    } cases[] = {
        {from_xml("<string>just this</string>"), "just this\n"},
        {from_xml("<array><string>a</string><array><true/></array></array>"),
         "0: a\n1:\n  0: true\n"},
        {from_xml("<dict/>"), ""},
        {from_xml("<dict><key>line\nbreak</key><string>tab\there\x1b[0m</string></dict>"),
         "line\\nbreak: tab\\there\\x1b[0m\n"},
        {from_xml("<dict><key>empty</key><string></string><key>z</key><data></data></dict>"),
         "empty:\nz:\n"},
        {from_xml("<date>2000-12-31T23:59:59Z</date>"), "2000-12-31T23:59:59Z\n"},
        {PlistPtr(plist_new_uid(7)), "UID(7)\n"},
        {PlistPtr(plist_new_real(-1e300)), "-1e+300\n"},
    };
    for (const auto &c : cases) {
        ASSERT_NE(c.node, nullptr) << c.want;
        Written written = write_to_memory(c.node.get(), PLIST_FORMAT_LIMD);
        EXPECT_EQ(written.result, PLIST_ERR_SUCCESS);
        EXPECT_EQ(written.text, c.want);
    }
}

TEST(PlistWriteToStream, TextDatesAreUtcWhateverTheLocalZone) {
    SKIP_IF_LIBRARY_WRITES_TEXT();
    const char *old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "EST5", 1);
    tzset();
    PlistPtr date(plist_new_date(3600, 0));
    Written written = write_to_memory(date.get(), PLIST_FORMAT_LIMD);
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_EQ(written.text, "2001-01-01T01:00:00Z\n");
}

TEST(PlistWriteToStream, TextDataIsShortenedOnlyWhenAsked) {
    SKIP_IF_LIBRARY_WRITES_TEXT();
    std::string bytes(100, '\0');
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "d", plist_new_data(bytes.data(), bytes.size()));
    plist_dict_set_item(dict.get(), "s", plist_new_data(bytes.data(), 24));
    Written full = write_to_memory(dict.get(), PLIST_FORMAT_LIMD);
    EXPECT_EQ(full.text, "d: " + std::string(134, 'A') + "==\ns: " + std::string(32, 'A') + "\n");
    Written partial = write_to_memory(dict.get(), PLIST_FORMAT_LIMD, PLIST_OPT_PARTIAL_DATA);
    EXPECT_EQ(partial.text,
              "d: " + std::string(24, 'A') + "... (100 bytes)\ns: " + std::string(32, 'A') + "\n");
}

TEST(PlistWriteToStream, TextRefusesAbsurdNestingAndWritesNothing) {
    SKIP_IF_LIBRARY_WRITES_TEXT();
    PlistPtr top(plist_new_array());
    plist_t inner = top.get();
    for (int i = 0; i < 600; ++i) {
        plist_t next = plist_new_array();
        plist_array_append_item(inner, next);
        inner = next;
    }
    plist_array_append_item(inner, plist_new_bool(1));
    Written written = write_to_memory(top.get(), PLIST_FORMAT_LIMD);
    EXPECT_EQ(written.result, PLIST_ERR_FORMAT);
    EXPECT_EQ(written.text, "");
}

TEST(PlistWriteToStream, JsonRoundTripsAndHonoursCompact) {
    PlistPtr node = from_json(R"({"a": [1, -2, 2.5, true], "b": {"c": "q\"\\\n"}, "e": []})");
    ASSERT_NE(node, nullptr);
    Written compact = write_to_memory(node.get(), PLIST_FORMAT_JSON, PLIST_OPT_COMPACT);
    ASSERT_EQ(compact.result, PLIST_ERR_SUCCESS);
    EXPECT_EQ(compact.text.find(' '), std::string::npos) << compact.text;
    Written pretty = write_to_memory(node.get(), PLIST_FORMAT_JSON);
    ASSERT_EQ(pretty.result, PLIST_ERR_SUCCESS);
    for (const Written *written : {&compact, &pretty}) {
        PlistPtr back = from_json(written->text);
        ASSERT_NE(back, nullptr) << written->text;
        EXPECT_EQ(xml_of(back.get()), xml_of(node.get()));
    }
}

TEST(PlistWriteToStream, JsonRefusesNodesItCannotHoldAndWritesNothing) {
    PlistPtr data = from_xml("<dict><key>ok</key><true/><key>d</key><data>AQID</data></dict>");
    PlistPtr date = from_xml("<array><date>2001-01-01T00:00:00Z</date></array>");
    for (plist_t node : {data.get(), date.get()}) {
        Written written = write_to_memory(node, PLIST_FORMAT_JSON);
        EXPECT_EQ(written.result, PLIST_ERR_FORMAT);
        EXPECT_EQ(written.text, "");
    }
}

TEST(PlistWriteToStream, XmlAndBinaryAreTheLibraryEncodings) {
    PlistPtr values = sample_values();
    for (int format : {PLIST_FORMAT_XML, PLIST_FORMAT_BINARY}) {
        Written written = write_to_memory(values.get(), format);
        ASSERT_EQ(written.result, PLIST_ERR_SUCCESS);
        plist_t back = nullptr;
        plist_from_memory(written.text.data(), static_cast<uint32_t>(written.text.size()), &back);
        PlistPtr owned(back);
        ASSERT_NE(back, nullptr) << format;
        EXPECT_EQ(xml_of(back), xml_of(values.get())) << format;
    }
    EXPECT_EQ(write_to_memory(values.get(), PLIST_FORMAT_BINARY).text.rfind("bplist00", 0), 0u);
}

TEST(PlistWriteToStream, RefusesUnknownFormatsAndNullArguments) {
    PlistPtr node(plist_new_string("x"));
    std::vector<int> refused = {PLIST_FORMAT_NONE, 5, 99, -1};
#ifndef TARVO_HAVE_PLIST_WRITE_TO_STREAM
    refused.insert(refused.end(), {PLIST_FORMAT_OSTEP, 12});
#endif
    for (int format : refused) {
        Written written = write_to_memory(node.get(), format);
        EXPECT_EQ(written.result, PLIST_ERR_FORMAT) << format;
        EXPECT_EQ(written.text, "") << format;
    }
    EXPECT_EQ(write_to_memory(nullptr, PLIST_FORMAT_XML).result, PLIST_ERR_INVALID_ARG);
    EXPECT_EQ(plist_write_to_stream(node.get(), nullptr, PLIST_FORMAT_XML, PLIST_OPT_NONE),
              PLIST_ERR_INVALID_ARG);
}

}  // namespace
