// A run: set up, the command from the command table, clean-up; the
// progress feed, when asked for, spans the whole run.
#include "run.h"

#include "command_table.h"
#include "progress_feed.h"
#include "session.h"

namespace {

int run_command(SessionOptions options) {
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

}  // namespace

int run_session(SessionOptions options) {
    if (options.progress_fd >= 0) {
        progress_feed_start(options.progress_fd);
    }
    // The session is gone (device released, lock dropped) before the last
    // line says the run is over.
    const int status = run_command(std::move(options));
    progress_feed_end(status);
    return status;
}
