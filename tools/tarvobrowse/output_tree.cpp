// Creating the extracted entries beneath the output folder.
#include "output_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace browse {
namespace {

constexpr size_t kMaxCachedFolders = 256;

std::string folder_key(const EntryPath &path, size_t count) {
    std::string key;
    for (size_t i = 0; i < count; ++i) {
        key += path.components[i];
        key += '/';
    }
    return key;
}

const std::string &leaf_of(const EntryPath &path) {
    return path.components.back();
}

}  // namespace

mode_t file_permissions(uint64_t backup_mode) {
    return static_cast<mode_t>(backup_mode & 0777);
}

mode_t directory_permissions(uint64_t backup_mode) {
    return static_cast<mode_t>(backup_mode & 0777) | S_IRWXU;
}

int set_file_time(int fd, time_t mtime) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    return futimens(fd, times) == 0 ? 0 : errno;
}

int set_file_metadata(int fd, mode_t mode, time_t mtime) {
    return fchmod(fd, mode) == 0 ? set_file_time(fd, mtime) : errno;
}

int OutputTree::open(const std::string &folder) {
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        return errno;
    }
    root_.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return root_ ? 0 : errno;
}

int OutputTree::enter(int at, const std::string &name, bool create, UniqueFd *fd) {
    if (create && mkdirat(at, name.c_str(), 0755) != 0 && errno != EEXIST) {
        return errno;
    }
    fd->reset(openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!*fd) {
        // ENOTDIR for a link with O_DIRECTORY on some kernels: tell them apart.
        struct stat st;
        if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            return ELOOP;
        }
        return errno;
    }
    return 0;
}

int OutputTree::parent_of(const EntryPath &path, int *fd) {
    const size_t depth = path.components.size() - 1;
    if (depth == 0) {
        *fd = root_.get();
        return 0;
    }
    const std::string key = folder_key(path, depth);
    if (auto found = folders_.find(key); found != folders_.end()) {
        *fd = found->second.get();
        return 0;
    }
    UniqueFd current;
    int at = root_.get();
    for (size_t i = 0; i < depth; ++i) {
        UniqueFd next;
        if (const int result = enter(at, path.components[i], true, &next); result != 0) {
            return result;
        }
        current = std::move(next);
        at = current.get();
    }
    if (folders_.size() >= kMaxCachedFolders) {
        folders_.clear();
    }
    *fd = at;
    folders_.emplace(key, std::move(current));
    return 0;
}

int OutputTree::create_file(const EntryPath &path, mode_t mode, UniqueFd *fd) {
    int parent = -1;
    if (const int result = parent_of(path, &parent); result != 0) {
        return result;
    }
    const char *leaf = leaf_of(path).c_str();
    // A new file takes its mode at creation (and is writable through this
    // descriptor whatever the mode); one from an earlier run is truncated.
    fd->reset(openat(parent, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (*fd) {
        return 0;
    }
    if (errno != EEXIST) {
        return errno;
    }
    fd->reset(openat(parent, leaf, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
    if (!*fd) {
        return errno;
    }
    return fchmod(fd->get(), mode) == 0 ? 0 : errno;
}

void OutputTree::remove_file(const EntryPath &path) {
    int parent = -1;
    if (parent_of(path, &parent) == 0) {
        unlinkat(parent, leaf_of(path).c_str(), 0);
    }
}

int OutputTree::make_directory(const EntryPath &path) {
    int parent = -1;
    if (const int result = parent_of(path, &parent); result != 0) {
        return result;
    }
    UniqueFd folder;
    return enter(parent, leaf_of(path), true, &folder);
}

int OutputTree::make_link(const EntryPath &path, const std::string &target, time_t mtime) {
    int parent = -1;
    if (const int result = parent_of(path, &parent); result != 0) {
        return result;
    }
    const char *leaf = leaf_of(path).c_str();
    if (symlinkat(target.c_str(), parent, leaf) != 0) {
        struct stat st;
        if (errno != EEXIST || fstatat(parent, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            S_ISDIR(st.st_mode)) {
            return errno == EEXIST ? EISDIR : errno;
        }
        // A file or link from an earlier extraction: the backup's link wins.
        if (unlinkat(parent, leaf, 0) != 0 || symlinkat(target.c_str(), parent, leaf) != 0) {
            return errno;
        }
    }
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    return utimensat(parent, leaf, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int OutputTree::set_directory_metadata(const EntryPath &path, mode_t mode, time_t mtime) {
    int parent = -1;
    if (const int result = parent_of(path, &parent); result != 0) {
        return result;
    }
    UniqueFd folder;
    if (const int result = enter(parent, leaf_of(path), false, &folder); result != 0) {
        return result;
    }
    return set_file_metadata(folder.get(), mode, mtime);
}

}  // namespace browse
