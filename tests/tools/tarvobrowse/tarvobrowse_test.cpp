// tarvobrowse on backup folders written by the test builder: corrupt and
// hostile manifests, each entry that cannot be placed named and the rest
// extracted, nothing outside the output folder, and the decrypted manifest
// never left behind.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "browse_test_support.h"
#include "scratch_dir.h"

namespace {

using namespace browsetest;
namespace fs = std::filesystem;

TestEntry file(const std::string &path, const std::string &content) {
    return make_file(path, content);
}

TestEntry link(const std::string &path, const std::string &target) {
    return make_link(path, target);
}

struct HostileCase {
    const char *what;
    TestEntry entry;
    bool encrypted;
    const char *named;    // in the error line
    const char *outside;  // must not exist (relative to the scratch folder), or null
};

std::vector<HostileCase> hostile_cases() {
    TestEntry climbing = file("../../escaped", "x");
    TestEntry absolute = file("/tmp/absolute", "x");
    TestEntry bad_domain = file("x", "x");
    bad_domain.domain = "../Escaped";
    TestEntry short_file = file("short", "twelve bytes");
    short_file.stored = "twelve";
    TestEntry long_file = file("long", "four");
    long_file.stored = "four and more";
    TestEntry missing = file("missing", "gone");
    missing.no_content_file = true;
    TestEntry bad_archive = file("archive", "x");
    bad_archive.archive = Bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0', 1, 2, 3};
    TestEntry bad_id = file("id", "x");
    bad_id.file_id = "../../../Manifest.plist";
    bad_id.no_content_file = true;
    TestEntry bad_padding = file("padding", "sixteen bytes!!!");
    bad_padding.stored = std::string(32, 'p');
    TestEntry unknown_kind = file("kind", "x");
    unknown_kind.flags = 8;
    return {
        {"a .. component", climbing, false, "../../escaped", "escaped"},
        {"an absolute path", absolute, false, "/tmp/absolute", nullptr},
        {"a domain that climbs", bad_domain, false, "../Escaped/x", "Escaped"},
        {"content shorter than Size", short_file, false, "HomeDomain/short", nullptr},
        {"content longer than Size", long_file, false, "HomeDomain/long", nullptr},
        {"no content file", missing, false, "HomeDomain/missing", nullptr},
        {"an archive that is no record", bad_archive, false, "HomeDomain/archive", nullptr},
        {"a fileID that is a path", bad_id, false, "HomeDomain/id", nullptr},
        {"an unknown kind", unknown_kind, false, "HomeDomain/kind", nullptr},
        {"a link to an absolute path", link("abs", "/etc"), false, "HomeDomain/abs", nullptr},
        {"a link that climbs out", link("up", "../../.."), false, "HomeDomain/up", nullptr},
        {"a link with .. after a name", link("via", "dir/../../.."), false, "HomeDomain/via",
         nullptr},
        {"encrypted content with bad padding", bad_padding, true, "HomeDomain/padding", nullptr},
        {"encrypted content cut short", short_file, true, "HomeDomain/short", nullptr},
    };
}

class TarvobrowseHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(TarvobrowseHostile, NamesTheEntryAndExtractsTheRest) {
    const HostileCase &c = GetParam();
    ScratchDir scratch;
    const std::string backup = scratch.path() + "/backup";
    const std::string out = scratch.path() + "/a/out";
    fs::create_directories(scratch.path() + "/a");
    TestBackupOptions options;
    if (c.encrypted) {
        options.password = "pw";
    }
    build_backup(backup,
                 {file("Documents/good.txt", "good content"), c.entry,
                  file("Documents/later.txt", "later content")},
                 options);
    ProcessResult run = browse({"extract", "--password-fd", "0", backup, out}, "pw\n");
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    EXPECT_EQ(read_file(out + "/HomeDomain/Documents/good.txt"), "good content");
    EXPECT_EQ(read_file(out + "/HomeDomain/Documents/later.txt"), "later content");
    if (c.outside) {
        EXPECT_FALSE(fs::exists(scratch.path() + "/" + c.outside));
        EXPECT_FALSE(fs::exists(scratch.path() + "/a/" + c.outside));
    }
    // A failed file leaves nothing under its name.
    EXPECT_FALSE(fs::exists(out + "/HomeDomain/" + c.entry.path) &&
                 fs::is_regular_file(out + "/HomeDomain/" + c.entry.path));
}

INSTANTIATE_TEST_SUITE_P(Cases, TarvobrowseHostile, ::testing::ValuesIn(hostile_cases()),
                         [](const auto &info) { return "Case" + std::to_string(info.index); });

TEST(Tarvobrowse, LinksAreMadeOnlyWhereTheyCannotLeadOut) {
    ScratchDir scratch;
    const std::string backup = scratch.path() + "/backup";
    const std::string out = scratch.path() + "/out";
    build_backup(backup, {
                             link("a/b/to-home", "../.."),           // climbs to HomeDomain/: fine
                             link("a/b/self", "."),                  // names its own folder
                             link("a/b/chain", "self/../../../.."),  // would climb out via self
                             file("a/b/self/under-link", "x"),       // a path through a link
                             file("a/b/real", "real"),
                         });
    ProcessResult run = browse({"extract", backup, out});
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(fs::read_symlink(out + "/HomeDomain/a/b/to-home"), "../..");
    EXPECT_EQ(fs::read_symlink(out + "/HomeDomain/a/b/self"), ".");
    EXPECT_FALSE(fs::is_symlink(out + "/HomeDomain/a/b/chain"));
    EXPECT_NE(run.err.find("HomeDomain/a/b/self/under-link"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(out + "/HomeDomain/a/b/real"), "real");
}

TEST(Tarvobrowse, ModesAndTimesFollowTheManifest) {
    ScratchDir scratch;
    const std::string backup = scratch.path() + "/backup";
    const std::string out = scratch.path() + "/out";
    TestEntry script = file("bin/run", "#!/bin/sh\n");
    script.mode = 0104755;  // set-user-ID dropped on the way out
    script.mtime = 1500000000;
    const TestEntry folder = make_folder("bin", 0500, 1400000000);
    build_backup(backup, {folder, script});
    ASSERT_EQ(browse({"extract", backup, out}).status, 0);
    struct stat st;
    ASSERT_EQ(stat((out + "/HomeDomain/bin/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    ASSERT_EQ(stat((out + "/HomeDomain/bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1400000000) << "the folder's time was set before its files";
}

TEST(Tarvobrowse, TheDecryptedManifestNeverOutlivesTheRun) {
    ScratchDir scratch;
    ScratchDir temp;
    const std::string backup = scratch.path() + "/backup";
    TestBackupOptions encrypted;
    encrypted.password = "pw";
    build_backup(backup, {file("a", "alpha")}, encrypted);
    setenv("TMPDIR", temp.path().c_str(), 1);
    EXPECT_EQ(browse({"list", "--password-fd", "0", backup}, "pw\n").status, 0);
    EXPECT_EQ(browse({"list", "--password-fd", "0", backup}, "wrong\n").status, 1);
    // A manifest that does not decrypt fails after the temporary file exists.
    std::string stored = read_file(backup + "/Manifest.db");
    stored.resize(stored.size() - 16);
    write_bytes(backup + "/Manifest.db", stored.data(), stored.size());
    ProcessResult cut = browse({"list", "--password-fd", "0", backup}, "pw\n");
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("Manifest.db"), std::string::npos) << cut.err;
    unsetenv("TMPDIR");
    EXPECT_TRUE(fs::is_empty(temp.path())) << "a temporary file was left behind";
}

struct UsageCase {
    std::vector<std::string> args;
    int status;
    const char *says;
};

TEST(Tarvobrowse, CommandLineErrorsAndExitStatuses) {
    ScratchDir scratch;
    build_backup(scratch.path() + "/b", {file("a", "alpha")});
    const std::string b = scratch.path() + "/b";
    const UsageCase cases[] = {
        {{}, 2, "missing COMMAND"},
        {{"frobnicate", b}, 2, "unknown command"},
        {{"list"}, 2, "missing BACKUP"},
        {{"cat", b, "HomeDomain"}, 2, "wrong number"},
        {{"info", "--json", b}, 2, "--json"},
        {{"list", "--password-fd", "x", b}, 2, "descriptor"},
        {{"info", scratch.path()}, 1, "no backup folder"},
        {{"cat", b, "HomeDomain", "nothing"}, 1, "no entry HomeDomain/nothing"},
        {{"cat", b, "HomeDomain", "a"}, 0, ""},
    };
    for (const UsageCase &c : cases) {
        ProcessResult run = browse(c.args);
        EXPECT_EQ(run.status, c.status) << c.says;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
    ProcessResult version = browse({"-v"});
    EXPECT_EQ(version.out.rfind("tarvobrowse ", 0), 0u) << version.out;
}

}  // namespace
