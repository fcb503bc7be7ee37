/*
 * One whole run of tarvobackup2 after its command line: the session's set-up,
 * the selected command, and the release of the session.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_RUN_H
#define TARVO_TOOLS_TARVOBACKUP2_RUN_H

#include "command_line.h"

/// Runs the session for parsed options and returns the tool's exit status.
int run_session(SessionOptions options);

#endif
