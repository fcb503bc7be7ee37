// Fuzz target: the pages of an application listing as the installation
// proxy's client gathers them. A client over a socket pair whose device has
// sent the fuzzer's bytes browses twice (a listing the device refuses or
// ends leaves the client in step for the next), with caps small enough that
// the fuzzer can reach them.
#include <memory>

#include "fuzz_support.h"
#include "libtarvo/installation_proxy_private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo_fuzz::PreloadedSocket socket({data, size});
    if (!socket.ok()) {
        return 0;
    }
    libtarvo::InstallationProxyWaits waits;
    waits.send_ms = 1000;
    waits.page_ms = 1000;
    libtarvo::InstallationProxyLimits limits;
    limits.max_apps = 64;
    limits.max_pages = 16;
    limits.max_bytes = 16 * 1024;
    instproxy_client_t client = nullptr;
    if (libtarvo::instproxy_client_new_on(
            std::make_unique<libtarvo::Connection>(socket.take_near()),
            "com.apple.mobile.installation_proxy", waits, limits, &client) != INSTPROXY_E_SUCCESS) {
        return 0;
    }
    for (int listing = 0; listing < 2; ++listing) {
        plist_t apps = nullptr;
        if (instproxy_browse(client, nullptr, &apps) == INSTPROXY_E_SUCCESS) {
            tarvo_fuzz::fuzz_check(apps && plist_get_node_type(apps) == PLIST_ARRAY &&
                                       plist_array_get_size(apps) <= limits.max_apps,
                                   "a listing is an array within the cap");
            plist_free(apps);
        }
    }
    instproxy_client_free(client);
    return 0;
}
