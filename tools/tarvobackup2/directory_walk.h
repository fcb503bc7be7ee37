/*
 * The file-system operations that the host requests share, all beneath the
 * backup directory: making a directory with its parents, listing a tree for
 * removal, removing a tree, and copying one file.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_DIRECTORY_WALK_H
#define TARVO_TOOLS_TARVOBACKUP2_DIRECTORY_WALK_H

#include "safe_path.h"

/// A node of the lists that scan_directory fills: a heap path (relative to
/// the backup directory) and the next node. New nodes go to the front.
struct PathListNode {
    char *path;
    PathListNode *next;
};

/// Frees every node of the list and its path.
void free_path_list(PathListNode *list);

/// Whether the entry `name` of the open directory `dir_fd` is a directory:
/// the type that readdir gave (a DT_ value) or, where that is DT_UNKNOWN,
/// the entry's own status, a link never counting as a directory.
bool entry_is_directory(int dir_fd, const char *name, unsigned char type);

/// Makes the directory `path` and whichever of its parents are missing,
/// mode 0755. 0 when it exists afterwards; -1 with errno set otherwise;
/// kPathRefused (errno EACCES) for a path that leaves the backup directory;
/// -1 with ENAMETOOLONG at once for a path longer than PATH_MAX. The folders
/// on the way are made from the top, each tried once, without recursion, so
/// a directory that cannot be made (a read-only parent, a regular file on
/// the way) ends in -1, never a loop, and any depth costs one path's memory.
int mkdir_with_parents(BackupRoot &root, const char *path);

/// Puts every entry below the directory `path` at the front of *files or
/// *directories; a directory is scanned only after its own node went in, so
/// a directory always comes before its parent. A link is listed as a file,
/// never entered. Without recursion: any depth is fine. Stops when a node
/// cannot be allocated.
void scan_directory(BackupRoot &root, const char *path, PathListNode **files,
                    PathListNode **directories);

/// Removes the directory `path` with everything below it. 0 when the last
/// removal (the directory itself) succeeded, else that removal's errno;
/// ENOMEM when the first node cannot be allocated; kPathRefused.
int rmdir_recursive(BackupRoot &root, const char *path);

/// Copies one file in pieces of 1024 bytes, the destination created or
/// truncated. Failures are printed; nothing is returned.
void mb2_copy_file_by_path(const DevicePath &source, const DevicePath &destination);

#endif
