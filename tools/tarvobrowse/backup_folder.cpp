// Reading a backup folder's own files through its descriptor.
#include "backup_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "plist_untrusted.h"

namespace browse {
namespace {

std::string describe(const std::string &folder, const char *name, const char *what) {
    return folder + "/" + name + ": " + what;
}

// Reads the whole file behind `fd`, whose size was checked against the cap.
bool read_all(int fd, std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

bool BackupFolder::open(const std::string &path, std::string *error) {
    // "DIR/<UDID>/" as a shell completes it: messages join names with "/".
    path_ = path;
    while (path_.size() > 1 && path_.back() == '/') {
        path_.pop_back();
    }
    fd_.reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd_) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    return true;
}

int BackupFolder::open_member(const std::string &name) const {
    return ::openat(fd_.get(), name.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

PlistPtr BackupFolder::read_plist(const char *name, std::string *error, bool *missing) const {
    if (missing) {
        *missing = false;
    }
    UniqueFd fd(open_member(name));
    if (!fd) {
        if (missing) {
            *missing = errno == ENOENT;
        }
        *error = describe(path_, name, strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = describe(path_, name, "not a regular file");
        return nullptr;
    }
    if (st.st_size > kMaxPlistFileBytes) {
        *error = describe(path_, name, "too large for a property list");
        return nullptr;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    if (!read_all(fd.get(), bytes)) {
        *error = describe(path_, name, "cannot be read whole");
        return nullptr;
    }
    PlistPtr node(tarvo::plist_from_untrusted_memory(bytes));
    if (!node || plist_get_node_type(node.get()) != PLIST_DICT) {
        *error = describe(path_, name, "not a property list dictionary");
        return nullptr;
    }
    return node;
}

}  // namespace browse
