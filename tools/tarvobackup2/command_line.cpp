// The hand-written argument parser and the usage text. Each option word is
// a row of one table, each command word a row of the command table; the
// first row whose word equals the argument is applied.
#include "command_line.h"

#include <stdio.h>
#include <string.h>

#include "command_table.h"
#include "secrets.h"
#include "signals_and_notifications.h"
#include "tarvo.h"
#include "tool_usage.h"

namespace {

using ParseState = ArgumentCursor;

ParseStep usage_error(ParseState &state, const char *message) {
    if (message) {
        printf("%s\n", message);
    }
    print_usage(state.argv);
    return {true, -1};
}

template <typename Owner>
void replace_with_copy(Owner &owner, const char *value) {
    owner.reset(value ? strdup(value) : nullptr);
}

// Any user of the machine can read a process's arguments while it runs
// (ps, /proc/PID/cmdline). Overwriting the word once it is copied narrows
// that to the moments before parsing; the README points to -i instead.
void take_password(SecretString &owner, char *word) {
    replace_with_copy(owner, word);
    if (word) {
        tarvo::wipe_secret(word, strlen(word));
    }
}

ParseStep on_debug(ParseState &) {
    tarvo_set_debug_level(1);
    return kGoOn;
}

template <CString SessionOptions::*Field>
ParseStep on_udid_value(ParseState &state) {
    const char *value = state.take_next();
    if (!value || value[0] == '\0') {
        return usage_error(state, nullptr);
    }
    replace_with_copy(state.options->*Field, value);
    return kGoOn;
}

ParseStep on_network(ParseState &state) {
    state.options->network = true;
    return kGoOn;
}

ParseStep on_interactive(ParseState &state) {
    state.options->interactive = true;
    return kGoOn;
}

ParseStep on_help(ParseState &state) {
    print_usage(state.argv);
    return {true, 0};
}

ParseStep on_version(ParseState &) {
    tool_print_version("tarvobackup2");
    return {true, 0};
}

template <int Bit>
ParseStep on_set_bit(ParseState &state) {
    state.options->command_flags |= Bit;
    return kGoOn;
}

ParseStep on_reboot(ParseState &state) {
    state.options->command_flags &= ~CMD_FLAG_RESTORE_NO_REBOOT;
    return kGoOn;
}

ParseStep on_password(ParseState &state) {
    char *value = state.take_next();
    if (!value) {
        return usage_error(state, nullptr);
    }
    take_password(state.options->password, value);
    return kGoOn;
}

}  // namespace

ParseStep parse_cloud_arguments(ParseState &state) {
    const char *value = state.take_next();
    if (!value) {
        return usage_error(state,
                           "No argument given for cloud command; requires either 'on' or 'off'.");
    }
    if (strcmp(value, "on") == 0) {
        state.options->command_flags |= CMD_FLAG_CLOUD_ENABLE;
    } else if (strcmp(value, "off") == 0) {
        state.options->command_flags |= CMD_FLAG_CLOUD_DISABLE;
    } else {
        printf("Invalid argument '%s' for cloud command; must be either 'on' or 'off'.\n", value);
    }
    return kGoOn;
}

ParseStep parse_encryption_arguments(ParseState &state) {
    SessionOptions &options = *state.options;
    const char *switch_word = state.take_next();
    if (!switch_word) {
        return usage_error(
            state, "No argument given for encryption command; requires either 'on' or 'off'.");
    }
    int bit = 0;
    if (strcmp(switch_word, "on") == 0) {
        bit = CMD_FLAG_ENCRYPTION_ENABLE;
    } else if (strcmp(switch_word, "off") == 0) {
        bit = CMD_FLAG_ENCRYPTION_DISABLE;
    } else {
        printf("Invalid argument '%s' for encryption command; must be either 'on' or 'off'.\n",
               switch_word);
    }
    options.command_flags |= bit;
    options.password.reset();
    options.new_password.reset();
    // A further argument is always the password, even when the switch word
    // was wrong (it is dropped then, and wiped all the same).
    char *password = state.take_next();
    SecretString dropped;
    take_password(bit == CMD_FLAG_ENCRYPTION_ENABLE    ? options.new_password
                  : bit == CMD_FLAG_ENCRYPTION_DISABLE ? options.password
                                                       : dropped,
                  password);
    return kGoOn;
}

ParseStep parse_changepw_arguments(ParseState &state) {
    SessionOptions &options = *state.options;
    options.command_flags |= CMD_FLAG_ENCRYPTION_CHANGEPW;
    options.password.reset();
    options.new_password.reset();
    if (!state.has_next()) {
        return kGoOn;
    }
    take_password(options.password, state.take_next());
    char *new_password = state.take_next();
    if (!new_password) {
        return usage_error(state,
                           "Old and new passwords have to be passed as arguments for the changepw "
                           "command");
    }
    take_password(options.new_password, new_password);
    return kGoOn;
}

