// Fuzz target: lockdown's replies as its client reads them. A client over a
// socket pair whose device has sent the fuzzer's bytes asks its usual
// questions (type, values, the device's name, a service start) and reads
// each answer through the property-list frame loop and the reply checks.
#include <cstdlib>
#include <memory>

#include "fuzz_support.h"
#include "libtarvo/lockdown_private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo_fuzz::PreloadedSocket socket({data, size});
    if (!socket.ok()) {
        return 0;
    }
    auto *client = new lockdownd_client_private;
    client->channel = std::make_unique<libtarvo::PlistChannel>(
        std::make_unique<libtarvo::Connection>(socket.take_near()), libtarvo::kLockdownServiceType);
    client->label = "fuzz";

    char *text = nullptr;
    lockdownd_query_type(client, &text);
    std::free(text);
    plist_t value = nullptr;
    lockdownd_get_value(client, nullptr, nullptr, &value);
    plist_free(value);
    value = nullptr;
    lockdownd_get_value(client, "com.apple.mobile.battery", "BatteryCurrentCapacity", &value);
    plist_free(value);
    text = nullptr;
    lockdownd_get_device_name(client, &text);
    std::free(text);
    lockdownd_set_value(client, nullptr, "DeviceName", plist_new_string("fuzz"));
    lockdownd_remove_value(client, "com.apple.fuzz", "Key");
    lockdownd_service_descriptor_t service = nullptr;
    lockdownd_start_service(client, "com.apple.afc", &service);
    lockdownd_service_descriptor_free(service);
    lockdownd_client_free(client);
    return 0;
}
