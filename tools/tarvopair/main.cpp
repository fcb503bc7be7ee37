// tarvopair: pairs the host with a device (over USB, or wirelessly with a
// PIN), validates and removes pairings, lists the paired devices and prints
// the host's identifiers.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "pairing_output.h"
#include "plist_compat.h"
#include "tarvo.h"
#include "tool_usage.h"
#include "userpref.h"

namespace {

enum class Command { Pair, Validate, Unpair, List, HostId, SystemBuid };

struct CommandRow {
    const char *name;
    Command command;
    bool allowed_wireless;
};

// Matched in this order.
const CommandRow kCommands[] = {
    {"pair", Command::Pair, true},     {"validate", Command::Validate, false},
    {"unpair", Command::Unpair, false}, {"list", Command::List, true},
    {"hostid", Command::HostId, true}, {"systembuid", Command::SystemBuid, true},
};

void print_usage(char **argv, int to_error) {
    FILE *out = to_error ? stderr : stdout;
    fprintf(out, "Usage: %s [OPTIONS] COMMAND\n", tool_base_name(argv[0]));
    fprintf(out,
            "\n"
            "Manage host pairings with devices and usbmuxd.\n"
            "\n"
            "Where COMMAND is one of:\n"
            "  systembuid   print the system buid of the usbmuxd host\n"
            "  hostid       print the host id for target device\n"
            "  pair         pair device with this host\n"
            "  validate     validate if device is paired with this host\n"
            "  unpair       unpair device with this host\n"
            "  list         list devices paired with this host\n"
            "\n"
            "The following OPTIONS are accepted:\n"
            "  -u, --udid UDID  target specific device by UDID\n"
            "  -w, --wireless   perform wireless pairing (see NOTE)\n"
            "  -n, --network    connect to network device (see NOTE)\n"
            "  -d, --debug      enable communication debugging\n"
            "  -h, --help       prints usage information\n"
            "  -v, --version    prints version information\n"
            "\n"
            "NOTE: Pairing over network (wireless pairing) is only supported by Apple TV\n"
            "devices. To perform a wireless pairing, you need to use the -w command line\n"
            "switch. Make sure to put the device into pairing mode first by opening\n"
            "Settings > Remotes and Devices > Remote App and Devices.\n"
            "\n");
    tool_print_addresses(out);
}

// Host information is a few hundred bytes; this leaves room for any.
constexpr off_t kMaxHostInfoFile = 1024 * 1024;

// A regular file of at most kMaxHostInfoFile bytes: anything else (a FIFO
// or a device would block or never end) is not read at all.
bool is_readable_host_info_file(const char *path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    const bool fits = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxHostInfoFile;
    close(fd);
    return fits;
}

// Parses --hostinfo into *host_info. Returns false after printing its error.
bool parse_host_info(const char *arg, plist_t *host_info) {
    if (arg[0] == '@') {
        plist_t read = nullptr;
        if (is_readable_host_info_file(arg + 1)) {
            plist_read_from_file(arg + 1, &read, nullptr);
        }
        if (!read) {
            fprintf(stderr, "ERROR: Could not read from file '%s'\n", arg + 1);
            return false;
        }
        plist_free(*host_info);
        *host_info = read;
    } else if (arg[0] == '{') {
        plist_t parsed = nullptr;
        if (plist_from_json(arg, static_cast<uint32_t>(strlen(arg)), &parsed) != 0 || !parsed) {
            fprintf(stderr,
                    "ERROR: --hostinfo argument not valid. Make sure it is a JSON dictionary.\n");
            return false;
        }
        plist_free(*host_info);
        *host_info = parsed;
    } else if (arg[0] == '\0') {
        fprintf(stderr, "ERROR: --hostinfo argument must not be empty!\n");
        return false;
    } else {
        fprintf(stderr, "ERROR: --hostinfo argument not valid. To specify a path prefix with '@'\n");
        return false;
    }
    return true;
}

int print_system_buid() {
    char *buid = nullptr;
    if (userpref_read_system_buid(&buid) != 0 || !buid) {
        fprintf(stderr, "ERROR: Could not read the system BUID from usbmuxd.\n");
        free(buid);
        return 1;
    }
    printf("%s\n", buid);
    free(buid);
    return 0;
}

int print_paired_udids() {
    char **udids = nullptr;
    unsigned int count = 0;
    userpref_get_paired_udids(&udids, &count);
    for (unsigned int i = 0; i < count; i++) {
        printf("%s\n", udids[i]);
        free(udids[i]);
    }
    free(udids);
    return 0;
}

int print_host_id() {
    plist_t record = nullptr;
    char *host_id = nullptr;
    if (userpref_read_pair_record(udid, &record) == 0 && record) {
        pair_record_get_host_id(record, &host_id);
    }
    plist_free(record);
    if (!host_id) {
        fprintf(stderr, "ERROR: No pair record with a HostID for device %s on this host.\n", udid);
        return 1;
    }
    printf("%s\n", host_id);
    free(host_id);
    return 0;
}

lockdownd_error_t run_lockdown_command(Command command, bool wireless, tarvo_t device,
                                       lockdownd_client_t *client, plist_t host_info) {
    switch (command) {
        case Command::Validate:
            lockdownd_client_free(*client);
            *client = nullptr;
            return lockdownd_client_new_with_handshake(device, client, "tarvopair");
        case Command::Unpair:
            return lockdownd_unpair(*client, nullptr);
        case Command::Pair:
            if (wireless) {
                lockdownd_error_t ret =
                    lockdownd_cu_pairing_create(*client, pairing_cb, nullptr, host_info, nullptr);
                return ret == LOCKDOWN_E_SUCCESS ? lockdownd_pair_cu(*client) : ret;
            }
            return lockdownd_pair(*client, nullptr);
        default:
            return LOCKDOWN_E_INVALID_ARG;
    }
}

void print_success(Command command) {
    const char *what = command == Command::Pair       ? "Paired with"
                       : command == Command::Validate ? "Validated pairing with"
                                                      : "Unpaired with";
    printf("SUCCESS: %s device %s\n", what, udid);
}

// Opens the device and runs one of the device commands; returns the status.
int run_device_command(Command command, bool wireless, bool use_network, plist_t host_info) {
    tarvo_t device = nullptr;
    lockdownd_client_t client = nullptr;
    int status = 1;

    if (tarvo_new_with_options(&device, udid,
                               use_network ? TARVO_LOOKUP_NETWORK : TARVO_LOOKUP_USBMUX) != 0) {
        if (udid) {
            printf("No device found with udid %s.\n", udid);
        } else {
            printf("No device found.\n");
        }
        return 1;
    }
    if (!udid) {
        tarvo_error_t ret = tarvo_get_udid(device, &udid);
        if (ret != TARVO_E_SUCCESS) {
            printf("ERROR: Could not get device udid, error code %d\n", ret);
            tarvo_free(device);
            return 1;
        }
    }

    if (command == Command::HostId) {
        status = print_host_id();
        tarvo_free(device);
        return status;
    }

    lockdownd_error_t ret = lockdownd_client_new(device, &client, "tarvopair");
    if (ret != LOCKDOWN_E_SUCCESS) {
        printf("ERROR: Could not connect to lockdownd, error code %d\n", ret);
    } else {
        char *type = nullptr;
        ret = lockdownd_query_type(client, &type);
        if (ret != LOCKDOWN_E_SUCCESS) {
            printf("QueryType failed, error code %d\n", ret);
        } else {
            if (strcmp(type, "com.apple.mobile.lockdown") != 0) {
                printf("WARNING: QueryType request returned '%s'\n", type);
            }
            ret = run_lockdown_command(command, wireless, device, &client, host_info);
            if (ret == LOCKDOWN_E_SUCCESS) {
                print_success(command);
                status = 0;
            } else {
                print_error_message(ret);
            }
        }
        free(type);
    }
    lockdownd_client_free(client);
    tarvo_free(device);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    static const struct option longopts[] = {
        {"help", no_argument, nullptr, 'h'},   {"udid", required_argument, nullptr, 'u'},
        {"wireless", no_argument, nullptr, 'w'}, {"network", no_argument, nullptr, 'n'},
        {"hostinfo", required_argument, nullptr, 1}, {"debug", no_argument, nullptr, 'd'},
        {"version", no_argument, nullptr, 'v'}, {nullptr, 0, nullptr, 0}};

    bool wireless = false;
    bool use_network = false;
    plist_t host_info = nullptr;
    int status = 0;

    int c;
    while ((c = getopt_long(argc, argv, "hu:wndv", longopts, nullptr)) != -1) {
        switch (c) {
            case 'd':
                tarvo_set_debug_level(1);
                break;
            case 'u':
                if (!*optarg) {
                    fprintf(stderr, "ERROR: UDID must not be empty!\n");
                    print_usage(argv, 1);
                    status = 1;
                    goto cleanup;
                }
                free(udid);
                udid = strdup(optarg);
                break;
            case 'w':
                wireless = true;
                break;
            case 'n':
                use_network = true;
                break;
            case 1:
                if (!parse_host_info(optarg, &host_info)) {
                    status = 1;
                    goto cleanup;
                }
                break;
            case 'h':
                print_usage(argv, 0);
                exit(0);
            case 'v':
                tool_print_version("tarvopair");
                goto cleanup;
            default:
                print_usage(argv, 1);
                status = 1;
                goto cleanup;
        }
    }

    signal(SIGPIPE, SIG_IGN);

    if (optind >= argc) {
        fprintf(stderr, "ERROR: You need to specify a COMMAND!\n");
        print_usage(argv, 1);
        status = 1;
        goto cleanup;
    }
    if (wireless && use_network) {
        fprintf(stderr, "ERROR: You cannot use -w and -n together.\n");
        print_usage(argv, 1);
        status = 1;
        goto cleanup;
    }

    {
        const CommandRow *row = nullptr;
        for (const CommandRow &candidate : kCommands) {
            if (strcmp(argv[optind], candidate.name) == 0) {
                row = &candidate;
                break;
            }
        }
        if (!row) {
            fprintf(stderr, "ERROR: Invalid command '%s' specified\n", argv[optind]);
            print_usage(argv, 1);
            status = 1;
            goto cleanup;
        }
        if (wireless) {
            if (!row->allowed_wireless) {
                fprintf(stderr, "ERROR: Command '%s' is not supported with -w\n", argv[optind]);
                print_usage(argv, 1);
                status = 1;
                goto cleanup;
            }
            use_network = true;
        }

        switch (row->command) {
            case Command::SystemBuid:
                status = print_system_buid();
                break;
            case Command::List:
                status = print_paired_udids();
                break;
            default:
                status = run_device_command(row->command, wireless, use_network, host_info);
                break;
        }
    }

cleanup:
    free(udid);
    udid = nullptr;
    plist_free(host_info);
    return status;
}
