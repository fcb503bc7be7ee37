// The arguments that follow a command's word, and what every parser shares:
// the usage error and the taking of a password from the command line.
#include "command_arguments.h"

#include <stdio.h>
#include <string.h>

#include "usage_text.h"

ParseStep usage_error(ArgumentCursor &state, const char *message) {
    if (message) {
        printf("%s\n", message);
    }
    print_usage(state.argv);
    return {true, -1};
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

ParseStep parse_cloud_arguments(ArgumentCursor &state) {
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

ParseStep parse_encryption_arguments(ArgumentCursor &state) {
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

ParseStep parse_changepw_arguments(ArgumentCursor &state) {
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
