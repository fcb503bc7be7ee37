/*
 * The device's global domain and the Wi-Fi address it makes up.
 */
#include "global_domain.h"

#include <openssl/evp.h>

namespace tarvosim {

std::string made_up_wifi_address(std::string_view udid) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(udid.data(), udid.size(), digest, &size, EVP_sha256(), nullptr);
    // Locally administered, unicast: no real vendor's prefix is claimed.
    digest[0] = static_cast<unsigned char>((digest[0] | 0x02) & 0xFE);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string mac;
    for (int i = 0; i < 6; ++i) {
        if (i) {
            mac += ':';
        }
        mac += kHex[digest[i] >> 4];
        mac += kHex[digest[i] & 0x0F];
    }
    return mac;
}

PlistPtr device_global_domain(const Fixture &fixture, const DeviceState &state) {
    PlistPtr base(plist_copy(fixture.global_domain.get()));
    if (!plist_dict_get_item(base.get(), "DevicePublicKey")) {
        const std::string &pem = state.public_key_pem();
        plist_dict_set_item(base.get(), "DevicePublicKey", plist_new_data(pem.data(), pem.size()));
    }
    if (!plist_dict_get_item(base.get(), "WiFiAddress")) {
        const std::string mac = made_up_wifi_address(fixture.udid);
        plist_dict_set_item(base.get(), "WiFiAddress", plist_new_string(mac.c_str()));
    }
    return state.effective_domain("", base.get());
}

}  // namespace tarvosim
