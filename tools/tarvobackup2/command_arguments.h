/*
 * The parsers of the arguments that follow a command's word (the command
 * table names them), and the two steps every parser shares.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_COMMAND_ARGUMENTS_H
#define TARVO_TOOLS_TARVOBACKUP2_COMMAND_ARGUMENTS_H

#include <string.h>

#include "session_options.h"

/// `owner` takes a heap copy of `value` (none for null).
template <typename Owner>
void replace_with_copy(Owner &owner, const char *value) {
    owner.reset(value ? strdup(value) : nullptr);
}

/// Prints `message` (when not null) and the usage text; stops with -1.
ParseStep usage_error(ArgumentCursor &state, const char *message);

/// Copies a password from the command line into `owner` and wipes the
/// word (any user can read a process's arguments while it runs).
void take_password(SecretString &owner, char *word);

ParseStep parse_encryption_arguments(ArgumentCursor &cursor);
ParseStep parse_changepw_arguments(ArgumentCursor &cursor);
ParseStep parse_cloud_arguments(ArgumentCursor &cursor);

#endif
