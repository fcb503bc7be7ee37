// tarvobrowse cat: one file's content to standard output.
#include <unistd.h>

#include "commands.h"
#include "content_copy.h"
#include "mb_record.h"
#include "opened_backup.h"

namespace browse {

int run_cat(const BrowseOptions &options) {
    OpenedBackup backup;
    std::string error;
    if (!open_whole_backup(options.operands[0], options.password, backup, &error)) {
        report_error(error);
        return kExitError;
    }
    const std::string &domain = options.operands[1];
    const std::string &path = options.operands[2];
    std::string problem;
    bool copied = false;
    const bool found = backup.manifest->find(
        domain, path,
        [&](const ManifestRow &row) {
            std::optional<MbRecord> record;
            if (row.defect) {
                problem = row.defect;
            } else if (row.flags != uint64_t(EntryKind::kFile)) {
                problem = "not a file";
            } else if (!(record = decode_mb_record(row.archive, &problem))) {
                problem = "unreadable record (" + problem + ")";
            } else {
                copied = copy_content(backup.folder, row.file_id, *record, backup.class_keys(),
                                      STDOUT_FILENO, &problem);
            }
        },
        &error);
    if (!found) {
        report_error(error);
        return kExitError;
    }
    if (!copied) {
        report_error(domain + "/" + path + ": " + problem);
        return kExitError;
    }
    return kExitOk;
}

}  // namespace browse
