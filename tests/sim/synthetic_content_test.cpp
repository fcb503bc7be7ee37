// Synthetic device content: the fixture section's checks, the generator's
// order, counts, sizes and determinism, the generations, and the overlay of
// the content folder with removals, through DeviceContent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "device_content.h"
#include "sim_test_support.h"
#include "synthetic_content.h"
#include "walk_order.h"

namespace tarvosim {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

/// The section read from device.plist keys given as XML; null with *error.
std::shared_ptr<const SyntheticContent> config_of(const std::string &dict_body,
                                                  std::string *error) {
    const std::string xml =
        "<plist version=\"1.0\"><dict><key>SyntheticContent</key>" + dict_body + "</dict></plist>";
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    PlistPtr owner(root);
    std::any out;
    if (!root || !synthetic_content_section().load({"device.plist", "/none", root}, &out, error)) {
        return nullptr;
    }
    return std::any_cast<std::shared_ptr<const SyntheticContent>>(out);
}

std::shared_ptr<const SyntheticContent> config(const std::string &keys) {
    std::string error;
    auto made = config_of("<dict>" + keys + "</dict>", &error);
    EXPECT_TRUE(made) << error;
    return made;
}

std::string integer(const char *key, uint64_t value) {
    return std::string("<key>") + key + "</key><integer>" + std::to_string(value) + "</integer>";
}

std::vector<ContentEntry> entries_of(const SyntheticTree &tree, uint64_t generation) {
    std::vector<ContentEntry> entries;
    SyntheticWalk walk(tree, generation);
    for (ContentEntry entry; walk.next(&entry);) {
        entries.push_back(entry);
    }
    return entries;
}

std::string bytes_of(const ContentEntry &entry, std::size_t piece = 32768) {
    std::string bytes(entry.size, '\0');
    std::unique_ptr<ContentReader> reader = entry.open();
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t size = std::min(piece, bytes.size() - at);
        EXPECT_TRUE(reader->read({reinterpret_cast<uint8_t *>(bytes.data()) + at, size}));
    }
    return bytes;
}

// Inside the SyntheticContent dictionary; the test adds one file to each.
const std::pair<const char *, const char *> kBadConfigs[] = {
    {"<key>Files</key><integer>10000001</integer>",
     "\"Files\": must be an integer from 0 to 10000000"},
    {"<key>Files</key><string>9</string>", "\"Files\": must be"},
    {"<key>Sead</key><integer>1</integer>", "unknown key \"Sead\" (known keys: Seed, Files"},
    {"<key>MinSize</key><integer>9</integer><key>MaxSize</key><integer>8</integer>",
     "\"MinSize\" is larger than \"MaxSize\""},
    {"<key>LargeFiles</key><integer>2</integer>", "\"LargeFiles\" is more than \"Files\""},
    {"<key>SizeProfile</key><string>tablet</string>",
     "\"SizeProfile\": must be \"phone\" or \"uniform\""},
    {"<key>ChangedShare</key><real>1.5</real>", "\"ChangedShare\": must be a number from 0 to 1"},
    {"<key>Domains</key><array><string>a/b</string></array>",
     "\"Domains\": item 1 must be a domain name"},
    {"<key>Domains</key><array><string>A</string><string>A</string></array>",
     "\"Domains\": \"A\" is listed twice"},
    {"<key>Domains</key><array/>", "\"Domains\": must be an array of 1 to 1000"},
    {"<key>FolderDepth</key><integer>9</integer>",
     "\"FolderDepth\": must be an integer from 0 to 8"},
    {"<key>FilesPerFolder</key><integer>0</integer>",
     "\"FilesPerFolder\": must be an integer from 1 to 100000"},
};

TEST(SyntheticContentTest, RefusesEachMistakeNamingKeyAndProblem) {
    std::vector<std::pair<std::string, std::string>> cases{{"<array/>", "must be a dictionary"},
                                                           {"<dict/>", "needs \"Files\""}};
    for (const auto &[keys, expected] : kBadConfigs) {
        // A later "Files" replaces the first, so each case may set its own.
        cases.emplace_back(
            "<dict><key>Files</key><integer>1</integer>" + std::string(keys) + "</dict>", expected);
    }
    for (const auto &[dict, expected] : cases) {
        std::string error;
        EXPECT_FALSE(config_of(dict, &error)) << dict;
        EXPECT_EQ(error.find("device.plist: key \"SyntheticContent\": "), 0u) << error;
        EXPECT_NE(error.find(expected), std::string::npos) << dict << ": " << error;
    }
}

