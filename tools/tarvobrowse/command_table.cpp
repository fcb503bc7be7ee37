// The commands of tarvobrowse.
#include "commands.h"

#include <stdio.h>
#include <string.h>

namespace browse {
namespace {

constexpr CommandRow kCommands[] = {
    {"info", 0, 0, "info BACKUP", "the device and the backup: names, dates, state, counts, apps",
     run_info},
    {"list", 0, 1, "list BACKUP [--domain D] [--json] [PATTERN]",
     "the files, folders and links of the backup", run_list},
    {"cat", 2, 2, "cat BACKUP DOMAIN PATH", "one file's content to standard output", run_cat},
    {"extract", 1, 2, "extract BACKUP OUT [--domain D] [PATTERN]",
     "the entries as plain files below OUT/<domain>/<path>", run_extract},
};

}  // namespace

std::span<const CommandRow> command_table() {
    return kCommands;
}

const CommandRow *find_command(const char *name) {
    for (const CommandRow &row : kCommands) {
        if (strcmp(row.name, name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

void report_error(const std::string &text) {
    fprintf(stderr, "tarvobrowse: %s\n", text.c_str());
}

}  // namespace browse
