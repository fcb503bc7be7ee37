// Tests of the indented plain-text printer for property lists.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "owners.h"
#include "utils.h"

namespace {

// Everything plist_print_to_stream writes for node.
std::string printed(plist_t node) {
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    plist_print_to_stream(node, stream);
    std::fclose(stream);
    std::string result(text, size);
    std::free(text);
    return result;
}

// Sets TZ for one test and restores the previous zone afterwards.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char *zone) {
        const char *old = std::getenv("TZ");
        had_old_ = old != nullptr;
        if (had_old_) {
            old_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (had_old_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool had_old_ = false;
    std::string old_;
};

plist_t int_array(std::vector<uint64_t> values) {
    plist_t array = plist_new_array();
    for (uint64_t v : values) {
        plist_array_append_item(array, plist_new_uint(v));
    }
    return array;
}

TEST(PlistTextPrinter, PrintsTheSampleDictionary) {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "A", plist_new_string("x"));
    plist_dict_set_item(dict.get(), "B", int_array({1, 2}));
    plist_t c = plist_new_dict();
    plist_dict_set_item(c, "D", plist_new_bool(1));
    plist_dict_set_item(dict.get(), "C", c);
    plist_dict_set_item(dict.get(), "E", plist_new_array());
    plist_dict_set_item(dict.get(), "F", plist_new_data("\x01\x02\x03", 3));
    EXPECT_EQ(printed(dict.get()),
              "A: x\n"
              "B[2]: \n"
              " 0: 1\n"
              " 1: 2\n"
              "C: \n"
              " D: true\n"
              "E[0]: \n"
              "F: AQID\n");
}

TEST(PlistTextPrinter, IndentsOneBlankPerLevel) {
    PlistPtr top(plist_new_dict());
    plist_t outer = plist_new_dict();
    plist_t inner = plist_new_dict();
    plist_dict_set_item(inner, "deep", plist_new_real(1.5));
    plist_dict_set_item(outer, "inner", inner);
    plist_dict_set_item(outer, "empty", plist_new_dict());
    plist_dict_set_item(top.get(), "outer", outer);
    plist_dict_set_item(top.get(), "after", plist_new_bool(0));
    EXPECT_EQ(printed(top.get()),
              "outer: \n"
              " inner: \n"
              "  deep: 1.500000\n"
              " empty: \n"
              "after: false\n");
}

TEST(PlistTextPrinter, TopLevelArraysListItemsWithoutIndentation) {
    PlistPtr array(plist_new_array());
    plist_array_append_item(array.get(), plist_new_string("a"));
    plist_array_append_item(array.get(), int_array({7}));
    EXPECT_EQ(printed(array.get()), "0: a\n1: \n 0: 7\n");
}

TEST(PlistTextPrinter, WritesNothingForNullsOrEmptyTopLevelContainers) {
    PlistPtr array(plist_new_array());
    PlistPtr dict(plist_new_dict());
    EXPECT_EQ(printed(nullptr), "");
    EXPECT_EQ(printed(array.get()), "");
    EXPECT_EQ(printed(dict.get()), "");
    plist_print_to_stream(dict.get(), nullptr);  // must not crash
}

TEST(PlistTextPrinter, PrintsScalarsAtTheTop) {
    struct Case {
        PlistPtr node;
        const char *want;
    } cases[] = {
        {PlistPtr(plist_new_string("hello")), "hello\n"},
        {PlistPtr(plist_new_bool(1)), "true\n"},
        {PlistPtr(plist_new_real(-0.25)), "-0.250000\n"},
        // Integers are the unsigned 64-bit value, whatever sign they were made with.
        {PlistPtr(plist_new_uint(static_cast<uint64_t>(-1))), "18446744073709551615\n"},
        {PlistPtr(plist_new_data("", 0)), "\n"},
        {PlistPtr(plist_new_uid(5)), ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(printed(c.node.get()), c.want);
    }
}

TEST(PlistTextPrinter, UidValuesLeaveTheLineOpen) {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "ref", plist_new_uid(3));
    plist_dict_set_item(dict.get(), "next", plist_new_string("n"));
    EXPECT_EQ(printed(dict.get()), "ref: next: n\n");
}

TEST(PlistTextPrinter, DatesAreLocalTimeWithATrailingZ) {
    struct Case {
        const char *zone;
        int32_t seconds;
        int32_t microseconds;  // ignored by the printer
        const char *want;
    } cases[] = {
        {"UTC", 0, 999999, "2001-01-01T00:00:00Z\n"},
        {"UTC", -86400, 0, "2000-12-31T00:00:00Z\n"},
        {"UTC", 86400 * 366 + 3661, 500000, "2002-01-02T01:01:01Z\n"},
        {"EST5", 0, 0, "2000-12-31T19:00:00Z\n"},
    };
    for (const auto &c : cases) {
        ScopedTimeZone zone(c.zone);
        PlistPtr date(plist_new_date(c.seconds, c.microseconds));
        EXPECT_EQ(printed(date.get()), c.want) << c.zone << " " << c.seconds;
    }
}

TEST(PlistTextPrinter, DataIsOneLineOfPaddedBase64) {
    struct Case {
        std::string bytes;
        std::string want;
    } cases[] = {
        {"\x01", "AQ==\n"},         {"\x01\x02", "AQI=\n"},   {"\x01\x02\x03", "AQID\n"},
        {"\xfb\xff\xbf", "+/+/\n"}, {"Man is", "TWFuIGlz\n"},
    };
    for (const auto &c : cases) {
        PlistPtr data(plist_new_data(c.bytes.data(), c.bytes.size()));
        EXPECT_EQ(printed(data.get()), c.want);
    }
    std::string thousand(1000, '\x7f');
    PlistPtr data(plist_new_data(thousand.data(), thousand.size()));
    std::string text = printed(data.get());
    EXPECT_EQ(text.size(), 1336u + 1);
    EXPECT_EQ(text.find('\n'), 1336u);
    EXPECT_EQ(text.substr(1332), "fw==\n");
}

}  // namespace
