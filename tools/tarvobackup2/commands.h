/*
 * The commands that run once the session is set up: each sends its request
 * to the backup service, runs the message loop and turns its results into
 * the outcome and the exit status.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_COMMANDS_H
#define TARVO_TOOLS_TARVOBACKUP2_COMMANDS_H

#include "session.h"

/// Runs the session's command and returns its exit status: -1 when it could
/// not start, else the loop's operation result.
int run_command(Session &session);

#endif
