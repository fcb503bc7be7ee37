// Checking and decoding a manifest row before its entry is placed.
#include "prepared_entry.h"

namespace browse {

PreparedEntry prepare_entry(const ManifestRow &row) {
    PreparedEntry entry;
    entry.file_id = row.file_id;
    entry.flags = row.flags;
    if (row.defect) {
        entry.path.shown = "row " + entry.file_id;
        entry.problem = row.defect;
        return entry;
    }
    if (const char *refusal = entry_path_refusal(row.domain, row.relative_path, entry.path)) {
        entry.problem = std::string("refused: ") + refusal;
        return entry;
    }
    std::string why;
    std::optional<MbRecord> record = decode_mb_record(row.archive, &why);
    if (!record) {
        entry.problem = "unreadable record (" + why + ")";
        return entry;
    }
    entry.record = std::move(*record);
    const bool placed_in_domain = entry.path.components.size() >= 2;
    switch (row.flags) {
        case uint64_t(EntryKind::kFile):
            if (!placed_in_domain) {
                entry.problem = "refused: a file without a path";
            }
            break;
        case uint64_t(EntryKind::kDirectory):
            break;
        case uint64_t(EntryKind::kSymlink): {
            const std::string target = entry.record.target.value_or("");
            const char *refusal = placed_in_domain ? link_target_refusal(entry.path, target)
                                                   : "a link without a path";
            if (refusal) {
                entry.problem = "link to '" + target + "' refused: " + refusal;
            }
            break;
        }
        default:
            entry.problem = "an entry of unknown kind " + std::to_string(row.flags);
    }
    return entry;
}

}  // namespace browse
