// tarvoinfo: prints the values a device's lockdown service reports, for the
// global domain or one named domain, all keys or one, as text, XML or JSON.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "device_handles.h"
#include "known_domains.h"
#include "lockdown_hints.h"
#include "owners.h"
#include "plist_compat.h"
#include "plist_json.h"
#include "tarvo.h"
#include "tool_usage.h"

namespace {

enum class OutputFormat { Text, Xml, Json };

void print_usage(int argc, char **argv, int to_error) {
    (void)argc;
    FILE *out = to_error ? stderr : stdout;
    fprintf(out, "Usage: %s [OPTIONS]\n", tool_base_name(argv[0]));
    fprintf(out,
            "\n"
            "Show information about a connected device.\n"
            "\n"
            "OPTIONS:\n"
            "  -u, --udid UDID       target specific device by UDID\n"
            "  -n, --network         connect to network device\n"
            "  -s, --simple          use simple connection to avoid auto-pairing with device\n"
            "  -q, --domain NAME     set domain of query to NAME. Default: None\n"
            "  -k, --key NAME        only query key specified by NAME. Default: All keys.\n"
            "  -x, --xml             output information in XML property list format\n"
            "  -h, --help            prints usage information\n"
            "  -d, --debug           enable communication debugging\n"
            "  -v, --version         prints version information\n"
            "\n"
            "Known domains are:\n"
            "\n");
    for (const char *const *domain = domains; *domain; ++domain) {
        fprintf(out, "  %s\n", *domain);
    }
    fprintf(out, "\n");
    tool_print_addresses(out);
}

void print_value(plist_t node, OutputFormat format) {
    if (format == OutputFormat::Json) {
        printf("%s", tarvo::plist_to_json_text(node).c_str());
        return;
    }
    if (format == OutputFormat::Text) {
        plist_write_to_stream(node, stdout, static_cast<plist_format_t>(11),
                              static_cast<plist_write_options_t>(0));
        return;
    }
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (xml) {
        printf("%s", xml);
        free(xml);
    }
}

}  // namespace

int main(int argc, char *argv[]) {
    static const struct option longopts[] = {{"debug", no_argument, nullptr, 'd'},
                                             {"help", no_argument, nullptr, 'h'},
                                             {"udid", required_argument, nullptr, 'u'},
                                             {"network", no_argument, nullptr, 'n'},
                                             {"domain", required_argument, nullptr, 'q'},
                                             {"key", required_argument, nullptr, 'k'},
                                             {"simple", no_argument, nullptr, 's'},
                                             {"xml", no_argument, nullptr, 'x'},
                                             {"version", no_argument, nullptr, 'v'},
                                             {"json", no_argument, nullptr, 'j'},
                                             {nullptr, 0, nullptr, 0}};

    signal(SIGPIPE, SIG_IGN);

    const char *udid = nullptr;
    const char *domain = nullptr;
    const char *key = nullptr;
    bool use_network = false;
    bool simple = false;
    OutputFormat format = OutputFormat::Text;

    // Each tool's option loop stands alone: their exit statuses and usage calls differ.
    int c;
    while ((c = getopt_long(argc, argv, "dhu:nq:k:sxvj", longopts, nullptr)) != -1) {
        switch (c) {
            case 'd':
                tarvo_set_debug_level(1);
                break;
            case 'u':
                if (!*optarg) {
                    fprintf(stderr, "ERROR: UDID must not be empty!\n");
                    print_usage(argc, argv, 1);
                    return 2;
                }
                udid = optarg;
                break;
            case 'q':
                if (!*optarg) {
                    fprintf(stderr, "ERROR: 'domain' must not be empty!\n");
                    print_usage(argc, argv, 1);
                    return 2;
                }
                domain = optarg;
                break;
            case 'k':
                if (!*optarg) {
                    fprintf(stderr, "ERROR: 'key' must not be empty!\n");
                    print_usage(argc, argv, 1);
                    return 2;
                }
                key = optarg;
                break;
            case 'n':
                use_network = true;
                break;
            case 's':
                simple = true;
                break;
            case 'x':
                format = OutputFormat::Xml;
                break;
            case 'j':
                format = OutputFormat::Json;
                break;
            case 'h':
                print_usage(argc, argv, 0);
                return 0;
            case 'v':
                tool_print_version("tarvoinfo");
                return 0;
            default:
                print_usage(argc, argv, 1);
                return 2;
        }
    }

    const DeviceHandle device = open_device(
        udid, use_network, {stderr, "ERROR: Device %s not found!\n", "ERROR: No device found!\n"});
    if (!device) {
        return -1;
    }

    lockdownd_client_t raw_client = nullptr;
    lockdownd_error_t ldret =
        simple ? lockdownd_client_new(device.get(), &raw_client, "tarvoinfo")
               : lockdownd_client_new_with_handshake(device.get(), &raw_client, "tarvoinfo");
    const LockdownClient client(raw_client);
    if (ldret != LOCKDOWN_E_SUCCESS) {
        fprintf(stderr, "ERROR: Could not connect to lockdownd: %s (%d)\n",
                lockdownd_strerror(ldret), ldret);
        explain_lockdown_error(ldret, udid, use_network);
        return -1;
    }

    if (domain && !is_domain_known(domain)) {
        fprintf(stderr, "WARNING: Sending query with unknown domain \"%s\".\n", domain);
    }

    plist_t raw_node = nullptr;
    const lockdownd_error_t got = lockdownd_get_value(client.get(), domain, key, &raw_node);
    const PlistPtr node(raw_node);
    if (got == LOCKDOWN_E_SUCCESS && node) {
        print_value(node.get(), format);
    }
    return 0;
}