namespace {

ParseStep on_directory(ParseState &state) {
    SessionOptions &options = *state.options;
    if (options.has_directory) {
        return usage_error(state, nullptr);
    }
    options.has_directory = true;
    options.backup_directory = state.current();
    return kGoOn;
}

struct WordRow {
    const char *word;
    ParseStep (*apply)(ParseState &state);
};

// The option words; the command words are the command table's.
constexpr WordRow kWords[] = {
    {"-d", on_debug},
    {"--debug", on_debug},
    {"-u", on_udid_value<&SessionOptions::udid>},
    {"--udid", on_udid_value<&SessionOptions::udid>},
    {"-s", on_udid_value<&SessionOptions::source_udid>},
    {"--source", on_udid_value<&SessionOptions::source_udid>},
    {"-n", on_network},
    {"--network", on_network},
    {"-i", on_interactive},
    {"--interactive", on_interactive},
    {"-h", on_help},
    {"--help", on_help},
    {"-v", on_version},
    {"--version", on_version},
    {"--system", on_set_bit<CMD_FLAG_RESTORE_SYSTEM_FILES>},
    {"--reboot", on_reboot},
    {"--no-reboot", on_set_bit<CMD_FLAG_RESTORE_NO_REBOOT>},
    {"--copy", on_set_bit<CMD_FLAG_RESTORE_COPY_BACKUP>},
    {"--settings", on_set_bit<CMD_FLAG_RESTORE_SETTINGS>},
    {"--remove", on_set_bit<CMD_FLAG_RESTORE_REMOVE_ITEMS>},
    {"--skip-apps", on_set_bit<CMD_FLAG_RESTORE_SKIP_APPS>},
    {"--password", on_password},
    {"--full", on_set_bit<CMD_FLAG_FORCE_FULL_BACKUP>},
};

// The last command word wins; its own arguments follow it.
ParseStep on_command(ParseState &state, const CommandRow &command) {
    state.options->command_code = command.code;
    if (command.quiet) {
        verbose = false;
    }
    return command.parse_arguments ? command.parse_arguments(state) : kGoOn;
}

ParseStep apply_argument(ParseState &state) {
    for (const WordRow &row : kWords) {
        if (strcmp(state.current(), row.word) == 0) {
            return row.apply(state);
        }
    }
    if (const CommandRow *command = command_by_word(state.current())) {
        return on_command(state, *command);
    }
    return on_directory(state);
}

}  // namespace

int parse_command_line(int argc, char **argv, SessionOptions *options, int *exit_status) {
    options->argv = argv;
    ParseState state = {argc, argv, 1, options};
    if (argc < 2) {
        *exit_status = usage_error(state, "No command specified.").exit_status;
        return 0;
    }
    for (; state.index < argc; ++state.index) {
        ParseStep step = apply_argument(state);
        if (step.stop) {
            *exit_status = step.exit_status;
            return 0;
        }
    }
    if (options->command_code == CMD_NONE) {
        *exit_status = usage_error(state, "No command specified.").exit_status;
        return 0;
    }
    return 1;
}

void print_usage(char **argv) {
    const char *program = argv && argv[0] ? tool_base_name(argv[0]) : "tarvobackup2";
    printf("Usage: %s [OPTIONS] CMD [CMDOPTIONS] DIRECTORY\n", program);
    printf(
        "\n"
        "Create or restore backup from the current or specified directory.\n"
        "\n"
        "CMD:\n"
        "  backup\tcreate backup for the device\n"
        "    --full\t\tforce full backup from device.\n"
        "  restore\trestore last backup to the device\n"
        "    --system\t\trestore system files, too.\n"
        "    --no-reboot\t\tdo NOT reboot the device when done (default: yes).\n"
        "    --copy\t\tcreate a copy of backup folder before restoring.\n"
        "    --settings\t\trestore device settings from the backup.\n"
        "    --remove\t\tremove items which are not being restored\n"
        "    --skip-apps\t\tdo not trigger re-installation of apps after restore\n"
        "    --password PWD\tsupply the password of the source backup\n"
        "  info\t\tshow details about last completed backup of device\n"
        "  list\t\tlist files of last completed backup in CSV format\n"
        "  unback\tunpack a completed backup in DIRECTORY/_unback_/\n"
        "  encryption on|off [PWD]\tenable or disable backup encryption\n"
        "    NOTE: password will be requested in interactive mode if omitted\n"
        "  changepw [OLD NEW]  change backup password on target device\n"
        "    NOTE: passwords will be requested in interactive mode if omitted\n"
        "  cloud on|off\tenable or disable cloud use (requires iCloud account)\n"
        "\n"
        "OPTIONS:\n"
        "  -u, --udid UDID\ttarget specific device by UDID\n"
        "  -s, --source UDID\tuse backup data from device specified by UDID\n"
        "  -n, --network\t\tconnect to network device\n"
        "  -i, --interactive\trequest passwords interactively\n"
        "  -d, --debug\t\tenable communication debugging\n"
        "  -h, --help\t\tprints usage information\n"
        "  -v, --version\t\tprints version information\n"
        "\n");
    tool_print_addresses(stdout);
}