TEST(SyntheticContentTest, DefaultsAreAPhoneOfAppAndSystemDomains) {
    const auto made = config(integer("Files", 5));
    ASSERT_TRUE(made);
    EXPECT_EQ(made->domains, default_synthetic_domains());
    EXPECT_TRUE(std::is_sorted(made->domains.begin(), made->domains.end()));
    EXPECT_EQ(
        std::vector<uint64_t>({made->seed, made->min_size, made->max_size, made->large_files,
                               made->folder_depth, made->files_per_folder, made->changed_share}),
        std::vector<uint64_t>({0, 1024, 65536, 0, 2, 100, kShareScale / 100}));
    EXPECT_EQ(made->profile, SizeProfile::kPhone);
}

struct Shape {
    uint64_t files;
    uint64_t depth;
    uint64_t per_folder;
    uint64_t domains;  // of the default list
    uint64_t folders;  // expected, domains' own folders left out
};

TEST(SyntheticContentTest, WalksEveryFileInWalkOrderAndFindsEachAgain) {
    for (const Shape shape :
         {Shape{0, 2, 10, 6, 0}, Shape{7, 0, 3, 2, 0}, Shape{1000, 1, 10, 3, 102},
          Shape{2500, 3, 7, 6, 0}, Shape{5, 8, 1, 1, 15}}) {
        SCOPED_TRACE(::testing::Message() << shape.files << " files, depth " << shape.depth);
        std::string domains = "<key>Domains</key><array>";
        for (uint64_t i = 0; i < shape.domains; ++i) {
            domains += "<string>" + default_synthetic_domains()[i] + "</string>";
        }
        const SyntheticTree tree(config(integer("Files", shape.files) + domains + "</array>" +
                                        integer("FolderDepth", shape.depth) +
                                        integer("FilesPerFolder", shape.per_folder)));
        std::set<std::string> seen;
        uint64_t files = 0;
        uint64_t folders = 0;
        const std::vector<ContentEntry> entries = entries_of(tree, 0);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const ContentEntry &entry = entries[i];
            if (i > 0) {
                ASSERT_LT(compare_walk_order(entries[i - 1].domain, entries[i - 1].relative_path,
                                             entry.domain, entry.relative_path),
                          0)
                    << entry.relative_path;
            }
            const std::size_t slash = entry.relative_path.rfind('/');
            const std::string parent =
                slash == std::string::npos ? "" : entry.relative_path.substr(0, slash);
            if (!entry.relative_path.empty()) {
                EXPECT_TRUE(seen.count(entry.domain + "/" + parent)) << entry.relative_path;
            }
            seen.insert(entry.domain + "/" + entry.relative_path);
            files += entry.kind == EntryKind::kFile;
            folders += entry.kind == EntryKind::kDirectory && !entry.relative_path.empty();
            const std::optional<ContentEntry> found =
                tree.find(entry.domain, entry.relative_path, 0);
            ASSERT_TRUE(found) << entry.relative_path;
            EXPECT_EQ(found->kind, entry.kind);
            EXPECT_EQ(found->size, entry.size);
            EXPECT_EQ(found->inode, entry.inode);
        }
        EXPECT_EQ(files, shape.files);
        if (shape.folders != 0) {
            EXPECT_EQ(folders, shape.folders);
        }
        for (const char *stranger :
             {"d99", "file-0000.none", "d00/d00/d00/d00/d00/d00/d00/d00/d00"}) {
            EXPECT_FALSE(tree.find(tree.domain(0), stranger, 0)) << stranger;
        }
    }
}

TEST(SyntheticContentTest, SizesFollowTheProfileAndLargeFilesAreCountedExactly) {
    struct Case {
        std::string keys;
        uint64_t low, high, large, large_low, large_high;
    };
    const Case cases[] = {
        {integer("MinSize", 1024) + integer("MaxSize", 65536) + integer("LargeFiles", 37) +
             integer("LargeMinSize", 1 << 22) + integer("LargeMaxSize", 1 << 23),
         1024, 65536, 37, 1 << 22, 1 << 23},
        {"<key>SizeProfile</key><string>uniform</string>" + integer("MinSize", 0) +
             integer("MaxSize", 100),
         0, 100, 0, 0, 0},
    };
    for (const Case &c : cases) {
        const SyntheticTree tree(config(integer("Files", 5000) + c.keys));
        std::vector<uint64_t> small;
        uint64_t large = 0;
        for (uint64_t i = 0; i < 5000; ++i) {
            const uint64_t size = tree.size_of(i);
            if (tree.is_large(i)) {
                ++large;
                EXPECT_GE(size, c.large_low);
                EXPECT_LE(size, c.large_high);
            } else {
                EXPECT_GE(size, c.low);
                EXPECT_LE(size, c.high);
                small.push_back(size);
            }
        }
        EXPECT_EQ(large, c.large);
        std::sort(small.begin(), small.end());
        const uint64_t median = small[small.size() / 2];
        const uint64_t middle = (c.low + c.high) / 2;
        // Phone-like sizes crowd at the small end; uniform ones do not.
        if (c.large > 0) {
            EXPECT_LT(median, middle / 2);
        } else {
            EXPECT_NEAR(static_cast<double>(median), static_cast<double>(middle), 10.0);
        }
    }
}

