/*
 * Device paths kept beneath the backup directory. Every path the device
 * sends is relative to the backup directory. One that is absolute, has a
 * ".." component or passes through a symbolic link is refused, so that a
 * device (or anything posing as one) cannot open, create, rename or remove
 * anything outside that directory.
 *
 * Paths are resolved on directory descriptors: the directories on the way
 * with openat2 (RESOLVE_BENEATH, no symbolic links) where the kernel has it,
 * one O_NOFOLLOW step per component elsewhere; the operations then act on
 * the last component relative to its parent's descriptor, never following a
 * link there either. Below the backup's own folders symbolic links are
 * never followed: the device cannot make one, so a real backup holds none,
 * and a link that stays inside today can be turned outward tomorrow. The
 * folders directly inside the backup directory (DIR/<UDID>, DIR/_unback_)
 * are the exception: a link there was put by the user, to keep a device's
 * backups on another disk, and is followed.
 *
 * Paths longer than PATH_MAX are answered ENAMETOOLONG before any work, so
 * that no walk over a path costs more than one path's worth of memory.
 *
 * Results are 0, a positive errno, or kPathRefused. A refusal has already
 * been reported with one error line naming the device path; callers answer
 * it as they would EACCES and print nothing more about it.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_SAFE_PATH_H
#define TARVO_TOOLS_TARVOBACKUP2_SAFE_PATH_H

#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <utility>

#include "unique_fd.h"

/// Distinct from the -1 of the C-style operations and from every errno.
inline constexpr int kPathRefused = -2;

/// The errno a result stands for: EACCES for a refusal, else the result.
inline int path_errno(int result) {
    return result == kPathRefused ? EACCES : result;
}

/// One entry beneath the backup directory: the descriptor of the directory
/// that holds it and its name there ("." for the backup directory itself).
struct DevicePath {
    /// The holding directory; owned by `owned_parent` or by the root's cache.
    int parent_fd = -1;
    UniqueFd owned_parent;
    std::string leaf;
    /// The path as the device sent it, for the refusal line.
    std::string device_path;
    /// The backup directory joined with the device path, for messages.
    std::string shown;
    /// The device path ended in "/": it can only name a directory.
    bool names_directory = false;
    /// The entry is a folder directly inside the backup directory, where a
    /// link the user made is followed (see the file comment).
    bool top_level = false;
};

/// The backup directory of one message, open for the message's duration.
class BackupRoot {
  public:
    /// Opens `directory` (following whatever links the user's own path
    /// holds). 0 or the errno; every later operation fails with that errno
    /// when the directory could not be opened.
    int open(const char *directory);
    int fd() const { return fd_.get(); }
    const std::string &directory() const { return directory_; }

    /// Keeps the parent directories resolved so far for the next paths.
    /// Only for messages that create files and nothing else: a rename or a
    /// removal would leave the cache naming the wrong directories.
    void cache_parents() { cache_parents_ = true; }

    /// Resolves every directory of `device_path` but the last component.
    /// 0, an errno (a missing or non-directory component, ENAMETOOLONG for
    /// a path longer than PATH_MAX), or kPathRefused.
    int locate(const char *device_path, DevicePath *out);

  private:
    int resolve_parent(const std::string &relative, DevicePath *out);

    UniqueFd fd_;
    int open_error_ = EBADF;
    std::string directory_;
    bool cache_parents_ = false;
    std::unordered_map<std::string, UniqueFd> parents_;
};

/// Reports a refused device path (one "ERROR: " line) and returns kPathRefused.
int refuse_device_path(const std::string &device_path, const char *reason);

/// The status of the entry itself (a link is not followed). 0 or errno.
int stat_entry(const DevicePath &path, struct stat *st);

/// The status of what the entry stands for: a top-level link's target,
/// else the entry itself. 0 or errno.
int stat_entry_as_folder(const DevicePath &path, struct stat *st);

/// Opens the entry for reading; a symbolic link there is refused. Never
/// blocks on a FIFO. 0 or errno or kPathRefused; *fd is set on success.
int open_entry_for_reading(const DevicePath &path, UniqueFd *fd);

/// Opens the directory itself for reading its entries (a link refused,
/// except the user's own link at the top level).
int open_entry_directory(const DevicePath &path, UniqueFd *fd);

/// Opens the entry for writing, created when missing and truncated; a link
/// in its place is refused rather than written through. EISDIR for a path
/// that ended in "/".
int open_entry_for_writing(const DevicePath &path, UniqueFd *fd);

/// Creates `name` in the entry's folder for writing, exclusively (whatever
/// stood under that name goes first), a link never followed. 0 or errno.
int create_sibling_for_writing(const DevicePath &path, const char *name, UniqueFd *fd);

/// Creates a file without a name in the entry's folder, for writing: it
/// vanishes if the tool dies before name_unnamed_file gives it the entry's
/// name. 0, or an errno when the file system (or a missing /proc) does not
/// allow it; the caller then writes under a sibling name instead.
int create_unnamed_for_writing(const DevicePath &path, UniqueFd *fd);

/// Gives the unnamed file `fd` the entry's name (or the sibling name
/// `sibling`), which must be free. 0 or errno (EEXIST when it is taken).
int name_unnamed_file(const DevicePath &path, int fd, const char *sibling = nullptr);

/// Moves the sibling `name` onto the entry, replacing what was there.
int rename_sibling_onto_entry(const DevicePath &path, const char *name);

/// Removes the sibling `name` (never a directory). 0 or errno.
int unlink_sibling(const DevicePath &path, const char *name);

/// Removes whatever non-directory entry is there (a link itself, never its
/// target). 0 or errno.
int unlink_entry(const DevicePath &path);

/// Removes the entry, an empty directory. 0 or errno.
int remove_directory_entry(const DevicePath &path);

/// Renames the entry (a link is renamed itself). 0 or errno.
int rename_entry(const DevicePath &from, const DevicePath &to);

/// mkdir of the entry itself, mode 0755. 0 or errno.
int make_directory_entry(const DevicePath &path);

/// For tests: resolve component by component even where openat2 exists.
void safe_path_use_component_walk(bool on);

#endif
