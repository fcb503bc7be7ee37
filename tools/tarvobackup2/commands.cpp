// The commands, one row each: the word that names them in messages and
// their handler.
#include "commands.h"

#include <stdio.h>

#include "message_loop.h"
#include "signals_and_notifications.h"

namespace {

struct BackupQuery {
    const char *request;  // what the backup service is asked for
    const char *subject;  // how the messages name it
};

int run_backup_query(Session &session, const BackupQuery &query) {
    print_info("Requesting backup %s from device...\n", query.subject);
    const int sent = mobilebackup2_send_request(session.backup_service, query.request,
                                                session.udid(), session.source_udid(), nullptr);
    if (sent != MOBILEBACKUP2_E_SUCCESS) {
        printf("Error requesting backup %s from device, error code %d\n", query.subject, sent);
        return -1;
    }
    Mb2LoopResult result;
    mb2_message_loop(session.backup_service, session.backup_directory(), &result);
    session.loop_ran = true;
    if (quit_flag.load(std::memory_order_relaxed) == 0) {
        print_info("Operation Successful.\n");
    } else {
        print_info("Operation Aborted.\n");
    }
    return result.operation_result;
}

int run_info(Session &session) {
    return run_backup_query(session, {"Info", "info"});
}

int run_list(Session &session) {
    return run_backup_query(session, {"List", "list"});
}

const char *command_word(const Session &session) {
    switch (session.command()) {
        case CMD_BACKUP:
            return "backup";
        case CMD_RESTORE:
            return "restore";
        case CMD_UNBACK:
            return "unback";
        case CMD_CHANGEPW:
            return (session.options.command_flags & CMD_FLAG_ENCRYPTION_CHANGEPW) ? "changepw"
                                                                                  : "encryption";
        case CMD_CLOUD:
            return "cloud";
        default:
            return "requested";
    }
}

// Commands whose steps this build does not carry yet end here, before any
// request reaches the device.
int run_unavailable(Session &session) {
    fprintf(stderr, "ERROR: The %s command is not available in this build.\n",
            command_word(session));
    return -1;
}

int run_nothing(Session &) {
    return -1;
}

struct CommandRow {
    int code;
    int (*run)(Session &session);
};

constexpr CommandRow kCommands[] = {
    {CMD_BACKUP, run_unavailable}, {CMD_RESTORE, run_unavailable}, {CMD_INFO, run_info},
    {CMD_LIST, run_list},          {CMD_UNBACK, run_unavailable},  {CMD_CHANGEPW, run_unavailable},
    {CMD_LEAVE, run_nothing},      {CMD_CLOUD, run_unavailable},
};

}  // namespace

int run_command(Session &session) {
    for (const CommandRow &row : kCommands) {
        if (row.code == session.command()) {
            return row.run(session);
        }
    }
    return -1;
}
