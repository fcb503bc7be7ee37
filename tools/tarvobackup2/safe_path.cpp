// Device paths resolved beneath the backup directory, and the operations on
// the entries they name.
#include "safe_path.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/syscall.h>

#include <atomic>
#include <string_view>
#include <vector>

namespace {

// Where the kernel lacks openat2 (or a sandbox forbids it) the walk takes
// over for the rest of the process.
std::atomic<bool> use_component_walk{false};

// A message creates files in a few hundred directories at most; past this
// the cache starts again rather than hold descriptors without end.
constexpr size_t kMaxCachedParents = 256;
// openat2 answers EAGAIN when a rename elsewhere raced its walk.
constexpr int kOpenat2Attempts = 4;

struct SplitPath {
    std::vector<std::string_view> components;
    const char *refusal = nullptr;
};

// Empty and "." components are dropped: "a//b/./c" names a/b/c.
SplitPath split_device_path(std::string_view path) {
    SplitPath split;
    if (!path.empty() && path.front() == '/') {
        split.refusal = "an absolute path";
        return split;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view component = path.substr(start, end - start);
        if (component == "..") {
            split.refusal = "a \"..\" component";
            return split;
        }
        if (!component.empty() && component != ".") {
            split.components.push_back(component);
        }
        start = end + 1;
    }
    return split;
}

std::string join_components(const std::vector<std::string_view> &components, size_t from,
                            size_t to) {
    std::string joined;
    for (size_t i = from; i < to; ++i) {
        if (i > from) {
            joined += '/';
        }
        joined += components[i];
    }
    return joined;
}

// 0 with *fd, an errno, or a refusal reason in *refusal.
int open_beneath_with_openat2(int root, const std::string &relative, int *fd,
                              const char **refusal) {
    struct open_how how = {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < kOpenat2Attempts; ++attempt) {
        const long opened = syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
        if (opened >= 0) {
            *fd = static_cast<int>(opened);
            return 0;
        }
        switch (errno) {
            case EAGAIN:
                continue;
            case ELOOP:
                *refusal = "a symbolic link on the way";
                return ELOOP;
            case EXDEV:
                *refusal = "it leads outside the backup directory";
                return EXDEV;
            case ENOSYS:
            case EPERM:
            case E2BIG:
            case EINVAL:
                use_component_walk = true;
                return ENOSYS;
            default:
                return errno;
        }
    }
    return EAGAIN;
}

// Components [from, to) beneath `root`, one O_NOFOLLOW step each.
int open_beneath_by_walking(int root, const std::vector<std::string_view> &components, size_t from,
                            size_t to, int *fd, const char **refusal) {
    UniqueFd current;
    int at = root;
    for (size_t i = from; i < to; ++i) {
        const std::string name(components[i]);
        UniqueFd next(openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            return errno;
        }
        struct stat st;
        if (fstat(next.get(), &st) != 0) {
            return errno;
        }
        if (S_ISLNK(st.st_mode)) {
            *refusal = "a symbolic link on the way";
            return ELOOP;
        }
        if (!S_ISDIR(st.st_mode)) {
            return ENOTDIR;
        }
        current = std::move(next);
        at = current.get();
    }
    *fd = current.release();
    return 0;
}

// The folders that hold the entry: the top-level one opened as the user
// set it up (a link followed), the rest beneath it without links.
int open_parent_folders(int root, const std::vector<std::string_view> &components, size_t count,
                        int *fd, const char **refusal) {
    const std::string top(components[0]);
    UniqueFd top_fd(openat(root, top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!top_fd) {
        return errno;
    }
    if (count == 1) {
        *fd = top_fd.release();
        return 0;
    }
    int result = ENOSYS;
    if (!use_component_walk) {
        result = open_beneath_with_openat2(top_fd.get(), join_components(components, 1, count), fd,
                                           refusal);
    }
    if (result == ENOSYS && !*refusal) {
        result = open_beneath_by_walking(top_fd.get(), components, 1, count, fd, refusal);
    }
    return result;
}

// After O_NOFOLLOW failed with ELOOP (or ENOTDIR beside O_DIRECTORY): a
// link in the entry's place is a refusal, anything else the plain errno.
int refuse_if_link(const DevicePath &path, int error) {
    struct stat st;
    if ((error == ELOOP || error == ENOTDIR) &&
        fstatat(path.parent_fd, path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
        return refuse_device_path(path.device_path, "a symbolic link");
    }
    return error;
}

int open_entry(const DevicePath &path, int flags, mode_t mode, UniqueFd *fd) {
    if (!path.top_level) {
        flags |= O_NOFOLLOW;
    }
    UniqueFd opened(openat(path.parent_fd, path.leaf.c_str(), flags | O_CLOEXEC, mode));
    if (!opened) {
        return refuse_if_link(path, errno);
    }
    *fd = std::move(opened);
    return 0;
}

}  // namespace

void safe_path_use_component_walk(bool on) {
    use_component_walk = on;
}

int refuse_device_path(const std::string &device_path, const char *reason) {
    printf("ERROR: Refusing path '%s' from the device: %s\n", device_path.c_str(), reason);
    return kPathRefused;
}

int BackupRoot::open(const char *directory) {
    directory_ = directory ? directory : "";
    parents_.clear();
    fd_.reset(directory ? ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    open_error_ = fd_ ? 0 : (directory ? errno : EINVAL);
    return open_error_;
}

int BackupRoot::locate(const char *device_path, DevicePath *out) {
    const std::string_view path = device_path ? device_path : "";
    out->device_path.assign(path);
    out->shown = directory_ + "/" + out->device_path;
    out->owned_parent.reset();
    out->parent_fd = -1;
    out->names_directory = !path.empty() && path.back() == '/';
    out->top_level = false;
    if (path.size() >= PATH_MAX) {
        return ENAMETOOLONG;
    }

    SplitPath split = split_device_path(path);
    if (split.refusal) {
        return refuse_device_path(out->device_path, split.refusal);
    }
    if (!fd_) {
        return open_error_;
    }
    if (split.components.empty()) {
        out->leaf = ".";
        out->parent_fd = fd_.get();
        return 0;
    }
    out->leaf.assign(split.components.back());
    const size_t parent_count = split.components.size() - 1;
    if (parent_count == 0) {
        out->top_level = true;
        out->parent_fd = fd_.get();
        return 0;
    }
    const std::string parent = join_components(split.components, 0, parent_count);
    if (cache_parents_) {
        auto found = parents_.find(parent);
        if (found != parents_.end()) {
            out->parent_fd = found->second.get();
            return 0;
        }
    }

    int fd = -1;
    const char *refusal = nullptr;
    const int result =
        open_parent_folders(fd_.get(), split.components, parent_count, &fd, &refusal);
    if (refusal) {
        return refuse_device_path(out->device_path, refusal);
    }
    if (result != 0) {
        return result;
    }
    if (cache_parents_) {
        if (parents_.size() >= kMaxCachedParents) {
            parents_.clear();
        }
        out->parent_fd = fd;
        parents_.emplace(parent, UniqueFd(fd));
    } else {
        out->owned_parent.reset(fd);
        out->parent_fd = fd;
    }
    return 0;
}

int stat_entry(const DevicePath &path, struct stat *st) {
    return fstatat(path.parent_fd, path.leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int open_entry_for_reading(const DevicePath &path, UniqueFd *fd) {
    return open_entry(path, O_RDONLY | O_NONBLOCK, 0, fd);
}

int open_entry_directory(const DevicePath &path, UniqueFd *fd) {
    return open_entry(path, O_RDONLY | O_DIRECTORY, 0, fd);
}

int stat_entry_as_folder(const DevicePath &path, struct stat *st) {
    const int flags = path.top_level ? 0 : AT_SYMLINK_NOFOLLOW;
    return fstatat(path.parent_fd, path.leaf.c_str(), st, flags) == 0 ? 0 : errno;
}

int open_entry_for_writing(const DevicePath &path, UniqueFd *fd) {
    if (path.names_directory) {
        return EISDIR;
    }
    // O_NONBLOCK: a FIFO without a reader fails at once instead of hanging.
    return open_entry(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666, fd);
}

int create_sibling_for_writing(const DevicePath &path, const char *name, UniqueFd *fd) {
    if (path.names_directory) {
        return EISDIR;
    }
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd opened(openat(path.parent_fd, name, kFlags, 0666));
    if (!opened && errno == EEXIST) {
        // Left by a run that was cut short: it is ours to replace.
        unlinkat(path.parent_fd, name, 0);
        opened.reset(openat(path.parent_fd, name, kFlags, 0666));
    }
    if (!opened) {
        return errno;
    }
    *fd = std::move(opened);
    return 0;
}

namespace {

// An unnamed file is named through its /proc link, the only way that needs
// no privilege; without /proc it could never be named, so it is not made.
bool proc_fd_links_available() {
    static const bool available = access("/proc/self/fd", X_OK) == 0;
    return available;
}

}  // namespace

int create_unnamed_for_writing(const DevicePath &path, UniqueFd *fd) {
    if (path.names_directory) {
        return EISDIR;
    }
    if (!proc_fd_links_available()) {
        return EOPNOTSUPP;
    }
    UniqueFd opened(openat(path.parent_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (!opened) {
        return errno;
    }
    *fd = std::move(opened);
    return 0;
}

int name_unnamed_file(const DevicePath &path, int fd, const char *sibling) {
    char link[40];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const char *name = sibling != nullptr ? sibling : path.leaf.c_str();
    return linkat(AT_FDCWD, link, path.parent_fd, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

int rename_sibling_onto_entry(const DevicePath &path, const char *name) {
    return renameat(path.parent_fd, name, path.parent_fd, path.leaf.c_str()) == 0 ? 0 : errno;
}

int unlink_sibling(const DevicePath &path, const char *name) {
    return unlinkat(path.parent_fd, name, 0) == 0 ? 0 : errno;
}

int unlink_entry(const DevicePath &path) {
    return unlinkat(path.parent_fd, path.leaf.c_str(), 0) == 0 ? 0 : errno;
}

int remove_directory_entry(const DevicePath &path) {
    if (path.leaf == ".") {
        // The backup directory itself, which no descriptor can remove.
        return rmdir(path.shown.c_str()) == 0 ? 0 : errno;
    }
    return unlinkat(path.parent_fd, path.leaf.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

int rename_entry(const DevicePath &from, const DevicePath &to) {
    return renameat(from.parent_fd, from.leaf.c_str(), to.parent_fd, to.leaf.c_str()) == 0 ? 0
                                                                                           : errno;
}

int make_directory_entry(const DevicePath &path) {
    return mkdirat(path.parent_fd, path.leaf.c_str(), 0755) == 0 ? 0 : errno;
}
