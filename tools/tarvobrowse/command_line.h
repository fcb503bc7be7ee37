/*
 * tarvobrowse's command line: tarvobrowse [OPTIONS] COMMAND BACKUP
 * [OPERANDS], options anywhere. The usage text is built from the command
 * table.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_COMMAND_LINE_H
#define TARVO_TOOLS_TARVOBROWSE_COMMAND_LINE_H

#include <stdio.h>

#include "browse_options.h"

namespace browse {

/// True with `options` filled when a command is to run; false with
/// `exit_status` set after -h, -v (status 0) or a usage error (status 2,
/// the reason and a hint on standard error).
bool parse_command_line(int argc, char *argv[], BrowseOptions *options, int *exit_status);

void print_usage(FILE *stream);

}  // namespace browse

#endif
