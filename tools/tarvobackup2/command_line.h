/*
 * tarvobackup2's command line: the words it knows, compared by hand left to
 * right into the options of one session, and the usage text.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_COMMAND_LINE_H
#define TARVO_TOOLS_TARVOBACKUP2_COMMAND_LINE_H

#include "session_options.h"
#include "usage_text.h"

/// The selected command. The numbers are internal; the words are the
/// command line's.
int parse_command_line(int argc, char **argv, SessionOptions *options, int *exit_status);

/// The usage text on standard output, named by the base name of argv[0].
#endif
