// The device's requests on the backup directory.
#include "host_fs_requests.h"

#include "overall_progress.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>

#include <memory>
#include <string>

#include "device_errors.h"
#include "directory_walk.h"
#include "libtarvo/device_link_protocol.h"
#include "owners.h"
#include "safe_path.h"
#include "signals_and_notifications.h"

namespace dl = libtarvo::dl;

namespace {

struct DirClose {
    void operator()(DIR *dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirClose>;

plist_t array_item(plist_t array, uint32_t index) {
    if (!array || plist_get_node_type(array) != PLIST_ARRAY ||
        index >= plist_array_get_size(array)) {
        return nullptr;
    }
    return plist_array_get_item(array, index);
}

// The node's text when it is a string, else null.
CString string_of(plist_t node) {
    char *text = nullptr;
    if (node && plist_get_node_type(node) == PLIST_STRING) {
        plist_get_string_val(node, &text);
    }
    return CString(text);
}

// A message that can be answered at all: an array with at least
// `minimum_size` elements, and a backup directory to work in.
bool is_usable(plist_t message, const char *backup_directory, uint32_t minimum_size) {
    return message && plist_get_node_type(message) == PLIST_ARRAY && backup_directory &&
           plist_array_get_size(message) >= minimum_size;
}

void set_progress_from(plist_t message) {
    CString name = string_of(array_item(message, 0));
    mb2_set_overall_progress_from_message(message, name.get());
}

void answer(BackupChannel &channel, int code, const char *text, plist_t value) {
    const int sent = channel.send_status_response(code, text, value);
    if (sent != 0) {
        printf("Could not send status response, error %d\n", sent);
    }
}

void answer_with_empty_dictionary(BackupChannel &channel, int code, const std::string &text) {
    PlistPtr empty(plist_new_dict());
    answer(channel, code, text.empty() ? nullptr : text.c_str(), empty.get());
}

const char *plural_suffix(uint32_t count) {
    return count == 1 ? "" : "s";
}

const char *listing_type(mode_t mode) {
    if (S_ISDIR(mode)) {
        return dl::kFileTypeDirectory;
    }
    return S_ISREG(mode) ? dl::kFileTypeRegular : dl::kFileTypeUnknown;
}

// One entry of a listing. A link is described as itself: following it
// could tell the device about things outside the backup directory. Links
// directly in the backup directory are the user's and are followed.
plist_t listing_entry(int directory_fd, const char *name, bool follow_links) {
    struct stat st = {};
    fstatat(directory_fd, name, &st, follow_links ? 0 : AT_SYMLINK_NOFOLLOW);
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, dl::kFileType, plist_new_string(listing_type(st.st_mode)));
    plist_dict_set_item(entry, dl::kFileSize, plist_new_uint(static_cast<uint64_t>(st.st_size)));
    plist_dict_set_item(
        entry, dl::kFileModificationDate,
        plist_new_date(static_cast<int32_t>(st.st_mtime - kPlistDateEpochOffset), 0));
    return entry;
}

void fill_listing(BackupRoot &root, const char *path, plist_t listing) {
    DevicePath directory;
    UniqueFd fd;
    if (root.locate(path, &directory) != 0 || open_entry_directory(directory, &fd) != 0) {
        return;
    }
    DirPtr dir(fdopendir(fd.get()));
    if (!dir) {
        return;
    }
    fd.release();
    while (const struct dirent *entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        plist_dict_set_item(listing, entry->d_name,
                            listing_entry(dirfd(dir.get()), entry->d_name, directory.leaf == "."));
    }
}

// 0, or the errno of the failed rename (already reported) in *error.
bool move_one(BackupRoot &root, const char *old_path, const char *new_path, int *error) {
    DevicePath to;
    DevicePath from;
    const int to_located = root.locate(new_path, &to);
    const int from_located = root.locate(old_path, &from);
    if (to_located == kPathRefused || from_located == kPathRefused) {
        *error = EACCES;
        return false;
    }
    int result = to_located != 0 ? to_located : from_located;
    if (result == 0) {
        struct stat st;
        if (stat_entry(to, &st) == 0) {
            // Whatever is in the way goes; if it cannot, the rename says so.
            if (S_ISDIR(st.st_mode)) {
                rmdir_recursive(root, new_path);
            } else {
                unlink_entry(to);
            }
        }
        result = rename_entry(from, to);
    }
    if (result != 0) {
        printf("Renameing '%s' to '%s' failed: %s (%d)\n", from.shown.c_str(), to.shown.c_str(),
               strerror(result), result);
        *error = result;
        return false;
    }
    return true;
}

// Every pair in the dictionary's order until a rename fails.
void move_all(BackupRoot &root, plist_t moves, plist_dict_iter iter, int *code, std::string *text) {
    while (true) {
        char *raw_key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(moves, iter, &raw_key, &value);
        CString old_path(raw_key);
        if (!old_path) {
            return;
        }
        CString new_path = string_of(value);
        if (!new_path) {
            continue;
        }
        int error = 0;
        if (!move_one(root, old_path.get(), new_path.get(), &error)) {
            *code = device_error_from_errno(error);
            *text = strerror(error);
            return;
        }
    }
}

// 0, an errno or kPathRefused.
int remove_one(BackupRoot &root, const char *path, DevicePath *target) {
    const int located = root.locate(path, target);
    if (located != 0) {
        return located;
    }
    struct stat st;
    if (stat_entry(*target, &st) == 0 && S_ISDIR(st.st_mode)) {
        return rmdir_recursive(root, path);
    }
    return unlink_entry(*target);
}

// Manifest.mbdx one level down is often already gone or in use; a failure
// to remove it is answered but not shown.
bool is_quiet_removal(const char *path) {
    const char *slash = strchr(path, '/');
    return slash && strcmp(slash + 1, "Manifest.mbdx") == 0;
}

DevicePath entry_of(int directory_fd, const DevicePath &directory, const char *name) {
    DevicePath entry;
    entry.parent_fd = directory_fd;
    entry.leaf = name;
    entry.device_path = directory.device_path + "/" + name;
    entry.shown = directory.shown + "/" + name;
    return entry;
}

// The entries directly inside `from`, each copied as a file into `to`.
void copy_directory_entries(BackupRoot &root, const DevicePath &from, const char *destination) {
    DevicePath to;
    int located = root.locate(destination, &to);
    if (located == kPathRefused) {
        return;
    }
    struct stat st;
    if (located != 0 || stat_entry(to, &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (const int made = mkdir_with_parents(root, destination); made != 0) {
            const int error = errno;
            if (made != kPathRefused) {
                printf("ERROR: Unable to create destination directory '%s': %s (%d)\n",
                       to.shown.c_str(), strerror(error), error);
            }
            return;
        }
        if (root.locate(destination, &to) != 0) {
            return;
        }
    }
    UniqueFd source_fd;
    if (const int opened = open_entry_directory(from, &source_fd); opened != 0) {
        const int error = path_errno(opened);
        if (opened != kPathRefused) {
            printf("ERROR: Source directory does not exist '%s': %s (%d)\n", from.shown.c_str(),
                   strerror(error), error);
        }
        return;
    }
    // Something that is no directory (mkdir took it for existing) leaves
    // the descriptor invalid, so every entry fails to open for writing, as
    // it would through a path.
    UniqueFd destination_fd;
    if (open_entry_directory(to, &destination_fd) == kPathRefused) {
        return;
    }
    DirPtr dir(fdopendir(source_fd.get()));
    if (!dir) {
        return;
    }
    source_fd.release();
    while (const struct dirent *entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        mb2_copy_file_by_path(entry_of(dirfd(dir.get()), from, entry->d_name),
                              entry_of(destination_fd.get(), to, entry->d_name));
    }
}

void copy_one(BackupRoot &root, const char *source, const char *destination) {
    DevicePath from;
    struct stat st;
    if (root.locate(source, &from) != 0 || stat_entry(from, &st) != 0) {
        return;
    }
    if (S_ISLNK(st.st_mode)) {
        refuse_device_path(from.device_path, "a symbolic link");
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        copy_directory_entries(root, from, destination);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        return;
    }
    DevicePath to;
    const int located = root.locate(destination, &to);
    if (located == kPathRefused) {
        return;
    }
    if (located != 0) {
        printf("Cannot open destination file '%s'.\n", to.shown.c_str());
        return;
    }
    mb2_copy_file_by_path(from, to);
}

}  // namespace

void mb2_report_free_space(BackupChannel &channel, plist_t message, const char *backup_directory) {
    (void)message;
    uint64_t free_bytes = 0;
    struct statvfs fs;
    const int result = backup_directory ? statvfs(backup_directory, &fs) : -1;
    if (result == 0) {
        free_bytes = static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_bsize);
    }
    PlistPtr value(plist_new_uint(free_bytes));
    channel.send_status_response(result == 0 ? 0 : -1, nullptr, value.get());
}

void mb2_list_directory(BackupChannel &channel, plist_t message, const char *backup_directory) {
    if (!is_usable(message, backup_directory, 2)) {
        return;
    }
    CString path = string_of(array_item(message, 1));
    if (!path) {
        printf("ERROR: Malformed DLContentsOfDirectory message\n");
        return;
    }
    BackupRoot root;
    root.open(backup_directory);
    PlistPtr listing(plist_new_dict());
    fill_listing(root, path.get(), listing.get());
    answer(channel, 0, nullptr, listing.get());
}

void mb2_make_directory(BackupChannel &channel, plist_t message, const char *backup_directory) {
    if (!is_usable(message, backup_directory, 2)) {
        return;
    }
    // Anything but a string names the backup directory itself.
    CString path = string_of(array_item(message, 1));
    BackupRoot root;
    root.open(backup_directory);
    const int result = mkdir_with_parents(root, path ? path.get() : "");
    if (result == 0) {
        answer(channel, 0, nullptr, nullptr);
        return;
    }
    const int error = errno;
    const char *text = strerror(error);
    if (error != EEXIST && result != kPathRefused) {
        printf("mkdir: %s (%d)\n", text, error);
    }
    answer(channel, device_error_from_errno(error), text, nullptr);
}

void mb2_move_items(BackupChannel &channel, plist_t message, const char *backup_directory) {
    set_progress_from(message);
    plist_t moves = array_item(message, 1);
    // Anything but a dictionary holds no moves: nothing to do, and no fault.
    const bool is_dictionary = moves && plist_get_node_type(moves) == PLIST_DICT;
    const uint32_t count = is_dictionary ? plist_dict_get_size(moves) : 0;
    print_info("Moving %d file%s\n", static_cast<int>(count), plural_suffix(count));

    int code = 0;
    std::string text;
    if (is_dictionary) {
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(moves, &iter);
        if (!iter) {
            printf("Could not create dict iterator\n");
            code = -1;
            text = "Could not create dict iterator";
        } else {
            BackupRoot root;
            root.open(backup_directory);
            move_all(root, moves, iter, &code, &text);
            free(iter);
        }
    }
    answer_with_empty_dictionary(channel, code, text);
}

void mb2_remove_items(BackupChannel &channel, plist_t message, const char *backup_directory) {
    set_progress_from(message);
    plist_t paths = array_item(message, 1);
    const uint32_t count =
        paths && plist_get_node_type(paths) == PLIST_ARRAY ? plist_array_get_size(paths) : 0;
    print_info("Removing %d file%s\n", static_cast<int>(count), plural_suffix(count));

    int code = 0;
    std::string text;
    BackupRoot root;
    root.open(backup_directory);
    for (uint32_t i = 0; i < count; ++i) {
        CString path = string_of(plist_array_get_item(paths, i));
        if (!path) {
            continue;
        }
        DevicePath target;
        const int result = remove_one(root, path.get(), &target);
        if (result == 0 || result == ENOENT) {
            continue;
        }
        const int error = path_errno(result);
        if (!is_quiet_removal(path.get()) && result != kPathRefused) {
            printf("Could not remove '%s': %s (%d)\n", target.shown.c_str(), strerror(error),
                   error);
        }
        code = device_error_from_errno(error);
        text = strerror(error);
    }
    answer_with_empty_dictionary(channel, code, text);
}

void mb2_copy_item(BackupChannel &channel, plist_t message, const char *backup_directory) {
    CString source = string_of(array_item(message, 1));
    CString destination = string_of(array_item(message, 2));
    if (source && destination && backup_directory) {
        print_info("Copying '%s' to '%s'\n", source.get(), destination.get());
        BackupRoot root;
        root.open(backup_directory);
        copy_one(root, source.get(), destination.get());
    }
    answer_with_empty_dictionary(channel, 0, std::string());
}

void free_disk_space_row(Mb2LoopContext &context, plist_t message) {
    mb2_report_free_space(context.channel, message, context.backup_directory);
}

void contents_of_directory_row(Mb2LoopContext &context, plist_t message) {
    mb2_list_directory(context.channel, message, context.backup_directory);
}

void create_directory_row(Mb2LoopContext &context, plist_t message) {
    mb2_make_directory(context.channel, message, context.backup_directory);
}

void move_items_row(Mb2LoopContext &context, plist_t message) {
    mb2_move_items(context.channel, message, context.backup_directory);
}

void remove_items_row(Mb2LoopContext &context, plist_t message) {
    mb2_remove_items(context.channel, message, context.backup_directory);
}

void copy_item_row(Mb2LoopContext &context, plist_t message) {
    mb2_copy_item(context.channel, message, context.backup_directory);
}
