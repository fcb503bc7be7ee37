// The hand-written argument parser and the usage text. Each option word is
// a row of one table, each command word a row of the command table; the
// first row whose word equals the argument is applied.
#include "command_line.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "command_arguments.h"
#include "command_table.h"
#include "secrets.h"
#include "signals_and_notifications.h"
#include "tarvo.h"
#include "tool_usage.h"

namespace {

using ParseState = ArgumentCursor;

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

ParseStep on_json(ParseState &) {
    json_output = true;
    return kGoOn;
}

// The descriptor is checked now, while a mistake can still be a usage
// error; the feed starts with the session.
ParseStep on_progress_fd(ParseState &state) {
    const char *value = state.take_next();
    if (!value || value[0] < '0' || value[0] > '9') {
        return usage_error(state, "ERROR: --progress-fd needs a file descriptor number.");
    }
    char *end = nullptr;
    errno = 0;
    const long fd = strtol(value, &end, 10);
    const int flags =
        errno == 0 && *end == '\0' && fd <= INT_MAX ? fcntl(static_cast<int>(fd), F_GETFL) : -1;
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        fprintf(stderr, "ERROR: --progress-fd %s is not a descriptor open for writing.\n", value);
        return {true, -1};
    }
    state.options->progress_fd = static_cast<int>(fd);
    return kGoOn;
}

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
    {"--json", on_json},
    {"--progress-fd", on_progress_fd},
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
    if (json_output && options->command_code != CMD_INFO && options->command_code != CMD_LIST) {
        fprintf(stderr, "ERROR: --json works with the commands info and list only.\n");
        *exit_status = -1;
        return 0;
    }
    return 1;
}
