// tarvobackup2: creates, restores and inspects device backups. main parses
// the command line and hands the session over; the logic lives in the
// tarvobackup2 library.
#include "command_line.h"
#include "run.h"
#include "secrets.h"
#include "signals_and_notifications.h"

int main(int argc, char *argv[]) {
    install_signal_handlers();
    SessionOptions options;
    int exit_status = 0;
    if (!parse_command_line(argc, argv, &options, &exit_status)) {
        return exit_status;
    }
    // A password from the command line is held from here to the end (the
    // terminal entry makes the process private itself). Done here rather
    // than in the parser, which the tests run inside their own process.
    if (options.password || options.new_password) {
        tarvo::keep_process_memory_private();
    }
    return run_session(std::move(options));
}
