// The device's requests on the host's file system at function level: free
// space, listing, making, moving, removing and copying entries, with their
// answers and printed lines, and the tree operations they share.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <string>
#include <vector>

#include "directory_walk.h"
#include "host_fs_requests.h"
#include "signals_and_notifications.h"
#include "transfer_support.h"

namespace {

using namespace transfer_test;
using Handler = void (*)(BackupChannel &, plist_t, const char *);

std::string message(const std::string &name, const std::string &rest) {
    return "<array><string>" + name + "</string>" + rest + "</array>";
}

class Tarvobackup2TransferHostRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        verbose = true;
        quit_flag = 0;
    }

    void run(Handler handler, const std::string &xml) { run_in(handler, xml, scratch.backup); }
    void run_in(Handler handler, const std::string &xml, const std::string &directory) {
        channel.responses.clear();
        PlistPtr node = plist_from_fragment(xml);
        StdoutCapture capture;
        handler(channel, node.get(), directory.c_str());
        out = capture.take();
    }
    const StatusResponse &only_response() {
        EXPECT_EQ(channel.responses.size(), 1u);
        static StatusResponse none{999, "", nullptr};
        return channel.responses.empty() ? none : channel.responses[0];
    }
    std::string path(const std::string &relative) const { return scratch.in_backup(relative); }

    BackupScratch scratch;
    SocketChannel channel{-1};
    std::string out;
};

uint64_t uint_of(plist_t node) {
    uint64_t value = 0;
    if (node && plist_get_node_type(node) == PLIST_UINT) {
        plist_get_uint_val(node, &value);
    }
    return value;
}

std::string string_at(plist_t dict, const char *key) {
    char *text = nullptr;
    plist_t node = plist_dict_get_item(dict, key);
    if (node && plist_get_node_type(node) == PLIST_STRING) {
        plist_get_string_val(node, &text);
    }
    CString owned(text);
    return owned ? owned.get() : "(missing)";
}

TEST_F(Tarvobackup2TransferHostRequests, FreeSpace) {
    run(mb2_report_free_space, message("DLMessageGetFreeDiskSpace", ""));
    EXPECT_EQ(out, "");
    EXPECT_EQ(only_response().code, 0);
    EXPECT_EQ(only_response().text, "(none)");
    EXPECT_GT(uint_of(only_response().value.get()), 0u);

    run_in(mb2_report_free_space, message("DLMessageGetFreeDiskSpace", ""), path("missing"));
    EXPECT_EQ(only_response().code, -1);
    EXPECT_EQ(uint_of(only_response().value.get()), 0u);
}

TEST_F(Tarvobackup2TransferHostRequests, ListDirectory) {
    std::filesystem::create_directories(path("d/sub"));
    write_file(path("d/file"), "0123456789");
    // 2001-01-01 00:00:00 UTC, where property-list dates start.
    struct timespec times[2] = {{978307200, 0}, {978307200, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path("d/file").c_str(), times, 0), 0);
    ASSERT_EQ(symlink("file", path("d/link").c_str()), 0);

    run(mb2_list_directory, message("DLContentsOfDirectory", "<string>d</string>"));
    EXPECT_EQ(out, "");
    ASSERT_EQ(only_response().code, 0);
    plist_t listing = only_response().value.get();
    ASSERT_EQ(plist_dict_get_size(listing), 3u);
    plist_t file = plist_dict_get_item(listing, "file");
    EXPECT_EQ(string_at(file, "DLFileType"), "DLFileTypeRegular");
    EXPECT_EQ(uint_of(plist_dict_get_item(file, "DLFileSize")), 10u);
    int32_t seconds = -1;
    int32_t microseconds = -1;
    plist_get_date_val(plist_dict_get_item(file, "DLFileModificationDate"), &seconds,
                       &microseconds);
    EXPECT_EQ(seconds, 0);
    EXPECT_EQ(microseconds, 0);
    EXPECT_EQ(string_at(plist_dict_get_item(listing, "sub"), "DLFileType"), "DLFileTypeDirectory");
    // A link is described as itself, never followed.
    EXPECT_EQ(string_at(plist_dict_get_item(listing, "link"), "DLFileType"), "DLFileTypeUnknown");

    run(mb2_list_directory, message("DLContentsOfDirectory", "<string>missing</string>"));
    EXPECT_EQ(only_response().code, 0);
    EXPECT_EQ(plist_dict_get_size(only_response().value.get()), 0u);
}

