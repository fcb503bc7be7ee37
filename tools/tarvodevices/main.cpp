// tarvodevices: the attached devices, one per line or as JSON, optionally
// after waiting for one to attach.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "device_handles.h"
#include "owners.h"
#include "plist_items.h"
#include "tarvo.h"
#include "tool_usage.h"
#include "userpref.h"

namespace {

constexpr int kDefaultWaitSeconds = 30;
// Longer waits are refused rather than taken as forever.
constexpr int kMaxWaitSeconds = 24 * 60 * 60;
constexpr int kExitUsage = 2;

struct DeviceRow {
    std::string udid;
    bool network = false;
    std::string name;
    std::string product_type;
    std::string version;
    bool paired = false;
};

void print_usage(FILE *out, const char *argv0) {
    fprintf(out, "Usage: %s [OPTIONS]\n", tool_base_name(argv0));
    fprintf(out,
            "\n"
            "List the attached devices, one per line: UDID, connection, name, product type,\n"
            "system version, and whether this host is paired with it (tab-separated).\n"
            "\n"
            "OPTIONS:\n"
            "  -n, --network         list only devices on the network\n"
            "  -U, --usb             list only devices attached over USB\n"
            "  -j, --json            print a JSON array of objects instead\n"
            "  -w, --wait            wait until a device is attached before listing\n"
            "  -t, --timeout SECONDS give up waiting after SECONDS (default %d)\n"
            "  -d, --debug           enable communication debugging\n"
            "  -h, --help            prints usage information\n"
            "  -v, --version         prints version information\n"
            "\n",
            kDefaultWaitSeconds);
    tool_print_addresses(out);
}

std::string value_of(lockdownd_client_t client, const char *key) {
    plist_t raw = nullptr;
    if (!client || lockdownd_get_value(client, nullptr, key, &raw) != LOCKDOWN_E_SUCCESS) {
        return "";
    }
    const PlistPtr node(raw);
    return tarvo::string_value(node.get()).value_or("");
}

// What a device tells without a session, so that listing never asks its
// user to trust this host.
DeviceRow describe(const std::string &udid, bool network) {
    DeviceRow row;
    row.udid = udid;
    row.network = network;
    tarvo_t raw_device = nullptr;
    if (tarvo_new_with_options(&raw_device, udid.c_str(),
                               network ? TARVO_LOOKUP_NETWORK : TARVO_LOOKUP_USBMUX) == 0) {
        const DeviceHandle device(raw_device);
        lockdownd_client_t raw_client = nullptr;
        lockdownd_client_new(device.get(), &raw_client, "tarvodevices");
        const LockdownClient client(raw_client);
        row.name = value_of(client.get(), "DeviceName");
        row.product_type = value_of(client.get(), "ProductType");
        row.version = value_of(client.get(), "ProductVersion");
    }
    plist_t record = nullptr;
    row.paired = userpref_read_pair_record(udid.c_str(), &record) == 0 && record;
    plist_free(record);
    return row;
}

// false when the daemon could not be reached (already said).
bool gather(bool usb, bool network, std::vector<DeviceRow> *rows) {
    for (const bool on_network : {false, true}) {
        if (on_network ? !network : !usb) {
            continue;
        }
        char **udids = nullptr;
        int count = 0;
        if (tarvo_list_udids(on_network ? TARVO_LOOKUP_NETWORK : TARVO_LOOKUP_USBMUX, &udids,
                             &count) != TARVO_E_SUCCESS) {
            fprintf(stderr, "ERROR: Could not list the devices.\n");
            explain_missing_device(nullptr, on_network);
            return false;
        }
        for (int i = 0; i < count; ++i) {
            rows->push_back(describe(udids[i], on_network));
        }
        tarvo_udid_list_free(udids);
    }
    return true;
}

const char *or_dash(const std::string &text) {
    return text.empty() ? "-" : text.c_str();
}

void print_lines(const std::vector<DeviceRow> &rows) {
    for (const DeviceRow &row : rows) {
        printf("%s\t%s\t%s\t%s\t%s\t%s\n", row.udid.c_str(), row.network ? "Network" : "USB",
               or_dash(row.name), or_dash(row.product_type), or_dash(row.version),
               row.paired ? "paired" : "unpaired");
    }
}

void print_json(const std::vector<DeviceRow> &rows) {
    nlohmann::json list = nlohmann::json::array();
    for (const DeviceRow &row : rows) {
        list.push_back({{"udid", row.udid},
                        {"connection", row.network ? "Network" : "USB"},
                        {"name", row.name},
                        {"product_type", row.product_type},
                        {"version", row.version},
                        {"paired", row.paired}});
    }
    printf("%s\n", list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

std::optional<int> parse_seconds(const char *text) {
    char *end = nullptr;
    const long value = strtol(text, &end, 10);
    if (!*text || *end || value < 0 || value > kMaxWaitSeconds) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

}  // namespace

int main(int argc, char **argv) {
    static const struct option longopts[] = {{"network", no_argument, nullptr, 'n'},
                                             {"usb", no_argument, nullptr, 'U'},
                                             {"json", no_argument, nullptr, 'j'},
                                             {"wait", no_argument, nullptr, 'w'},
                                             {"timeout", required_argument, nullptr, 't'},
                                             {"debug", no_argument, nullptr, 'd'},
                                             {"help", no_argument, nullptr, 'h'},
                                             {"version", no_argument, nullptr, 'v'},
                                             {nullptr, 0, nullptr, 0}};
    signal(SIGPIPE, SIG_IGN);

    bool usb = true;
    bool network = true;
    bool json = false;
    bool wait = false;
    int timeout_seconds = kDefaultWaitSeconds;
    int c;
    while ((c = getopt_long(argc, argv, "nUjwt:dhv", longopts, nullptr)) != -1) {
        switch (c) {
            case 'n':
                usb = false;
                network = true;
                break;
            case 'U':
                usb = true;
                network = false;
                break;
            case 'j':
                json = true;
                break;
            case 'w':
                wait = true;
                break;
            case 't':
                if (const std::optional<int> seconds = parse_seconds(optarg)) {
                    timeout_seconds = *seconds;
                } else {
                    fprintf(stderr, "ERROR: --timeout takes whole seconds from 0 to %d.\n",
                            kMaxWaitSeconds);
                    print_usage(stderr, argv[0]);
                    return kExitUsage;
                }
                break;
            case 'd':
                tarvo_set_debug_level(1);
                break;
            case 'h':
                print_usage(stdout, argv[0]);
                return 0;
            case 'v':
                tool_print_version("tarvodevices");
                return 0;
            default:
                print_usage(stderr, argv[0]);
                return kExitUsage;
        }
    }
    if (optind < argc) {
        print_usage(stderr, argv[0]);
        return kExitUsage;
    }

    if (wait) {
        const int lookup = (usb ? TARVO_LOOKUP_USBMUX : 0) | (network ? TARVO_LOOKUP_NETWORK : 0);
        char *udid = nullptr;
        const tarvo_error_t waited = tarvo_wait_for_device(static_cast<tarvo_options>(lookup),
                                                           timeout_seconds * 1000, &udid);
        free(udid);
        if (waited == TARVO_E_TIMEOUT) {
            fprintf(stderr, "ERROR: No device attached within %d seconds.\n", timeout_seconds);
            return 1;
        }
        if (waited != TARVO_E_SUCCESS) {
            fprintf(stderr, "ERROR: Could not wait for a device.\n");
            explain_missing_device(nullptr, !usb);
            return 1;
        }
    }
    std::vector<DeviceRow> rows;
    if (!gather(usb, network, &rows)) {
        return 1;
    }
    if (json) {
        print_json(rows);
    } else {
        print_lines(rows);
    }
    return 0;
}
