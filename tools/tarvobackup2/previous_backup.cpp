// Keeping, dropping and putting back the last finished backup.
#include "previous_backup.h"

#include <plist/plist.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <string_view>

#include "owners.h"
#include "utils.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCopyPrefix = ".tarvo-previous-";
constexpr std::string_view kGoingPrefix = ".tarvo-unfinished-";

/// Whether FOLDER/Status.plist says "finished"; silent, unlike the check
/// of the backup's outcome, since a missing file is an answer here.
bool holds_finished_backup(const fs::path &folder) {
    plist_t raw = nullptr;
    plist_read_from_filename(&raw, (folder / "Status.plist").c_str());
    PlistPtr status(raw);
    plist_t state = status && plist_get_node_type(status.get()) == PLIST_DICT
                        ? plist_dict_get_item(status.get(), "SnapshotState")
                        : nullptr;
    return state && plist_get_node_type(state) == PLIST_STRING &&
           plist_string_val_compare(state, "finished") == 0;
}

/// FOLDER's tree again at COPY, files as hard links, links as links.
bool link_tree(const fs::path &folder, const fs::path &copy) {
    // Private until it is whole: nobody may slip an entry in that a put-back
    // would then bring into the backup.
    if (::mkdir(copy.c_str(), 0700) != 0) {
        return false;
    }
    std::error_code failed;
    for (fs::recursive_directory_iterator it(folder, failed), end; !failed && it != end;
         it.increment(failed)) {
        // The walk's paths all begin with FOLDER, so the relative path is a
        // matter of names; the entry's type comes from the directory listing.
        // (A backup holds one file per content file: a system call less per
        // entry is a second less per 100,000.)
        const fs::path target = copy / it->path().lexically_relative(folder);
        if (it->is_symlink(failed)) {
            fs::copy_symlink(it->path(), target, failed);
        } else if (failed) {
            break;
        } else if (it->is_directory(failed)) {
            fs::create_directory(target, it->path(), failed);
        } else if (!failed && it->is_regular_file(failed)) {
            fs::create_hard_link(it->path(), target, failed);
        }
    }
    if (!failed) {
        fs::permissions(copy, fs::status(folder, failed).permissions(), failed);
    }
    return !failed;
}

/// COPY in the place of FOLDER, whatever FOLDER holds now.
bool put_back(const fs::path &folder, const fs::path &copy, const char *udid) {
    const fs::path going = folder.parent_path() / (std::string(kGoingPrefix) + udid);
    std::error_code failed;
    fs::remove_all(going, failed);
    fs::rename(folder, going, failed);
    failed.clear();
    fs::rename(copy, folder, failed);
    if (failed) {
        fprintf(stderr, "Could not put the last finished backup back from %s: %s\n", copy.c_str(),
                failed.message().c_str());
        return false;
    }
    fs::remove_all(going, failed);
    return true;
}

}  // namespace

std::string previous_backup_name(const char *udid) {
    return std::string(kCopyPrefix) + udid;
}

void settle_interrupted_backup(const char *directory, const char *udid) {
    const fs::path folder = fs::path(directory) / udid;
    const fs::path copy = fs::path(directory) / previous_backup_name(udid);
    std::error_code failed;
    if (!fs::is_directory(fs::symlink_status(copy, failed))) {
        return;
    }
    if (holds_finished_backup(folder) || !holds_finished_backup(copy)) {
        fs::remove_all(copy, failed);
        return;
    }
    if (put_back(folder, copy, udid)) {
        fprintf(stderr,
                "A backup of %s was cut short; its last finished backup is back in "
                "place.\n",
                udid);
    }
}

PreviousBackup::PreviousBackup(const char *directory, const char *udid)
    : folder_((fs::path(directory) / udid).string()),
      copy_((fs::path(directory) / previous_backup_name(udid)).string()) {
    settle_interrupted_backup(directory, udid);
    if (!holds_finished_backup(folder_)) {
        return;
    }
    kept_ = link_tree(folder_, copy_);
    if (!kept_) {
        std::error_code ignored;
        fs::remove_all(copy_, ignored);
        fprintf(stderr,
                "Could not keep a copy of the last finished backup in %s; a backup "
                "cut short will leave it incomplete.\n",
                copy_.c_str());
    }
}

PreviousBackup::~PreviousBackup() {
    settle(false);
}

void PreviousBackup::settle(bool finished) {
    if (!kept_) {
        return;
    }
    kept_ = false;
    std::error_code ignored;
    if (finished) {
        fs::remove_all(copy_, ignored);
    } else if (put_back(folder_, copy_, fs::path(folder_).filename().c_str())) {
        fprintf(stderr,
                "The backup did not finish; the last finished backup is back in "
                "place.\n");
    }  // else the copy stays, for the next run to settle
}
