/*
 * tarvobrowse's commands, one file each, and the table that names them:
 * the usage text and the dispatch both come from it.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_COMMANDS_H
#define TARVO_TOOLS_TARVOBROWSE_COMMANDS_H

#include <span>

#include "browse_options.h"

namespace browse {

struct CommandRow {
    const char *name;
    /// Operands after BACKUP: at least, at most.
    size_t min_operands;
    size_t max_operands;
    const char *synopsis;
    const char *summary;
    int (*run)(const BrowseOptions &options);
};

std::span<const CommandRow> command_table();
const CommandRow *find_command(const char *name);

int run_info(const BrowseOptions &options);
int run_list(const BrowseOptions &options);
int run_cat(const BrowseOptions &options);
int run_extract(const BrowseOptions &options);

/// "tarvobrowse: <text>" on standard error.
void report_error(const std::string &text);

}  // namespace browse

#endif
