// Parsing tarvobrowse's command line.
#include "command_line.h"

#include <getopt.h>
#include <stdlib.h>
#include <string.h>

#include "commands.h"
#include "tool_usage.h"

namespace browse {
namespace {

enum LongOnly { kDomain = 256, kJson, kPasswordFd };

const struct option kOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"domain", required_argument, nullptr, kDomain},
    {"json", no_argument, nullptr, kJson},
    {"password-fd", required_argument, nullptr, kPasswordFd},
    {nullptr, 0, nullptr, 0},
};

bool usage_error(const char *text, const char *detail, int *exit_status) {
    fprintf(stderr, "tarvobrowse: %s%s\nTry 'tarvobrowse -h' for help.\n", text, detail);
    *exit_status = kExitUsage;
    return false;
}

bool parse_descriptor(const char *text, int *fd) {
    char *end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 1 << 20) {
        return false;
    }
    *fd = static_cast<int>(value);
    return true;
}

bool check_operands(const CommandRow &row, const BrowseOptions &options, int *exit_status) {
    const size_t extra = options.operands.empty() ? 0 : options.operands.size() - 1;
    if (options.operands.empty()) {
        return usage_error("missing BACKUP folder for ", row.name, exit_status);
    }
    if (extra < row.min_operands || extra > row.max_operands) {
        return usage_error("wrong number of operands; usage: tarvobrowse ", row.synopsis,
                           exit_status);
    }
    if ((options.filter.domain || options.filter.pattern) && strcmp(row.name, "cat") == 0) {
        return usage_error("--domain does not go with ", row.name, exit_status);
    }
    if (options.json && strcmp(row.name, "list") != 0) {
        return usage_error("--json goes only with list", "", exit_status);
    }
    return true;
}

}  // namespace

void print_usage(FILE *stream) {
    fprintf(stream,
            "Usage: tarvobrowse [OPTIONS] COMMAND BACKUP [OPERANDS]\n\n"
            "Reads a backup folder (DIR/<UDID>) as the device wrote it, plain or\n"
            "encrypted, without the device. The folder is never written to.\n\n"
            "Commands:\n");
    for (const CommandRow &row : command_table()) {
        fprintf(stream, "  %s\n      %s\n", row.synopsis, row.summary);
    }
    fprintf(stream,
            "\nPATTERN is a shell pattern matched against the relative path or\n"
            "DOMAIN/PATH, e.g. 'Library/*' or 'MediaDomain/DCIM/*'.\n\n"
            "Options:\n"
            "  --domain D          only the entries of domain D\n"
            "  --json              list as a JSON array\n"
            "  --password-fd N     read an encrypted backup's password from descriptor N\n"
            "                      (else it is asked for at the terminal, without echo)\n"
            "  -h, --help          this text\n"
            "  -v, --version       the version\n\n"
            "Exit status: 0 done; 1 error (nothing done: no backup, wrong password,\n"
            "unreadable manifest, no output folder); 2 usage error; 3 done, but some\n"
            "entries were refused or failed, each named on standard error.\n\n");
    tool_print_addresses(stream);
}

bool parse_command_line(int argc, char *argv[], BrowseOptions *options, int *exit_status) {
    *options = BrowseOptions{};
    optind = 0;  // a fresh scan: the tests parse several command lines in one process
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":hv", kOptions, nullptr)) != -1) {
        switch (c) {
            case 'h':
                print_usage(stdout);
                *exit_status = kExitOk;
                return false;
            case 'v':
                tool_print_version("tarvobrowse");
                *exit_status = kExitOk;
                return false;
            case kDomain:
                options->filter.domain = optarg;
                break;
            case kJson:
                options->json = true;
                break;
            case kPasswordFd:
                if (!parse_descriptor(optarg, &options->password.fd)) {
                    return usage_error("--password-fd needs a descriptor number, not ", optarg,
                                       exit_status);
                }
                break;
            case ':':
                return usage_error("an option needs a value: ", argv[optind - 1], exit_status);
            default:
                return usage_error("unknown option ", argv[optind - 1], exit_status);
        }
    }
    if (optind >= argc) {
        return usage_error("missing COMMAND", "", exit_status);
    }
    const CommandRow *row = find_command(argv[optind]);
    if (!row) {
        return usage_error("unknown command ", argv[optind], exit_status);
    }
    options->command = row->name;
    options->operands.assign(argv + optind + 1, argv + argc);
    // The pattern is the operand after the ones the command must have.
    if (row->max_operands > row->min_operands &&
        options->operands.size() == row->max_operands + 1) {
        options->filter.pattern = options->operands.back();
    }
    return check_operands(*row, *options, exit_status);
}

}  // namespace browse
