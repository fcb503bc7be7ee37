// tarvopair: pairs the host with a device (over USB, or wirelessly with a
// PIN), validates and removes pairings, lists the paired devices and prints
// the host's identifiers.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>

#include "device_handles.h"
#include "owners.h"
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
    {"pair", Command::Pair, true},      {"validate", Command::Validate, false},
    {"unpair", Command::Unpair, false}, {"list", Command::List, true},
    {"hostid", Command::HostId, true},  {"systembuid", Command::SystemBuid, true},
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
bool parse_host_info(const char *arg, PlistPtr *host_info) {
    if (arg[0] == '@') {
        plist_t read = nullptr;
        if (is_readable_host_info_file(arg + 1)) {
            plist_read_from_file(arg + 1, &read, nullptr);
        }
        if (!read) {
            fprintf(stderr, "ERROR: Could not read from file '%s'\n", arg + 1);
            return false;
        }
        host_info->reset(read);
    } else if (arg[0] == '{') {
        plist_t parsed = nullptr;
        if (plist_from_json(arg, static_cast<uint32_t>(strlen(arg)), &parsed) != 0 || !parsed) {
            fprintf(stderr,
                    "ERROR: --hostinfo argument not valid. Make sure it is a JSON dictionary.\n");
            return false;
        }
        host_info->reset(parsed);
    } else if (arg[0] == '\0') {
        fprintf(stderr, "ERROR: --hostinfo argument must not be empty!\n");
        return false;
    } else {
        fprintf(stderr,
                "ERROR: --hostinfo argument not valid. To specify a path prefix with '@'\n");
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

// An empty list is also what a folder that cannot be read gives; a missing
// folder only means no device was ever paired.
void report_unreadable_record_folder() {
    const char *folder = userpref_get_config_dir();
    if (!folder) {
        return;
    }
    DirPtr dir(opendir(folder));
    if (!dir && errno != ENOENT) {
        fprintf(stderr, "ERROR: Could not read the pair-record folder %s: %s\n", folder,
                strerror(errno));
    }
}

// With --json: one object per pair record, with what a script may want
// to tell the records apart by.
int print_paired_devices_as_json() {
    char **udids = nullptr;
    unsigned int count = 0;
    userpref_get_paired_udids(&udids, &count);
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (unsigned int i = 0; i < count; i++) {
        nlohmann::ordered_json device = {{"udid", udids[i]}};
        plist_t raw_record = nullptr;
        if (userpref_read_pair_record(udids[i], &raw_record) == 0) {
            const PlistPtr record(raw_record);
            char *host_id = nullptr;
            pair_record_get_host_id(record.get(), &host_id);
            device["host_id"] = host_id ? nlohmann::ordered_json(host_id) : nullptr;
            free(host_id);
        }
        devices.push_back(std::move(device));
        free(udids[i]);
    }
    free(udids);
    printf("%s\n",
           devices.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    report_unreadable_record_folder();
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
    report_unreadable_record_folder();
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
                                       LockdownClient *client, plist_t host_info) {
    switch (command) {
        case Command::Validate: {
            client->reset();
            lockdownd_client_t validated = nullptr;
            const lockdownd_error_t ret =
                lockdownd_client_new_with_handshake(device, &validated, "tarvopair");
            client->reset(validated);
            return ret;
        }
        case Command::Unpair:
            return lockdownd_unpair(client->get(), nullptr);
        case Command::Pair:
            if (wireless) {
                lockdownd_error_t ret = lockdownd_cu_pairing_create(client->get(), pairing_cb,
                                                                    nullptr, host_info, nullptr);
                return ret == LOCKDOWN_E_SUCCESS ? lockdownd_pair_cu(client->get()) : ret;
            }
            return lockdownd_pair(client->get(), nullptr);
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
    const DeviceHandle device = open_device(
        udid, use_network, {stdout, "No device found with udid %s.\n", "No device found.\n"});
    if (!device) {
        return 1;
    }
    if (!udid) {
        tarvo_error_t ret = tarvo_get_udid(device.get(), &udid);
        if (ret != TARVO_E_SUCCESS) {
            printf("ERROR: Could not get device udid, error code %d\n", ret);
            return 1;
        }
    }

    if (command == Command::HostId) {
        return print_host_id();
    }

    lockdownd_client_t raw_client = nullptr;
    lockdownd_error_t ret = lockdownd_client_new(device.get(), &raw_client, "tarvopair");
    LockdownClient client(raw_client);
    if (ret != LOCKDOWN_E_SUCCESS) {
        printf("ERROR: Could not connect to lockdownd, error code %d\n", ret);
        return 1;
    }
    char *raw_type = nullptr;
    ret = lockdownd_query_type(client.get(), &raw_type);
    const CString type(raw_type);
    if (ret != LOCKDOWN_E_SUCCESS) {
        printf("QueryType failed, error code %d\n", ret);
        return 1;
    }
    if (strcmp(type.get(), "com.apple.mobile.lockdown") != 0) {
        printf("WARNING: QueryType request returned '%s'\n", type.get());
    }
    ret = run_lockdown_command(command, wireless, device.get(), &client, host_info);
    if (ret != LOCKDOWN_E_SUCCESS) {
        print_error_message(ret);
        return 1;
    }
    print_success(command);
    return 0;
}

int run(int argc, char **argv) {
    static const struct option longopts[] = {{"help", no_argument, nullptr, 'h'},
                                             {"udid", required_argument, nullptr, 'u'},
                                             {"wireless", no_argument, nullptr, 'w'},
                                             {"network", no_argument, nullptr, 'n'},
                                             {"hostinfo", required_argument, nullptr, 1},
                                             {"debug", no_argument, nullptr, 'd'},
                                             {"version", no_argument, nullptr, 'v'},
                                             {"json", no_argument, nullptr, 2},
                                             {nullptr, 0, nullptr, 0}};

    bool wireless = false;
    bool json = false;
    bool use_network = false;
    PlistPtr host_info;

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
                    return 1;
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
                    return 1;
                }
                break;
            case 2:
                json = true;
                break;
            case 'h':
                print_usage(argv, 0);
                return 0;
            case 'v':
                tool_print_version("tarvopair");
                return 0;
            default:
                print_usage(argv, 1);
                return 1;
        }
    }

    signal(SIGPIPE, SIG_IGN);

    if (optind >= argc) {
        fprintf(stderr, "ERROR: You need to specify a COMMAND!\n");
        print_usage(argv, 1);
        return 1;
    }
    if (wireless && use_network) {
        fprintf(stderr, "ERROR: You cannot use -w and -n together.\n");
        print_usage(argv, 1);
        return 1;
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
            return 1;
        }
        if (json && row->command != Command::List) {
            fprintf(stderr, "ERROR: --json works with the command list only.\n");
            return 1;
        }
        if (wireless) {
            if (!row->allowed_wireless) {
                fprintf(stderr, "ERROR: Command '%s' is not supported with -w\n", argv[optind]);
                print_usage(argv, 1);
                return 1;
            }
            use_network = true;
        }

        switch (row->command) {
            case Command::SystemBuid:
                return print_system_buid();
            case Command::List:
                return json ? print_paired_devices_as_json() : print_paired_udids();
            default:
                return run_device_command(row->command, wireless, use_network, host_info.get());
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    const int status = run(argc, argv);
    free(udid);
    udid = nullptr;
    return status;
}
