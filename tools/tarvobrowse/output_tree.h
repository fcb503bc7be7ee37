/*
 * The output folder of an extraction, written only through descriptors:
 * every folder below it is made with mkdirat and entered with O_NOFOLLOW,
 * every file and link is made relative to its folder's descriptor, so no
 * symbolic link (one the backup made us create, or one already there) is
 * ever followed below the output folder itself. The output folder is the
 * user's own path and is opened as given.
 *
 * Results are 0 or an errno; ELOOP means a link stood on the way or in the
 * entry's place.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_OUTPUT_TREE_H
#define TARVO_TOOLS_TARVOBROWSE_OUTPUT_TREE_H

#include <sys/types.h>

#include <ctime>
#include <string>
#include <unordered_map>

#include "entry_path.h"
#include "unique_fd.h"

namespace browse {

class OutputTree {
  public:
    /// Makes `folder` when missing (its parent must exist) and opens it.
    int open(const std::string &folder);

    /// Creates (or truncates) the entry's file for writing with `mode`
    /// (exactly, when the umask is 0 as during an extraction: a new file
    /// then needs no chmod); its folders are made as needed.
    int create_file(const EntryPath &path, mode_t mode, UniqueFd *fd);
    /// Removes the entry's file (after a failed copy).
    void remove_file(const EntryPath &path);
    /// Makes the entry's folder (and those above it); an existing folder is fine.
    int make_directory(const EntryPath &path);
    /// Makes the entry a symbolic link to `target` (a file or link standing
    /// there is replaced), with `mtime`.
    int make_link(const EntryPath &path, const std::string &target, time_t mtime);
    /// Gives a folder made earlier its permission bits and time.
    int set_directory_metadata(const EntryPath &path, mode_t mode, time_t mtime);

  private:
    /// The descriptor of the folder holding the entry, made as needed.
    int parent_of(const EntryPath &path, int *fd);
    int enter(int at, const std::string &name, bool create, UniqueFd *fd);

    UniqueFd root_;
    // Folders entered lately, by their path below the output folder; kept
    // few so that the descriptors stay bounded.
    std::unordered_map<std::string, UniqueFd> folders_;
};

/// Permission bits a file or folder gets: the backup's, without set-id or
/// sticky bits, and folders always open to their owner.
mode_t file_permissions(uint64_t backup_mode);
mode_t directory_permissions(uint64_t backup_mode);

/// futimens-style: atime and mtime both `mtime`.
int set_file_time(int fd, time_t mtime);
/// fchmod to `mode`, then set_file_time.
int set_file_metadata(int fd, mode_t mode, time_t mtime);

}  // namespace browse

#endif
