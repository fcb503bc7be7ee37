/*
 * Where a manifest entry goes below the output folder: <domain>/<relative
 * path>, checked as text before anything touches the disk. A domain is one
 * plain name; a relative path has no absolute start, no ".." and no NUL.
 * A link's target is accepted only when, followed from where the link
 * stands, it cannot leave the output folder (see link_target_refusal).
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_ENTRY_PATH_H
#define TARVO_TOOLS_TARVOBROWSE_ENTRY_PATH_H

#include <string>
#include <string_view>
#include <vector>

namespace browse {

struct EntryPath {
    /// The domain, then each component of the relative path ("" and "."
    /// dropped). Never empty.
    std::vector<std::string> components;
    /// "domain/relative path" as the manifest has it, for messages.
    std::string shown;
};

/// Null with `path` filled when the entry may be placed, else why not.
const char *entry_path_refusal(std::string_view domain, std::string_view relative_path,
                               EntryPath &path);

/// Null when a link at `link` with `target` stays inside the output folder
/// wherever it is followed from, else why not. Accepted targets are
/// relative: some ".." (no more than the folders above the link, below the
/// output folder), then names only. A ".." after a name is refused, since
/// that name may itself be a link standing elsewhere.
const char *link_target_refusal(const EntryPath &link, std::string_view target);

}  // namespace browse

#endif
