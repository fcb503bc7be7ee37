// tarvobrowse list: the entries of Manifest.db, as lines or a JSON array
// written row by row, so memory does not grow with the backup.
#include <inttypes.h>
#include <stdio.h>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "entry_format.h"
#include "mb_record.h"
#include "opened_backup.h"

namespace browse {
namespace {

void print_text(const ManifestRow &row, const MbRecord &record) {
    const std::string mode = mode_text(row.flags, record.mode);
    const std::string when = time_text(record.last_modified);
    const std::string domain(row.domain);
    const std::string path(row.relative_path);
    printf("%s %12" PRIu64 " %s %s/%s%s%s\n", mode.c_str(), record.size, when.c_str(),
           domain.c_str(), path.c_str(), record.target ? " -> " : "",
           record.target ? record.target->c_str() : "");
}

nlohmann::json json_of(const ManifestRow &row, const MbRecord &record) {
    nlohmann::json entry = {
        {"domain", row.domain},  {"path", row.relative_path}, {"kind", kind_name(row.flags)},
        {"size", record.size},   {"mode", record.mode},       {"mtime", record.last_modified},
        {"fileID", row.file_id},
    };
    if (record.target) {
        entry["target"] = *record.target;
    }
    return entry;
}

}  // namespace

int run_list(const BrowseOptions &options) {
    OpenedBackup backup;
    std::string error;
    if (!open_whole_backup(options.operands[0], options.password, backup, &error)) {
        report_error(error);
        return kExitError;
    }
    uint64_t bad = 0;
    bool first = true;
    if (options.json) {
        fputs("[", stdout);
    }
    const bool listed = backup.manifest->for_each(
        options.filter,
        [&](const ManifestRow &row) {
            std::string why;
            std::optional<MbRecord> record;
            if (!row.defect) {
                record = decode_mb_record(row.archive, &why);
            }
            if (!record) {
                ++bad;
                report_error("row " + std::string(row.defect ? "?" : row.file_id) +
                             ": unreadable (" + (row.defect ? row.defect : why.c_str()) + ")");
                return;
            }
            if (options.json) {
                // Names from a device need not be UTF-8; bytes that are not are replaced.
                const std::string text =
                    json_of(row, *record)
                        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
                printf("%s\n%s", first ? "" : ",", text.c_str());
                first = false;
            } else {
                print_text(row, *record);
            }
        },
        &error);
    if (options.json) {
        fputs(first ? "]\n" : "\n]\n", stdout);
    }
    if (!listed) {
        report_error(error);
        return kExitError;
    }
    return bad ? kExitPartial : kExitOk;
}

}  // namespace browse
