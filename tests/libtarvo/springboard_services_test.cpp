// The home-screen service's client against a device played by hand: the
// icon request on the wire, an icon found, and the answers that carry none.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "libtarvo/springboard_services_private.h"
#include "scripted_peer.h"

namespace libtarvo {
namespace {

TEST(SpringboardServicesPeer, IconRequestsAndTheirAnswers) {
    const std::string png("\x89PNG\r\n\x1a\n\0icon", 13);
    auto answer = [](plist_t png_data) {
        PlistPtr d(plist_new_dict());
        plist_dict_set_item(d.get(), "pngData", png_data);
        return d;
    };
    struct Case {
        const char *what;
        PlistPtr reply;  // null: the device stays silent
        sbservices_error_t expected;
        std::string icon;
    };
    Case cases[] = {
        {"an icon", answer(plist_new_data(png.data(), png.size())), SBSERVICES_E_SUCCESS, png},
        {"an empty icon", answer(plist_new_data("", 0)), SBSERVICES_E_SUCCESS, ""},
        {"no icon", PlistPtr(plist_new_dict()), SBSERVICES_E_UNKNOWN_ERROR, ""},
        {"an icon that is no data", answer(plist_new_string("x")), SBSERVICES_E_UNKNOWN_ERROR, ""},
        {"an answer that is no dictionary", PlistPtr(plist_new_array()), SBSERVICES_E_PLIST_ERROR,
         ""},
        {"silence", nullptr, SBSERVICES_E_CONN_FAILED, ""},
    };
    for (Case &c : cases) {
        ScriptedPeer peer;
        SpringboardServicesWaits waits;
        waits.reply_ms = 300;  // only the silent peer waits it out
        sbservices_client_t client = nullptr;
        ASSERT_EQ(sbservices_client_new_on(peer.connection(), "sb", waits, &client),
                  SBSERVICES_E_SUCCESS);
        ASSERT_TRUE(!c.reply || peer.write_plist(c.reply.get())) << c.what;
        char sentinel = 0;
        char *data = &sentinel;  // failures must leave the outputs alone
        uint64_t size = 77;
        EXPECT_EQ(sbservices_get_icon_pngdata(client, "com.example.app", &data, &size), c.expected)
            << c.what;
        if (c.expected == SBSERVICES_E_SUCCESS) {
            EXPECT_EQ(std::string(data, size), c.icon) << c.what;
            std::free(data);
        } else {
            EXPECT_TRUE(data == &sentinel && size == 77u) << c.what;
        }
        PlistPtr request = peer.read_plist();
        EXPECT_EQ(string_item(request.get(), "command"), "getIconPNGData") << c.what;
        EXPECT_EQ(string_item(request.get(), "bundleId"), "com.example.app") << c.what;
        EXPECT_EQ(sbservices_client_free(client), SBSERVICES_E_SUCCESS);
    }
}

}  // namespace
}  // namespace libtarvo
