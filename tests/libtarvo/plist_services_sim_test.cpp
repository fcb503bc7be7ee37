// The installation proxy, home-screen service and diagnostics relay clients
// against the in-process simulator, each started through its own lockdown
// session as the tools start them: a listing over several pages, an icon
// found and one missing, and gestalt values with the newer inner status.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "owners.h"
#include "scripted_peer.h"
#include "sim_harness.h"
#include "tarvo.h"

namespace {

constexpr const char *kUdid = "00008030-00AA11BB22CC33EE";
const std::string kIcon("\x89PNG\r\n\x1a\n-icon-", 14);

std::string app_xml(const char *id, const char *type) {
    return std::string("<dict><key>CFBundleIdentifier</key><string>") + id +
           "</string><key>ApplicationType</key><string>" + type +
           "</string><key>CFBundleVersion</key><string>1</string></dict>";
}

// A device of 17.5.1 with three user applications (listed two to a page),
// one system application, an icon for the first, and one gestalt value.
class Device {
  public:
    Device() {
        char pattern[] = "/tmp/libtarvo-plist-services-XXXXXX";
        if (::mkdtemp(pattern)) {
            fixtures_ = pattern;
        }
        const std::string keys =
            std::string("<key>UniqueDeviceID</key><string>") + kUdid +
            "</string><key>GlobalDomain</key><dict>"
            "<key>ProductVersion</key><string>17.5.1</string></dict>"
            "<key>MobileGestalt</key><dict><key>ProductType</key><string>iPhone12,1</string>"
            "</dict><key>BrowsePageSize</key><integer>2</integer><key>Applications</key><array>" +
            app_xml("com.example.one", "User") + app_xml("com.example.two", "User") +
            app_xml("com.example.clock", "System") + app_xml("com.example.three", "User") +
            "</array>" + SimHarness::bundled_private_key_xml();
        const std::string dir = SimHarness::make_fixture(fixtures_, SimHarness::device_plist(keys));
        std::filesystem::create_directories(dir + "/icons");
        std::ofstream(dir + "/icons/com.example.one.png", std::ios::binary) << kIcon;
        sim_ = std::make_unique<SimHarness>(std::vector<std::string>{dir});
        if (sim_->ok()) {
            EXPECT_EQ(tarvo_new(&device_, kUdid), TARVO_E_SUCCESS);
        }
    }
    ~Device() {
        tarvo_free(device_);
        sim_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(fixtures_, ignored);
    }
    tarvo_t get() const { return device_; }

  private:
    std::string fixtures_;
    std::unique_ptr<SimHarness> sim_;
    tarvo_t device_ = nullptr;
};

TEST(PlistServicesSim, BrowseGathersTheUserApplicationsFromEveryPage) {
    Device device;
    ASSERT_TRUE(device.get());
    instproxy_client_t client = nullptr;
    ASSERT_EQ(instproxy_client_start_service(device.get(), &client, "libtarvo_tests"),
              INSTPROXY_E_SUCCESS);
    plist_t options = instproxy_client_options_new();
    instproxy_client_options_add(options, "ApplicationType", "User", nullptr);
    instproxy_client_options_set_return_attributes(options, "CFBundleIdentifier", nullptr);
    plist_t result = nullptr;
    ASSERT_EQ(instproxy_browse(client, options, &result), INSTPROXY_E_SUCCESS);
    PlistPtr apps(result);
    instproxy_client_options_free(options);
    std::vector<std::string> ids;
    for (uint32_t i = 0; i < plist_array_get_size(result); ++i) {
        ids.push_back(libtarvo::string_item(plist_array_get_item(result, i), "CFBundleIdentifier"));
    }
    EXPECT_EQ(
        ids, (std::vector<std::string>{"com.example.one", "com.example.two", "com.example.three"}));
    EXPECT_EQ(instproxy_client_free(client), INSTPROXY_E_SUCCESS);
}

// Each service test opens and frees its own client, so that a failure names its service.
TEST(PlistServicesSim, IconsOfApplicationsWithAndWithoutOne) {
    Device device;
    ASSERT_TRUE(device.get());
    sbservices_client_t client = nullptr;
    ASSERT_EQ(sbservices_client_start_service(device.get(), &client, "libtarvo_tests"),
              SBSERVICES_E_SUCCESS);
    char *png = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(sbservices_get_icon_pngdata(client, "com.example.one", &png, &size),
              SBSERVICES_E_SUCCESS);
    EXPECT_EQ(std::string(png, size), kIcon);
    std::free(png);
    EXPECT_EQ(sbservices_get_icon_pngdata(client, "com.example.two", &png, &size),
              SBSERVICES_E_UNKNOWN_ERROR);
    EXPECT_EQ(sbservices_client_free(client), SBSERVICES_E_SUCCESS);
}

TEST(PlistServicesSim, GestaltValuesCarryTheNewerInnerStatus) {
    Device device;
    ASSERT_TRUE(device.get());
    diagnostics_relay_client_t client = nullptr;
    ASSERT_EQ(diagnostics_relay_client_start_service(device.get(), &client, "libtarvo_tests"),
              DIAGNOSTICS_RELAY_E_SUCCESS);
    PlistPtr keys(plist_new_array());
    plist_array_append_item(keys.get(), plist_new_string("ProductType"));
    plist_t result = nullptr;
    ASSERT_EQ(diagnostics_relay_query_mobilegestalt(client, keys.get(), &result),
              DIAGNOSTICS_RELAY_E_SUCCESS);
    PlistPtr diagnostics(result);
    plist_t gestalt = plist_dict_get_item(result, "MobileGestalt");
    EXPECT_EQ(libtarvo::string_item(gestalt, "Status"), "MobileGestaltDeprecated");
    EXPECT_EQ(libtarvo::string_item(gestalt, "ProductType"), "iPhone12,1");
    EXPECT_EQ(diagnostics_relay_goodbye(client), DIAGNOSTICS_RELAY_E_SUCCESS);
    EXPECT_EQ(diagnostics_relay_client_free(client), DIAGNOSTICS_RELAY_E_SUCCESS);
}

}  // namespace
