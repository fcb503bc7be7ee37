/*
 * What one run of tarvobrowse was asked to do, as the command line gave it,
 * and the exit statuses every command shares.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_BROWSE_OPTIONS_H
#define TARVO_TOOLS_TARVOBROWSE_BROWSE_OPTIONS_H

#include <string>
#include <vector>

#include "manifest_db.h"
#include "password_source.h"

namespace browse {

inline constexpr int kExitOk = 0;
/// Nothing done: the backup, its password, its manifest or the output
/// folder could not be had.
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;
/// The command ran to the end, but some entries were refused or failed
/// (each named on standard error).
inline constexpr int kExitPartial = 3;

struct BrowseOptions {
    std::string command;
    /// BACKUP first, then the command's own operands.
    std::vector<std::string> operands;
    RowFilter filter;
    bool json = false;
    PasswordSource password;
};

}  // namespace browse

#endif
