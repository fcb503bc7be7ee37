// A run: set up, the command from the command table, clean-up.
#include "run.h"

#include "command_table.h"
#include "session.h"

int run_session(SessionOptions options) {
    Session session(std::move(options));
    if (!set_up_session(session)) {
        return -1;
    }
    // A command that refused to start (code 6) has no row: straight to
    // clean-up with -1.
    const CommandRow *command = command_by_code(session.command());
    session.exit_status = command ? command->run(session) : -1;
    return session.exit_status;
}
