// Directory operations beneath the backup directory.
#include "directory_walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct DirClose {
    void operator()(DIR *dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirClose>;

constexpr size_t kCopyPiece = 1024;

struct ScannedEntry {
    std::string name;
    bool is_directory;
};

// The entries of one directory, read whole before any of them is looked
// into, so that a deep tree does not hold one open directory per level.
bool read_entries(BackupRoot &root, const char *path, std::vector<ScannedEntry> *entries) {
    DevicePath directory;
    UniqueFd fd;
    if (root.locate(path, &directory) != 0 || open_entry_directory(directory, &fd) != 0) {
        return false;
    }
    DirPtr dir(fdopendir(fd.get()));
    if (!dir) {
        return false;
    }
    fd.release();
    while (const struct dirent *entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        entries->push_back(
            {entry->d_name, entry_is_directory(dirfd(dir.get()), entry->d_name, entry->d_type)});
    }
    return true;
}

}  // namespace

bool entry_is_directory(int dir_fd, const char *name, unsigned char type) {
    if (type != DT_UNKNOWN) {
        return type == DT_DIR;
    }
    // Some file systems (and some network ones) leave the type open.
    struct stat st;
    return fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

namespace {

bool push_front(PathListNode **list, char *path) {
    PathListNode *node = static_cast<PathListNode *>(malloc(sizeof(PathListNode)));
    if (!node) {
        free(path);
        return false;
    }
    node->path = path;
    node->next = *list;
    *list = node;
    return true;
}

// The path of an entry of `directory`; the backup directory itself may be
// named "" as well as ".".
std::string child_of(const std::string &directory, const std::string &name) {
    return directory.empty() ? name : directory + "/" + name;
}

// Breadth first with a queue of folders still to read, so that a tree of
// any depth costs no stack; each folder's node is in its list before any
// of its entries, which is all the removal order needs.
void scan_tree(BackupRoot &root, const char *path, PathListNode **files,
               PathListNode **directories) {
    std::deque<std::string> pending{path};
    while (!pending.empty()) {
        const std::string directory = std::move(pending.front());
        pending.pop_front();
        std::vector<ScannedEntry> entries;
        if (!read_entries(root, directory.c_str(), &entries)) {
            continue;
        }
        for (const ScannedEntry &entry : entries) {
            std::string child_path = child_of(directory, entry.name);
            char *child = strdup(child_path.c_str());
            if (!child) {
                continue;
            }
            if (!push_front(entry.is_directory ? directories : files, child)) {
                return;
            }
            if (entry.is_directory) {
                pending.push_back(std::move(child_path));
            }
        }
    }
}

// 0 or the errno of removing one listed entry.
int remove_listed(BackupRoot &root, const char *path, bool is_directory) {
    DevicePath entry;
    const int located = root.locate(path, &entry);
    if (located != 0) {
        return path_errno(located);
    }
    return is_directory ? remove_directory_entry(entry) : unlink_entry(entry);
}

int make_one_directory(BackupRoot &root, const char *path) {
    DevicePath directory;
    const int located = root.locate(path, &directory);
    return located != 0 ? located : make_directory_entry(directory);
}

bool made_or_present(int result) {
    return result == 0 || result == EEXIST;
}

// -1 with errno set from a failed result (kPathRefused stays itself).
int failure(int result) {
    errno = path_errno(result);
    return result == kPathRefused ? kPathRefused : -1;
}

}  // namespace

void free_path_list(PathListNode *list) {
    while (list) {
        PathListNode *next = list->next;
        free(list->path);
        free(list);
        list = next;
    }
}

int mkdir_with_parents(BackupRoot &root, const char *path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    const int first = make_one_directory(root, path);
    if (made_or_present(first)) {
        return 0;
    }
    if (first == kPathRefused || first == ENAMETOOLONG) {
        return failure(first);
    }
    // Each folder on the way from the top, one prefix of the path at a
    // time: iterative, with memory for one path whatever its depth.
    const std::string_view full(path);
    std::string prefix;
    for (size_t slash = full.find('/', 1); slash != std::string_view::npos;
         slash = full.find('/', slash + 1)) {
        if (full[slash - 1] == '/') {
            continue;
        }
        prefix.assign(full.substr(0, slash));
        if (const int made = make_one_directory(root, prefix.c_str()); !made_or_present(made)) {
            return failure(made);
        }
    }
    const int last = make_one_directory(root, path);
    return made_or_present(last) ? 0 : failure(last);
}

void scan_directory(BackupRoot &root, const char *path, PathListNode **files,
                    PathListNode **directories) {
    scan_tree(root, path, files, directories);
}

int rmdir_recursive(BackupRoot &root, const char *path) {
    PathListNode *directories = nullptr;
    PathListNode *files = nullptr;
    char *first = strdup(path);
    if (!first || !push_front(&directories, first)) {
        return ENOMEM;
    }
    scan_directory(root, path, &files, &directories);

    int result = 0;
    for (PathListNode *node = files; node; node = node->next) {
        result = remove_listed(root, node->path, false);
    }
    for (PathListNode *node = directories; node; node = node->next) {
        result = remove_listed(root, node->path, true);
    }
    free_path_list(files);
    free_path_list(directories);
    return result;
}

void mb2_copy_file_by_path(const DevicePath &source, const DevicePath &destination) {
    UniqueFd source_fd;
    if (const int result = open_entry_for_reading(source, &source_fd); result != 0) {
        if (result != kPathRefused) {
            printf("Cannot open source path '%s'.\n", source.shown.c_str());
        }
        return;
    }
    // A new file rather than the old one truncated: the old one may be a
    // hard link of the kept copy of the last finished backup. (A link in
    // its place stays, for the open below to refuse.)
    struct stat existing {};
    if (stat_entry(destination, &existing) == 0 && S_ISREG(existing.st_mode)) {
        unlink_entry(destination);
    }
    UniqueFd destination_fd;
    if (const int result = open_entry_for_writing(destination, &destination_fd); result != 0) {
        if (result != kPathRefused) {
            printf("Cannot open destination file '%s'.\n", destination.shown.c_str());
        }
        return;
    }
    FILE *from = fdopen(source_fd.get(), "rb");
    if (!from) {
        printf("Cannot open source path '%s'.\n", source.shown.c_str());
        return;
    }
    source_fd.release();
    FILE *to = fdopen(destination_fd.get(), "wb");
    if (!to) {
        fclose(from);
        printf("Cannot open destination file '%s'.\n", destination.shown.c_str());
        return;
    }
    destination_fd.release();

    char piece[kCopyPiece];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, from)) > 0) {
        fwrite(piece, 1, got, to);
    }
    if (fclose(from) != 0) {
        printf("Error closing source file.\n");
    }
    if (fclose(to) != 0) {
        printf("Error closing destination file.\n");
    }
}
