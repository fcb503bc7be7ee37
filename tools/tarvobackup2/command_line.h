/*
 * tarvobackup2's command line: the words it knows, compared by hand left to
 * right into the options of one session, and the usage text.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_COMMAND_LINE_H
#define TARVO_TOOLS_TARVOBACKUP2_COMMAND_LINE_H

#include <string>

#include "owners.h"

/// The selected command. The numbers are internal; the words are the
/// command line's.
enum CommandCode {
    CMD_NONE = -1,
    CMD_BACKUP = 0,
    CMD_RESTORE = 1,
    CMD_INFO = 2,
    CMD_LIST = 3,
    CMD_UNBACK = 4,
    CMD_CHANGEPW = 5,  // "encryption" and "changepw"
    CMD_LEAVE = 6,     // a command that refused to start: straight to clean-up
    CMD_CLOUD = 7,
};

/// Option bits of SessionOptions::command_flags.
enum CommandFlag {
    CMD_FLAG_RESTORE_SYSTEM_FILES = 0x2,
    CMD_FLAG_RESTORE_NO_REBOOT = 0x4,
    CMD_FLAG_RESTORE_COPY_BACKUP = 0x8,
    CMD_FLAG_RESTORE_SETTINGS = 0x10,
    CMD_FLAG_RESTORE_REMOVE_ITEMS = 0x20,
    CMD_FLAG_ENCRYPTION_ENABLE = 0x40,
    CMD_FLAG_ENCRYPTION_DISABLE = 0x80,
    CMD_FLAG_ENCRYPTION_CHANGEPW = 0x100,
    CMD_FLAG_FORCE_FULL_BACKUP = 0x200,
    CMD_FLAG_CLOUD_ENABLE = 0x400,
    CMD_FLAG_CLOUD_DISABLE = 0x800,
    CMD_FLAG_RESTORE_SKIP_APPS = 0x1000,
};

/// What the command line asks of one session.
struct SessionOptions {
    char **argv = nullptr;  // for the usage text printed after parsing
    int command_code = CMD_NONE;
    int command_flags = 0;
    bool has_directory = false;
    std::string backup_directory;
    CString udid;         // from -u/--udid, else none until the device is opened
    CString source_udid;  // from -s/--source
    SecretString password;
    SecretString new_password;
    bool interactive = false;
    bool network = false;
};

/// What one word's parser decides: go on, or end the tool now with a status.
struct ParseStep {
    bool stop;
    int exit_status;
};
inline constexpr ParseStep kGoOn = {false, 0};

/// The command line as a word's parser sees it: the word being looked at,
/// the ones after it, and the options being filled.
struct ArgumentCursor {
    int argc;
    char **argv;
    int index;  // the argument being looked at
    SessionOptions *options;

    bool has_next() const { return index + 1 < argc; }
    /// Consumes and returns the next argument, or null when there is none.
    /// It stays writable: a password is wiped once it is copied.
    char *take_next() { return has_next() ? argv[++index] : nullptr; }
    const char *current() const { return argv[index]; }
};

/// The arguments that follow the words "encryption", "changepw" and "cloud".
ParseStep parse_encryption_arguments(ArgumentCursor &cursor);
ParseStep parse_changepw_arguments(ArgumentCursor &cursor);
ParseStep parse_cloud_arguments(ArgumentCursor &cursor);

/// Parses argv[1..argc-1] into *options, printing what the words ask for
/// (usage, version, errors). Returns 1 when the session should run, 0 when
/// the tool ends now with *exit_status. Switches `verbose` off for info
/// and list, and turns library debugging on at once for each -d. Every
/// word taken as a password is overwritten with NULs in argv once copied.
int parse_command_line(int argc, char **argv, SessionOptions *options, int *exit_status);

/// The usage text on standard output, named by the base name of argv[0].
void print_usage(char **argv);

#endif
