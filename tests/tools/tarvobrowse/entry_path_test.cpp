// Entry paths and link targets checked as text, before the disk is touched.
#include "entry_path.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryPath, PlacesPlainPathsAndRefusesTheRest) {
    const struct {
        const char *domain;
        const char *path;
        bool placed;
        size_t components;
    } cases[] = {
        {"HomeDomain", "Library/Notes/a.txt", true, 4},
        {"HomeDomain", "", true, 1},         // the domain's own folder
        {"HomeDomain", "a//./b/", true, 3},  // empty and "." parts dropped
        {"HomeDomain", "a/../../b", false, 0},
        {"HomeDomain", "..", false, 0},
        {"HomeDomain", "/etc/passwd", false, 0},
        {"..", "x", false, 0},
        {".", "x", false, 0},
        {"", "x", false, 0},
        {"Home/Domain", "x", false, 0},
        {"HomeDomain", "a..b/..c", true, 3},  // dots inside names are names
    };
    for (const auto &c : cases) {
        browse::EntryPath path;
        const char *refusal = browse::entry_path_refusal(c.domain, c.path, path);
        EXPECT_EQ(refusal == nullptr, c.placed) << c.domain << "/" << c.path;
        if (c.placed) {
            EXPECT_EQ(path.components.size(), c.components) << c.path;
        }
    }
}

TEST(EntryPath, LinkTargetsStayInsideTheOutputFolder) {
    browse::EntryPath link;
    ASSERT_EQ(browse::entry_path_refusal("HomeDomain", "a/b/link", link), nullptr);
    const struct {
        const char *target;
        bool accepted;
    } cases[] = {
        {"sibling", true},
        {"../x/y", true},
        {"../../../OtherDomain/file", true},  // up to the output folder, no further
        {"../../../..", false},
        {"/etc/passwd", false},
        {"", false},
        {"x/../..", false},  // ".." after a name that may itself be a link
        {"./../.", true},
        {"x/./y", true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(browse::link_target_refusal(link, c.target) == nullptr, c.accepted) << c.target;
    }
}

}  // namespace
