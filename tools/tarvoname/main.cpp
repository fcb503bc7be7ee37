// tarvoname: prints the device's name, or sets it to the one given.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "device_handles.h"
#include "lockdown_hints.h"
#include "tarvo.h"
#include "tool_usage.h"

namespace {

void print_usage(char **argv, int to_error) {
    FILE *out = to_error ? stderr : stdout;
    fprintf(out, "Usage: %s [OPTIONS] [NAME]\n", tool_base_name(argv[0]));
    fprintf(out,
            "\n"
            "Display the device name or set it to NAME if specified.\n"
            "\n"
            "OPTIONS:\n"
            "  -u, --udid UDID       target specific device by UDID\n"
            "  -n, --network         connect to network device\n"
            "  -d, --debug           enable communication debugging\n"
            "  -h, --help            print usage information\n"
            "  -v, --version         print version information\n"
            "\n");
    tool_print_addresses(out);
}

int show_name(lockdownd_client_t client) {
    char *name = nullptr;
    lockdownd_error_t ret = lockdownd_get_device_name(client, &name);
    if (!name) {
        fprintf(stderr, "ERROR: Could not get device name, lockdown error %d\n", ret);
        return -1;
    }
    printf("%s\n", name);
    free(name);
    return 0;
}

int set_name(lockdownd_client_t client, const char *name) {
    lockdownd_error_t ret =
        lockdownd_set_value(client, nullptr, "DeviceName", plist_new_string(name));
    if (ret != LOCKDOWN_E_SUCCESS) {
        fprintf(stderr, "ERROR: Could not set device name, lockdown error %d\n", ret);
        return -1;
    }
    printf("device name set to '%s'\n", name);
    return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
    static const struct option longopts[] = {
        {"udid", required_argument, nullptr, 'u'}, {"network", no_argument, nullptr, 'n'},
        {"debug", no_argument, nullptr, 'd'},      {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},    {nullptr, 0, nullptr, 0}};

    signal(SIGPIPE, SIG_IGN);

    const char *udid = nullptr;
    bool use_network = false;

    // Each tool's option loop stands alone: their exit statuses and usage calls differ.
    int c;
    while ((c = getopt_long(argc, argv, "du:hnv", longopts, nullptr)) != -1) {
        switch (c) {
            case 'd':
                tarvo_set_debug_level(1);
                break;
            case 'u':
                if (!*optarg) {
                    fprintf(stderr, "ERROR: UDID must not be empty!\n");
                    print_usage(argv, 1);
                    return 2;
                }
                udid = optarg;
                break;
            case 'n':
                use_network = true;
                break;
            case 'h':
                print_usage(argv, 0);
                return 0;
            case 'v':
                tool_print_version("tarvoname");
                return 0;
            default:
                print_usage(argv, 1);
                return 2;
        }
    }
    const int operand_count = argc - optind;
    if (operand_count > 1) {
        print_usage(argv, 1);
        return 2;
    }

    const DeviceHandle device = open_device(
        udid, use_network,
        {stderr, "ERROR: No device found with udid %s.\n", "ERROR: No device found.\n"});
    if (!device) {
        return -1;
    }

    lockdownd_client_t raw_client = nullptr;
    lockdownd_error_t ldret =
        lockdownd_client_new_with_handshake(device.get(), &raw_client, "tarvoname");
    const LockdownClient client(raw_client);
    if (ldret != LOCKDOWN_E_SUCCESS) {
        fprintf(stderr, "ERROR: Could not connect to lockdownd, error code %d\n", ldret);
        explain_lockdown_error(ldret, udid, use_network);
        return -1;
    }

    return operand_count == 0 ? show_name(client.get()) : set_name(client.get(), argv[optind]);
}
