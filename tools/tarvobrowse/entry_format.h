/*
 * How entries and dates read in tarvobrowse's text output: modes as ls
 * shows them, times in UTC, kinds by name.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_ENTRY_FORMAT_H
#define TARVO_TOOLS_TARVOBROWSE_ENTRY_FORMAT_H

#include <cstdint>
#include <string>

namespace browse {

/// "-rw-r--r--", with "d" or "l" first for `flags` 2 or 4.
std::string mode_text(uint64_t flags, uint64_t mode);
/// "YYYY-MM-DD HH:MM:SS" in UTC; "-" for a time gmtime cannot show.
std::string time_text(int64_t unix_seconds);
/// "file", "directory", "link" or "unknown".
const char *kind_name(uint64_t flags);
/// "1 file", "2 files": `count` and the noun that fits it.
std::string counted(uint64_t count, const char *one, const char *many);

}  // namespace browse

#endif
