/*
 * What tarvobackup2's command line yields: the command and its flags, the
 * options of one session, and the cursor and step result that the option
 * and command parsers share.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_SESSION_OPTIONS_H
#define TARVO_TOOLS_TARVOBACKUP2_SESSION_OPTIONS_H

#include <string>

#include "owners.h"
#include "secrets.h"

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
    int progress_fd = -1;  // --progress-fd: JSON progress lines there
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

#endif
