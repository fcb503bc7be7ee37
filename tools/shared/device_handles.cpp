// Opening a device for the small tools, and saying why none was found.
#include "device_handles.h"

#include <stdlib.h>

#include <string>

namespace {

// Where libusbmuxd looks when USBMUXD_SOCKET_ADDRESS is not set.
constexpr const char *kDefaultDaemonSocket = "/var/run/usbmuxd";

}  // namespace

void explain_missing_device(const char *udid, bool use_network) {
    char **udids = nullptr;
    int count = 0;
    const tarvo_options lookup = use_network ? TARVO_LOOKUP_NETWORK : TARVO_LOOKUP_USBMUX;
    if (tarvo_list_udids(lookup, &udids, &count) != TARVO_E_SUCCESS) {
        const char *address = getenv("USBMUXD_SOCKET_ADDRESS");
        fprintf(stderr,
                "The USB multiplexer daemon cannot be reached at %s. Is it running? "
                "USBMUXD_SOCKET_ADDRESS (UNIX:/path or host:port) points the tools at another "
                "one.\n",
                address && *address ? address : kDefaultDaemonSocket);
        return;
    }
    if (count == 0) {
        fprintf(stderr, "No device is attached %s.\n", use_network ? "on the network" : "over USB");
    } else if (udid) {
        std::string attached;
        for (int i = 0; i < count; ++i) {
            attached += (i ? ", " : "") + std::string(udids[i]);
        }
        fprintf(stderr, "Attached %s: %s\n", use_network ? "on the network" : "over USB",
                attached.c_str());
    }
    tarvo_udid_list_free(udids);
}

DeviceHandle open_device(const char *udid, bool use_network, const DeviceNotFoundLines &lines) {
    tarvo_t device = nullptr;
    if (tarvo_new_with_options(&device, udid,
                               use_network ? TARVO_LOOKUP_NETWORK : TARVO_LOOKUP_USBMUX) != 0) {
        if (udid) {
            fprintf(lines.stream, lines.with_udid, udid);
        } else {
            fputs(lines.without_udid, lines.stream);
        }
        fflush(lines.stream);
        explain_missing_device(udid, use_network);
        return nullptr;
    }
    return DeviceHandle(device);
}
