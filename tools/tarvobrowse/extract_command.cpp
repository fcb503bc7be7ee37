// tarvobrowse extract: the entries of a backup as plain files, folders and
// links below OUT/<domain>/<relative path>. Each entry that cannot be
// placed is named once and the rest go on; folders get their times last,
// since the files made in them change them. Rows are read and checked on a
// second thread (entry_pipeline) while this one writes.
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "commands.h"
#include "content_copy.h"
#include "entry_format.h"
#include "entry_pipeline.h"
#include "mb_record.h"
#include "opened_backup.h"
#include "output_tree.h"
#include "progress_bar.h"

namespace browse {
namespace {

struct FolderMetadata {
    EntryPath path;
    mode_t mode;
    time_t mtime;
};

class Extraction {
  public:
    Extraction(OpenedBackup &backup, OutputTree &out, ProgressBar &bar)
        : backup_(backup), out_(out), bar_(bar) {}

    void place(const PreparedEntry &entry);
    void finish_folders();
    void print_summary(const std::string &out) const;
    bool partial() const { return failed_ > 0; }

  private:
    void fail(const std::string &shown, const std::string &why);
    void place_file(const PreparedEntry &entry);
    void place_folder(const EntryPath &path, const MbRecord &record);
    void place_link(const EntryPath &path, const MbRecord &record);

    OpenedBackup &backup_;
    OutputTree &out_;
    ProgressBar &bar_;
    std::vector<FolderMetadata> folders_;
    uint64_t files_ = 0;
    uint64_t bytes_ = 0;
    uint64_t links_ = 0;
    uint64_t failed_ = 0;
};

std::string errno_text(int error) {
    return error == ELOOP ? "a symbolic link on the way or in its place" : strerror(error);
}

void Extraction::fail(const std::string &shown, const std::string &why) {
    bar_.clear();
    report_error(shown + ": " + why);
    ++failed_;
}

void Extraction::place(const PreparedEntry &entry) {
    bar_.step();
    if (!entry.problem.empty()) {
        fail(entry.path.shown, entry.problem);
        return;
    }
    switch (entry.flags) {
        case uint64_t(EntryKind::kFile):
            place_file(entry);
            return;
        case uint64_t(EntryKind::kDirectory):
            place_folder(entry.path, entry.record);
            return;
        default:
            place_link(entry.path, entry.record);
    }
}

void Extraction::place_file(const PreparedEntry &entry) {
    const EntryPath &path = entry.path;
    const MbRecord &record = entry.record;
    UniqueFd fd;
    if (const int result = out_.create_file(path, file_permissions(record.mode), &fd);
        result != 0) {
        fail(path.shown, "cannot be created: " + errno_text(result));
        return;
    }
    std::string problem;
    if (!copy_content(backup_.folder, entry.file_id, record, backup_.class_keys(), fd.get(),
                      &problem)) {
        fd.reset();
        out_.remove_file(path);
        fail(path.shown, problem);
        return;
    }
    if (const int result = set_file_time(fd.get(), static_cast<time_t>(record.last_modified));
        result != 0) {
        fail(path.shown, std::string("its time cannot be set: ") + strerror(result));
        return;
    }
    ++files_;
    bytes_ += record.size;
}

void Extraction::place_folder(const EntryPath &path, const MbRecord &record) {
    if (const int result = out_.make_directory(path); result != 0) {
        fail(path.shown, "cannot be made: " + errno_text(result));
        return;
    }
    folders_.push_back(
        {path, directory_permissions(record.mode), static_cast<time_t>(record.last_modified)});
}

// The target was checked when the entry was prepared.
void Extraction::place_link(const EntryPath &path, const MbRecord &record) {
    const std::string target = record.target.value_or("");
    if (const int result = out_.make_link(path, target, static_cast<time_t>(record.last_modified));
        result != 0) {
        fail(path.shown, "the link cannot be made: " + errno_text(result));
        return;
    }
    ++links_;
}

void Extraction::finish_folders() {
    for (const FolderMetadata &folder : folders_) {
        if (const int result = out_.set_directory_metadata(folder.path, folder.mode, folder.mtime);
            result != 0) {
            fail(folder.path.shown, "mode or time cannot be set: " + errno_text(result));
        }
    }
}

void Extraction::print_summary(const std::string &out) const {
    printf("Extracted %s (%" PRIu64 " bytes), %s and %s to %s",
           counted(files_, "file", "files").c_str(), bytes_,
           counted(folders_.size(), "folder", "folders").c_str(),
           counted(links_, "link", "links").c_str(), out.c_str());
    if (failed_) {
        printf("; %s refused or failed", counted(failed_, "entry", "entries").c_str());
    }
    printf(".\n");
}

}  // namespace

int run_extract(const BrowseOptions &options) {
    OpenedBackup backup;
    // The password is checked before OUT is made, so a wrong one writes nothing.
    std::string error;
    if (!open_whole_backup(options.operands[0], options.password, backup, &error)) {
        report_error(error);
        return kExitError;
    }
    const std::string &out_path = options.operands[1];
    // Entries get the backup's permission bits exactly, not as the umask
    // would cut them, and new files need no chmod of their own.
    umask(0);
    OutputTree out;
    if (const int result = out.open(out_path); result != 0) {
        report_error(out_path + ": " + strerror(result));
        return kExitError;
    }
    const std::optional<uint64_t> total = backup.manifest->count(options.filter, 0, &error);
    if (!total) {
        report_error(error);
        return kExitError;
    }
    ProgressBar bar(*total, progress_wanted());
    Extraction extraction(backup, out, bar);
    const bool read = place_prepared_entries(
        *backup.manifest, options.filter,
        [&](const PreparedEntry &entry) { extraction.place(entry); }, &error);
    extraction.finish_folders();
    bar.finish();
    if (!read) {
        report_error(error);
    }
    extraction.print_summary(out_path);
    return !read ? kExitError : extraction.partial() ? kExitPartial : kExitOk;
}

}  // namespace browse
