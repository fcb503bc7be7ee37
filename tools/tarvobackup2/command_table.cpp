// The table of commands.
#include "command_table.h"

#include <string.h>

#include "command_arguments.h"
#include "commands.h"

namespace {

constexpr CommandRow kCommands[] = {
    {"backup", CMD_BACKUP, false, nullptr, run_backup},
    {"restore", CMD_RESTORE, false, nullptr, run_restore},
    {"info", CMD_INFO, true, nullptr, run_info},
    {"list", CMD_LIST, true, nullptr, run_list},
    {"unback", CMD_UNBACK, false, nullptr, run_unback},
    {"encryption", CMD_CHANGEPW, false, parse_encryption_arguments, run_change_password},
    {"changepw", CMD_CHANGEPW, false, parse_changepw_arguments, run_change_password},
    {"cloud", CMD_CLOUD, false, parse_cloud_arguments, run_cloud},
};

}  // namespace

const CommandRow *command_by_word(const char *word) {
    for (const CommandRow &row : kCommands) {
        if (strcmp(row.word, word) == 0) {
            return &row;
        }
    }
    return nullptr;
}

const CommandRow *command_by_code(int code) {
    for (const CommandRow &row : kCommands) {
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}
