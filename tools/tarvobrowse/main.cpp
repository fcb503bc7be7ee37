// tarvobrowse: reads backup folders without the device. main parses the
// command line and runs the command; the work lives in tarvobrowse_core.
#include "command_line.h"
#include "commands.h"

int main(int argc, char *argv[]) {
    browse::BrowseOptions options;
    int exit_status = 0;
    if (!browse::parse_command_line(argc, argv, &options, &exit_status)) {
        return exit_status;
    }
    return browse::find_command(options.command.c_str())->run(options);
}
