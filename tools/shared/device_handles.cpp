// Opening a device for the small tools.
#include "device_handles.h"

DeviceHandle open_device(const char *udid, bool use_network, const DeviceNotFoundLines &lines) {
    tarvo_t device = nullptr;
    if (tarvo_new_with_options(&device, udid,
                               use_network ? TARVO_LOOKUP_NETWORK : TARVO_LOOKUP_USBMUX) != 0) {
        if (udid) {
            fprintf(lines.stream, lines.with_udid, udid);
        } else {
            fputs(lines.without_udid, lines.stream);
        }
        return nullptr;
    }
    return DeviceHandle(device);
}