TEST(SyntheticContentTest, TheSeedAloneFixesNamesSizesTimesAndBytes) {
    const std::string keys = integer("Files", 300) + integer("LargeFiles", 2) +
                             integer("LargeMinSize", 100000) + integer("LargeMaxSize", 200000);
    const std::vector<ContentEntry> once =
        entries_of(SyntheticTree(config(integer("Seed", 1) + keys)), 0);
    const std::vector<ContentEntry> again =
        entries_of(SyntheticTree(config(integer("Seed", 1) + keys)), 0);
    const std::vector<ContentEntry> other =
        entries_of(SyntheticTree(config(integer("Seed", 2) + keys)), 0);
    ASSERT_EQ(once.size(), again.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < once.size(); ++i) {
        EXPECT_EQ(once[i].relative_path, again[i].relative_path);
        EXPECT_EQ(once[i].size, again[i].size);
        EXPECT_EQ(once[i].last_modified, again[i].last_modified);
        if (once[i].kind == EntryKind::kFile) {
            // The pieces the bytes are read in do not change them.
            EXPECT_EQ(bytes_of(once[i]), bytes_of(again[i], 5));
            differing += once[i].size != other[i].size || bytes_of(once[i]) != bytes_of(other[i]);
        }
    }
    EXPECT_GT(differing, 290u);
    // The same on every machine: worked out from splitmix64's definition
    // apart from this code, and written down.
    const ContentEntry &first = once[3];
    EXPECT_EQ(first.domain + "/" + first.relative_path,
              "AppDomain-com.example.synthetic.camera/d00/d00/file-0000.db");
    EXPECT_EQ(first.size, 1414u);
    EXPECT_EQ(first.last_modified, 1688568460);
    EXPECT_EQ(bytes_of(first).substr(0, 8), "\x9c\xc3\x4c\xcb\x71\xc4\x42\x44");
}

TEST(SyntheticContentTest, EachGenerationChangesAboutTheShareAsked) {
    constexpr uint64_t kFiles = 20000;
    for (const char *share : {"0", "0.01", "0.1", "1"}) {
        SCOPED_TRACE(share);
        const SyntheticTree tree(config(integer("Files", kFiles) + integer("MinSize", 8) +
                                        integer("MaxSize", 64) + "<key>ChangedShare</key><real>" +
                                        share + "</real>"));
        const std::vector<ContentEntry> before = entries_of(tree, 4);
        const std::vector<ContentEntry> after = entries_of(tree, 5);
        ASSERT_EQ(before.size(), after.size());
        uint64_t changed = 0;
        for (std::size_t i = 0; i < before.size(); ++i) {
            if (before[i].kind != EntryKind::kFile) {
                continue;
            }
            const bool moved = before[i].last_modified != after[i].last_modified;
            changed += moved;
            EXPECT_EQ(before[i].size, after[i].size);
            EXPECT_EQ(before[i].inode, after[i].inode);
            if (before[i].size >= 8) {
                EXPECT_EQ(moved, bytes_of(before[i]) != bytes_of(after[i]));
            }
        }
        const double expected = std::stod(share) * kFiles;
        EXPECT_NEAR(static_cast<double>(changed), expected, expected * 0.2 + 0.5);
    }
}

class OverlayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tree_ =
            config(integer("Files", 40) + integer("FolderDepth", 1) + integer("FilesPerFolder", 5) +
                   "<key>Domains</key><array><string>HomeDomain</string></array>");
        content_ = std::make_unique<DeviceContent>(dir_.file("content"), tree_);
        fs::create_directories(dir_.file("content/HomeDomain/d01"));
        std::ofstream(dir_.file("content/HomeDomain/d00")) << "a file where a folder was";
        std::ofstream(dir_.file("content/HomeDomain/real.txt")) << "real";
        SyntheticTree tree(tree_);
        SyntheticWalk walk(tree, 0);
        for (ContentEntry entry; walk.next(&entry);) {
            if (entry.relative_path.starts_with("d01/file-0000")) {
                shadowed_ = entry.relative_path;
                std::ofstream(dir_.file("content/HomeDomain/" + shadowed_)) << "restored";
            }
        }
        std::string error;
        ASSERT_TRUE(content_->prepare("/none", &error)) << error;
    }

    std::map<std::string, ContentEntry> walked() {
        std::map<std::string, ContentEntry> entries;
        ContentEntry last;
        content_->walk([&](const ContentEntry &entry) {
            EXPECT_LT(compare_walk_order(last.domain, last.relative_path, entry.domain,
                                         entry.relative_path),
                      0);
            last = entry;
            entries[entry.relative_path] = entry;
            return true;
        });
        return entries;
    }
    std::string opened(const std::string &path, uint64_t size) {
        std::unique_ptr<ContentReader> reader = content_->open("HomeDomain", path);
        std::string bytes(size, '\0');
        return reader && reader->read({reinterpret_cast<uint8_t *>(bytes.data()), bytes.size()})
                   ? bytes
                   : "<unreadable>";
    }

    TempDir dir_;
    std::shared_ptr<const SyntheticContent> tree_;
    std::unique_ptr<DeviceContent> content_;
    std::string shadowed_;
};

TEST_F(OverlayTest, TheFolderWinsAndHidesWhatItsFilesCover) {
    const std::map<std::string, ContentEntry> entries = walked();
    ASSERT_TRUE(entries.count("d00"));
    EXPECT_EQ(entries.at("d00").kind, EntryKind::kFile);
    for (const auto &[path, entry] : entries) {
        EXPECT_FALSE(path.starts_with("d00/")) << path;
    }
    EXPECT_EQ(opened(shadowed_, 8), "restored");
    EXPECT_EQ(opened("real.txt", 4), "real");
    EXPECT_FALSE(content_->open("HomeDomain", "d00/file-0000.txt"));
    // 40 files in 8 folders; d00's five hidden, real.txt and d00 itself real.
    EXPECT_EQ(entries.size(), 1 + 8 + 40 - 5 + 1);
    const auto synthetic = entries.lower_bound("d07/");
    ASSERT_EQ(synthetic->second.kind, EntryKind::kFile);
    const SyntheticTree tree(tree_);
    EXPECT_EQ(opened(synthetic->first, synthetic->second.size),
              bytes_of(*tree.find("HomeDomain", synthetic->first, 0)));
}

TEST_F(OverlayTest, RemovalsHideSyntheticEntriesAndDeleteRealOnes) {
    std::error_code failed;
    EXPECT_EQ(content_->remove("HomeDomain", "d02", failed), 1u);
    EXPECT_EQ(content_->remove("HomeDomain", "d02/file-0001.txt", failed), 0u);
    EXPECT_EQ(content_->remove("HomeDomain", "real.txt", failed), 1u);
    // The real folder with its file, and the made one.
    EXPECT_EQ(content_->remove("HomeDomain", "d01", failed), 3u);
    EXPECT_EQ(content_->remove("HomeDomain", "../escape", failed), 0u);
    EXPECT_FALSE(failed) << failed.message();
    const std::map<std::string, ContentEntry> entries = walked();
    for (const auto &[path, entry] : entries) {
        EXPECT_FALSE(path.starts_with("d01") || path.starts_with("d02") || path == "real.txt")
            << path;
    }
    EXPECT_EQ(entries.size(), 1 + 1 + 5 * (1 + 5));  // d00 and five made folders of five
    EXPECT_FALSE(fs::exists(dir_.file("content/HomeDomain/d01")));
    // Kept in the state folder: a device made again still misses them.
    DeviceContent again(dir_.file("content"), tree_);
    EXPECT_FALSE(again.open("HomeDomain", shadowed_));
    bool seen = false;
    again.walk([&](const ContentEntry &entry) {
        seen = seen || entry.relative_path == "d02";
        return true;
    });
    EXPECT_FALSE(seen);
}

TEST_F(OverlayTest, TheGenerationComesFromTheStateFolder) {
    fs::create_directories(dir_.file("synthetic"));
    for (const auto &[text, expected] : std::vector<std::pair<std::string, int64_t>>{
             {"3\n", 3}, {" 12 ", 12}, {"x", -1}, {"4294967296", -1}, {"", -1}}) {
        std::ofstream(dir_.file("synthetic/generation")) << text;
        std::string error;
        EXPECT_EQ(content_->prepare("/none", &error), expected >= 0) << text;
        if (expected >= 0) {
            EXPECT_EQ(content_->generation(), static_cast<uint64_t>(expected));
        } else {
            EXPECT_NE(error.find("synthetic/generation: must hold a generation number"),
                      std::string::npos)
                << error;
        }
    }
}

}  // namespace
}  // namespace tarvosim
