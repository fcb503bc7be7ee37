/*
 * The manifest read and its rows prepared on a thread of their own while
 * the caller's thread places the entries: SQLite's and the record decoder's
 * CPU time then overlaps the file system's instead of adding to it. Entries
 * reach the caller in the manifest's order, in batches through a bounded
 * queue, so memory stays flat however large the backup.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_ENTRY_PIPELINE_H
#define TARVO_TOOLS_TARVOBROWSE_ENTRY_PIPELINE_H

#include <functional>
#include <string>

#include "manifest_db.h"
#include "prepared_entry.h"

namespace browse {

/// Calls `place` on the calling thread for every row the filter passes.
/// False with `error` when the manifest could not be read to its end (the
/// entries read before were placed).
bool place_prepared_entries(ManifestDb &manifest, const RowFilter &filter,
                            const std::function<void(PreparedEntry &)> &place, std::string *error);

}  // namespace browse

#endif
