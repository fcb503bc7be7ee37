/*
 * The commands that run once the session is set up: each takes the sync
 * lock where it needs one, sends its request to the backup service, runs
 * the message loop and turns its results into the outcome lines and the
 * exit status (-1 when it could not start, else the loop's operation
 * result). Each lives in a file of its own; the table that names them is
 * command_table.cpp.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_COMMANDS_H
#define TARVO_TOOLS_TARVOBACKUP2_COMMANDS_H

#include "session.h"

int run_backup(Session &session);
int run_restore(Session &session);
int run_info(Session &session);
int run_list(Session &session);
int run_unback(Session &session);
/// "encryption on|off" and "changepw".
int run_change_password(Session &session);
int run_cloud(Session &session);

#endif
