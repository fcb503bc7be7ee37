// The JSON forms of info and list answers: which values become numbers,
// CSV quoting, and lines of neither shape.
#include "content_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

TEST(ContentJson, InfoLinesBecomeMembersAndOnlyCountsBecomeNumbers) {
    const json info =
        json::parse(info_content_to_json("Device Name: 2024\r\n"
                                         "Files: 12\n"
                                         "Total Size: 70031 bytes\n"
                                         "Unreadable Records: 07\n"
                                         "Last Backup Date: 2026-12-09 18:59:40 UTC\n"
                                         "a line of another shape\n"
                                         "\n"
                                         "Files: not known (the backup is encrypted)"));
    EXPECT_EQ(info["Device Name"], "2024");
    EXPECT_EQ(info["Files"], "not known (the backup is encrypted)") << "the last line wins";
    EXPECT_EQ(info["Total Size"], 70031);
    EXPECT_EQ(info["Unreadable Records"], "07");
    EXPECT_EQ(info["Last Backup Date"], "2026-12-09 18:59:40 UTC");
    EXPECT_EQ(info["notes"], json::array({"a line of another shape"}));
    EXPECT_EQ(json::parse(info_content_to_json("")), json::object());
}

TEST(ContentJson, ListRowsAreNamedByTheHeader) {
    const json list =
        json::parse(list_content_to_json("Domain,Path,Size\r\n"
                                         "HomeDomain,\"Documents/a, \"\"b\"\".txt\",3\n"
                                         "HomeDomain,\"two\nlines\",\n"
                                         "MediaDomain,7,18446744073709551615\n"
                                         "MediaDomain,big,18446744073709551616\n"
                                         "(2 more files not listed)\n"
                                         "HomeDomain,\"never closed,1\n"));
    ASSERT_EQ(list["files"].size(), 4u) << list.dump();
    EXPECT_EQ(list["files"][0],
              json({{"Domain", "HomeDomain"}, {"Path", "Documents/a, \"b\".txt"}, {"Size", 3}}));
    EXPECT_EQ(list["files"][1]["Path"], "two\nlines");
    EXPECT_TRUE(list["files"][1]["Size"].is_null());
    EXPECT_EQ(list["files"][2]["Path"], "7");
    EXPECT_EQ(list["files"][2]["Size"], UINT64_MAX);
    EXPECT_EQ(list["files"][3]["Size"], "18446744073709551616");
    EXPECT_EQ(list["notes"],
              json::array({"(2 more files not listed)", "HomeDomain,\"never closed,1"}));
}

TEST(ContentJson, TextThatIsNoUtf8IsReplacedNotDropped) {
    const json info = json::parse(info_content_to_json("Device Name: caf\xE9\n"));
    EXPECT_EQ(info["Device Name"], "caf\xEF\xBF\xBD");
}

}  // namespace
