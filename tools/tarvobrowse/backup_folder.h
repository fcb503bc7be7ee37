/*
 * A backup folder (DIR/<UDID>) opened for reading only: its descriptor, on
 * which every later read is made without following a symbolic link, and the
 * property lists the device and the host wrote there (Info.plist,
 * Manifest.plist, Status.plist). Nothing here writes, so the folder stays as
 * the device left it.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_BACKUP_FOLDER_H
#define TARVO_TOOLS_TARVOBROWSE_BACKUP_FOLDER_H

#include <string>

#include "owners.h"
#include "unique_fd.h"

namespace browse {

/// Property lists larger than this are refused (Info.plist with its app
/// icons is the largest, a few MiB on a full phone).
inline constexpr long long kMaxPlistFileBytes = 64LL * 1024 * 1024;

class BackupFolder {
  public:
    /// Opens `path`, which must be a directory. False with `error`.
    bool open(const std::string &path, std::string *error);
    int fd() const { return fd_.get(); }
    const std::string &path() const { return path_; }

    /// Opens `name` below the folder for reading, a link never followed,
    /// and never waiting on a FIFO a hostile folder put there.
    /// The descriptor, or -1 with errno set.
    int open_member(const std::string &name) const;

    /// The property list in `name` (binary or XML, checked as untrusted
    /// input). Null with `error`; `missing` tells a file that is not there
    /// from one that does not parse.
    PlistPtr read_plist(const char *name, std::string *error, bool *missing = nullptr) const;

  private:
    UniqueFd fd_;
    std::string path_;
};

}  // namespace browse

#endif