TEST_F(Tarvobackup2TransferHostRequests, ListDirectoryMalformed) {
    run(mb2_list_directory, message("DLContentsOfDirectory", "<integer>1</integer>"));
    EXPECT_EQ(out, "ERROR: Malformed DLContentsOfDirectory message\n");
    EXPECT_TRUE(channel.responses.empty());

    run(mb2_list_directory, message("DLContentsOfDirectory", ""));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(channel.responses.empty());
}

TEST_F(Tarvobackup2TransferHostRequests, MakeDirectory) {
    write_file(path("plain"), "x");
    std::filesystem::create_directories(path("exists"));
    struct Case {
        const char *argument_xml;
        int code;
        std::string text;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"<string>a/b/c</string>", 0, "(none)", ""},
        {"<string>exists</string>", 0, "(none)", ""},
        {"<string>plain/sub</string>", -8, "Not a directory", "mkdir: Not a directory (20)\n"},
        {"<string>plain/sub/deeper</string>", -8, "Not a directory",
         "mkdir: Not a directory (20)\n"},
        // Not a string: nothing is joined, the backup directory itself exists.
        {"<integer>5</integer>", 0, "(none)", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argument_xml);
        run(mb2_make_directory, message("DLMessageCreateDirectory", c.argument_xml));
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(only_response().code, c.code);
        EXPECT_EQ(only_response().text, c.text);
        EXPECT_EQ(only_response().value, nullptr);
    }
    struct stat st;
    ASSERT_EQ(stat(path("a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u & ~static_cast<unsigned>(umask(umask(0))));

    run(mb2_make_directory, message("DLMessageCreateDirectory", ""));
    EXPECT_TRUE(channel.responses.empty());
}

TEST_F(Tarvobackup2TransferHostRequests, MakeDirectoryOnAFullFileSystem) {
    const std::string small = path("small");
    std::filesystem::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k,nr_inodes=4") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
    }
    struct Unmount {
        std::string path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{small};
    // Take every inode there is.
    for (int i = 0; i < 8; ++i) {
        mkdir((small + "/fill" + std::to_string(i)).c_str(), 0755);
    }
    run_in(mb2_make_directory, message("DLMessageCreateDirectory", "<string>one/more</string>"),
           small);
    EXPECT_EQ(only_response().code, -15);
    EXPECT_EQ(only_response().text, "No space left on device");
    EXPECT_EQ(out, "mkdir: No space left on device (28)\n");
}

TEST_F(Tarvobackup2TransferHostRequests, MoveItems) {
    write_file(path("a"), "A");
    std::filesystem::create_directories(path("target/full/deeper"));
    write_file(path("target/full/deeper/f"), "x");
    write_file(path("b"), "B");
    run(mb2_move_items, message("DLMessageMoveItems",
                                "<dict><key>a</key><string>a2</string>"
                                "<key>b</key><string>target</string>"
                                "<key>c</key><integer>1</integer></dict><dict/><real>0</real>"));
    EXPECT_EQ(out, "Moving 3 files\n");
    EXPECT_EQ(only_response().code, 0);
    EXPECT_EQ(only_response().text, "(none)");
    EXPECT_EQ(read_file(path("a2")), "A");
    // A non-empty directory in the way goes with all it holds.
    EXPECT_EQ(read_file(path("target")), "B");

    write_file(path("z"), "Z");
    run(mb2_move_items, message("DLMessageMoveFiles",
                                "<dict><key>missing</key><string>m2</string>"
                                "<key>z</key><string>z2</string></dict><dict/><real>0</real>"));
    EXPECT_EQ(out, "Moving 2 files\nRenameing '" + path("missing") + "' to '" + path("m2") +
                       "' failed: No such file or directory (2)\n");
    EXPECT_EQ(only_response().code, -6);
    EXPECT_EQ(only_response().text, "No such file or directory");
    EXPECT_TRUE(exists(path("z")));  // the pairs after a failure stay

    // Whatever stands at the new path goes first: a file in a folder's way.
    std::filesystem::create_directories(path("folder/inner"));
    write_file(path("in-the-way"), "old");
    run(mb2_move_items,
        message("DLMessageMoveFiles", "<dict><key>folder</key><string>in-the-way</string></dict>"));
    EXPECT_EQ(only_response().code, 0);
    EXPECT_TRUE(std::filesystem::is_directory(path("in-the-way/inner")));

    // No dictionary: no moves, and no fault.
    run(mb2_move_items, message("DLMessageMoveFiles", "<string>x</string>"));
    EXPECT_EQ(out, "Moving 0 files\n");
    EXPECT_EQ(only_response().code, 0);
    EXPECT_EQ(only_response().text, "(none)");

    verbose = false;
    write_file(path("one"), "1");
    run(mb2_move_items,
        message("DLMessageMoveFiles", "<dict><key>one</key><string>two</string></dict>"));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(exists(path("two")));
}

TEST_F(Tarvobackup2TransferHostRequests, RemoveItems) {
    write_file(path("file"), "f");
    std::filesystem::create_directories(path("tree/a/b"));
    write_file(path("tree/a/b/leaf"), "l");
    write_file(path("tree/top"), "t");
    run(mb2_remove_items,
        message("DLMessageRemoveFiles",
                "<array><string>file</string><string>tree</string><string>gone</string>"
                "<integer>3</integer></array><dict/><real>0</real>"));
    EXPECT_EQ(out, "Removing 4 files\n");
    EXPECT_EQ(only_response().code, 0);
    EXPECT_FALSE(exists(path("file")));
    EXPECT_FALSE(exists(path("tree")));

    // Failures: the last one is answered; Manifest.mbdx one level down is
    // quiet, one level deeper is not.
    write_file(path("UDID"), "not a directory");
    std::filesystem::create_directories(path("a"));
    write_file(path("a/UDID"), "not a directory either");
    run(mb2_remove_items, message("DLMessageRemoveItems",
                                  "<array><string>UDID/Manifest.mbdx</string>"
                                  "<string>a/UDID/Manifest.mbdx</string></array>"));
    EXPECT_EQ(out, "Removing 2 files\nCould not remove '" + path("a/UDID/Manifest.mbdx") +
                       "': Not a directory (20)\n");
    EXPECT_EQ(only_response().code, -8);
    EXPECT_EQ(only_response().text, "Not a directory");

    run(mb2_remove_items,
        message("DLMessageRemoveItems", "<array><string>UDID/Manifest.mbdx</string></array>"));
    EXPECT_EQ(out, "Removing 1 file\n");
    EXPECT_EQ(only_response().code, -8);

    // "" is the backup directory itself: the whole tree goes.
    std::filesystem::create_directories(path("x/y"));
    run(mb2_remove_items, message("DLMessageRemoveItems", "<array><string></string></array>"));
    EXPECT_EQ(out, "Removing 1 file\n");
    EXPECT_EQ(only_response().code, 0);
    EXPECT_FALSE(exists(scratch.backup));
}

TEST_F(Tarvobackup2TransferHostRequests, CopyItem) {
    write_file(path("src"), pattern(5000));
    run(mb2_copy_item, message("DLMessageCopyItem", "<string>src</string><string>dst</string>"));
    EXPECT_EQ(out, "Copying 'src' to 'dst'\n");
    EXPECT_EQ(only_response().code, 0);
    EXPECT_EQ(read_file(path("dst")), pattern(5000));

    // A directory: only its direct entries, into a destination made first.
    std::filesystem::create_directories(path("dir/sub"));
    write_file(path("dir/one"), "1");
    write_file(path("dir/sub/deep"), "d");
    run(mb2_copy_item,
        message("DLMessageCopyItem", "<string>dir</string><string>new/parents/dir</string>"));
    EXPECT_EQ(only_response().code, 0);
    EXPECT_EQ(read_file(path("new/parents/dir/one")), "1");
    EXPECT_FALSE(exists(path("new/parents/dir/sub/deep")));

    run(mb2_copy_item, message("DLMessageCopyItem", "<string>nothing</string><string>x</string>"));
    EXPECT_EQ(out, "Copying 'nothing' to 'x'\n");
    EXPECT_EQ(only_response().code, 0);
    EXPECT_FALSE(exists(path("x")));

    run(mb2_copy_item,
        message("DLMessageCopyItem", "<string>src</string><string>nodir/x</string>"));
    EXPECT_EQ(out, "Copying 'src' to 'nodir/x'\nCannot open destination file '" + path("nodir/x") +
                       "'.\n");
    EXPECT_EQ(only_response().code, 0);

    run(mb2_copy_item, message("DLMessageCopyItem", "<string>src</string>"));
    EXPECT_EQ(out, "");
    EXPECT_EQ(only_response().code, 0);
}

TEST_F(Tarvobackup2TransferHostRequests, RemoveTreeOrderAndResult) {
    std::filesystem::create_directories(path("t/a/b"));
    write_file(path("t/a/b/f"), "f");
    write_file(path("t/g"), "g");
    ASSERT_EQ(symlink(scratch.outside.c_str(), path("t/link").c_str()), 0);
    BackupRoot root;
    ASSERT_EQ(root.open(scratch.backup.c_str()), 0);

    PathListNode *files = nullptr;
    PathListNode *directories = nullptr;
    scan_directory(root, "t", &files, &directories);
    std::vector<std::string> directory_order;
    for (PathListNode *node = directories; node; node = node->next) {
        directory_order.push_back(node->path);
    }
    size_t file_count = 0;
    for (PathListNode *node = files; node; node = node->next) {
        ++file_count;
    }
    free_path_list(files);
    free_path_list(directories);
    // Every directory before its parent; the link is a file, not entered.
    EXPECT_EQ(directory_order, (std::vector<std::string>{"t/a/b", "t/a"}));
    EXPECT_EQ(file_count, 3u);

    const auto before = scratch.outside_snapshot();
    EXPECT_EQ(rmdir_recursive(root, "t"), 0);
    EXPECT_FALSE(exists(path("t")));
    EXPECT_EQ(scratch.outside_snapshot(), before);
    EXPECT_EQ(rmdir_recursive(root, "t"), ENOENT);
}

TEST_F(Tarvobackup2TransferHostRequests, UnknownEntryTypesAreAskedOfTheEntry) {
    // What a file system that reports no entry types makes scan_directory see.
    std::filesystem::create_directories(path("kinds/dir"));
    write_file(path("kinds/file"), "f");
    ASSERT_EQ(symlink("dir", path("kinds/link-to-dir").c_str()), 0);
    UniqueFd dir(open(path("kinds").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir);
    EXPECT_TRUE(entry_is_directory(dir.get(), "dir", DT_UNKNOWN));
    EXPECT_FALSE(entry_is_directory(dir.get(), "file", DT_UNKNOWN));
    EXPECT_FALSE(entry_is_directory(dir.get(), "link-to-dir", DT_UNKNOWN));
    EXPECT_FALSE(entry_is_directory(dir.get(), "vanished", DT_UNKNOWN));
    // A known type is taken as it is.
    EXPECT_TRUE(entry_is_directory(dir.get(), "file", DT_DIR));
    EXPECT_FALSE(entry_is_directory(dir.get(), "dir", DT_REG));
}

TEST_F(Tarvobackup2TransferHostRequests, MakeDirectoryWithParentsResults) {
    BackupRoot root;
    ASSERT_EQ(root.open(scratch.backup.c_str()), 0);
    EXPECT_EQ(mkdir_with_parents(root, "x/y/z/"), 0);
    EXPECT_TRUE(std::filesystem::is_directory(path("x/y/z")));
    write_file(path("f"), "");
    errno = 0;
    EXPECT_EQ(mkdir_with_parents(root, "f/g/h"), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(mkdir_with_parents(root, nullptr), -1);

    // Any depth within PATH_MAX is made without recursion; longer paths are
    // refused before any work.
    std::string deep = "deep";
    while (deep.size() < PATH_MAX - 200) {
        deep += "/d";
    }
    EXPECT_EQ(mkdir_with_parents(root, deep.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(path(deep)));
    std::string huge;
    for (int i = 0; i < 45000; ++i) {
        huge += "h/";
    }
    errno = 0;
    EXPECT_EQ(mkdir_with_parents(root, huge.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(exists(path("h")));

    BackupRoot missing;
    EXPECT_EQ(missing.open(path("nope").c_str()), ENOENT);
    errno = 0;
    EXPECT_EQ(mkdir_with_parents(missing, "a"), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
