/*
 * What tarvobrowse's tests share: the program run with a password on
 * standard input, and a folder tree read into one comparable value (kind,
 * permission bits and content or link target of every entry).
 */
#ifndef TARVO_TESTS_TARVOBROWSE_BROWSE_TEST_SUPPORT_H
#define TARVO_TESTS_TARVOBROWSE_BROWSE_TEST_SUPPORT_H

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "process_runner.h"
#include "test_backup_builder.h"

namespace browsetest {

inline ProcessResult browse(std::vector<std::string> args, const std::string &input = "") {
    args.insert(args.begin(), "tarvobrowse");
    return run_process(args, {.input = input, .timeout_ms = 60000});
}

/// Every entry below `root` by relative path: "f 644 <content>",
/// "d 755" or "l -> <target>".
inline std::map<std::string, std::string> tree_of(const std::string &root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> tree;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        const std::string relative = fs::relative(it->path(), root).string();
        struct stat st;
        lstat(it->path().c_str(), &st);
        char bits[8];
        snprintf(bits, sizeof bits, "%o", st.st_mode & 0777);
        if (S_ISLNK(st.st_mode)) {
            tree[relative] = "l -> " + fs::read_symlink(it->path()).string();
        } else if (S_ISDIR(st.st_mode)) {
            tree[relative] = std::string("d ") + bits;
        } else {
            tree[relative] = std::string("f ") + bits + " " + read_file(it->path());
        }
    }
    return tree;
}

/// Names, sizes and times of everything in `folder`, to see that it was not written to.
inline std::map<std::string, std::string> stamps_of(const std::string &folder) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> stamps;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(folder, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        struct stat st;
        lstat(it->path().c_str(), &st);
        stamps[it->path().string()] = std::to_string(st.st_size) + "@" +
                                      std::to_string(st.st_mtim.tv_sec) + "." +
                                      std::to_string(st.st_mtim.tv_nsec);
    }
    return stamps;
}

}  // namespace browsetest

#endif
