/*
 * The commands of tarvobackup2, one row each: the word that selects it on
 * the command line, its code, the parser of the arguments that follow the
 * word, and the function that runs it once the session is set up. The
 * parser, the dispatch and the commands' messages all read this table.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_COMMAND_TABLE_H
#define TARVO_TOOLS_TARVOBACKUP2_COMMAND_TABLE_H

#include "session_options.h"

struct Session;

struct CommandRow {
    const char *word;
    int code;  // CommandCode
    /// info and list run with informational output off.
    bool quiet;
    /// The arguments after the word, or null when it takes none.
    ParseStep (*parse_arguments)(ArgumentCursor &cursor);
    /// Returns the exit status: -1 when it could not start, else the
    /// message loop's operation result.
    int (*run)(Session &session);
};

/// The row whose word is `word`, or null.
const CommandRow *command_by_word(const char *word);

/// The row that runs command `code` (for code 5 the first of its two
/// words), or null.
const CommandRow *command_by_code(int code);

#endif
