/*
 * One manifest row made ready for extraction without touching the disk:
 * its own copy of the names, the decoded record, the checked place below
 * OUT, or the one problem that keeps it out. Work that needs no file
 * system, so it can be done apart from the writing (see entry_pipeline).
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_PREPARED_ENTRY_H
#define TARVO_TOOLS_TARVOBROWSE_PREPARED_ENTRY_H

#include <cstdint>
#include <string>

#include "entry_path.h"
#include "manifest_db.h"
#include "mb_record.h"

namespace browse {

struct PreparedEntry {
    std::string file_id;
    uint64_t flags = 0;
    EntryPath path;
    MbRecord record;
    /// Non-empty when the entry cannot be placed; `path.shown` names it.
    std::string problem;
};

/// The row's checks that need no disk: its columns, its place, its record
/// and, for a link, its target.
PreparedEntry prepare_entry(const ManifestRow &row);

}  // namespace browse

#endif
