// tarvobackup2: creates, restores and inspects device backups. main parses
// the command line and hands the session over; the logic lives in the
// tarvobackup2 library.
#include "command_line.h"
#include "run.h"
#include "signals_and_notifications.h"

int main(int argc, char *argv[]) {
    install_signal_handlers();
    SessionOptions options;
    int exit_status = 0;
    if (!parse_command_line(argc, argv, &options, &exit_status)) {
        return exit_status;
    }
    return run_session(std::move(options));
}
