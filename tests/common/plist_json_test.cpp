// Property lists as JSON: the types JSON lacks, order, signs and depth.
#include "plist_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "owners.h"

namespace {

TEST(PlistJson, EveryTypeHasAFormAProgramCanRead) {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "z", plist_new_bool(1));
    plist_dict_set_item(dict.get(), "a", plist_new_uint(1ull << 40));
    plist_dict_set_item(dict.get(), "negative", plist_new_uint(static_cast<uint64_t>(-5)));
    plist_dict_set_item(dict.get(), "real", plist_new_real(2.5));
    plist_dict_set_item(dict.get(), "nan", plist_new_real(NAN));
    plist_dict_set_item(dict.get(), "data", plist_new_data("\x00\xff", 2));
    plist_dict_set_item(dict.get(), "date", plist_new_date(0, 0));
    plist_dict_set_item(dict.get(), "uid", plist_new_uid(7));
    plist_dict_set_item(dict.get(), "text", plist_new_string("caf\xE9"));
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("x"));
    plist_dict_set_item(dict.get(), "list", array);
    // Whether -5 reads back negative depends on the sign note the library
    // keeps; both forms are the same 64 bits.
    const std::string text = tarvo::plist_to_json_text(dict.get());
    const bool signed_form = text.find("\"negative\": -5,") != std::string::npos;
    EXPECT_TRUE(signed_form ||
                text.find("\"negative\": 18446744073709551611,") != std::string::npos)
        << text;
    EXPECT_EQ(text, std::string("{\n"
                                "  \"z\": true,\n"
                                "  \"a\": 1099511627776,\n"
                                "  \"negative\": ") +
                        (signed_form ? "-5" : "18446744073709551611") +
                        ",\n"
                        "  \"real\": 2.5,\n"
                        "  \"nan\": null,\n"
                        "  \"data\": \"AP8=\",\n"
                        "  \"date\": \"2001-01-01T00:00:00Z\",\n"
                        "  \"uid\": 7,\n"
                        "  \"text\": \"caf\xEF\xBF\xBD\",\n"
                        "  \"list\": [\n"
                        "    \"x\"\n"
                        "  ]\n"
                        "}\n");
}

TEST(PlistJson, NestingBeyondTheBoundGivesNothing) {
    PlistPtr root(plist_new_array());
    plist_t inner = root.get();
    for (int i = 0; i < 600; ++i) {
        plist_t next = plist_new_array();
        plist_array_append_item(inner, next);
        inner = next;
    }
    EXPECT_FALSE(tarvo::plist_to_json_value(root.get()));
    EXPECT_EQ(tarvo::plist_to_json_text(root.get()), "");
    EXPECT_EQ(tarvo::plist_to_json_text(nullptr), "");
}

}  // namespace
