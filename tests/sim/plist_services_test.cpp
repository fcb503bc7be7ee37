// The installation proxy, springboard services and diagnostics relay of a
// simulated device, driven over the real socket: browsing in pages with the
// asked attributes, icons, MobileGestalt answers before and after their
// deprecation, and fixtures that leave services out.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "afc_service.h"
#include "diagnostics_relay_service.h"
#include "installation_proxy_service.h"
#include "installed_apps.h"
#include "plist_dict_walk.h"
#include "plist_items.h"
#include "service_test_client.h"
#include "simulator.h"
#include "springboard_service.h"

namespace tarvosim {
namespace {

using testing::data_of;
using testing::LockdownTestClient;
using testing::plist_string;
using testing::plist_uint;
using testing::Received;
using testing::ServiceHost;

/// A dictionary of string items, e.g. {{"Command", "Browse"}}.
PlistPtr request_of(std::initializer_list<std::pair<const char *, const char *>> items) {
    PlistPtr request(plist_new_dict());
    for (const auto &[key, value] : items) {
        plist_dict_set_item(request.get(), key, plist_new_string(value));
    }
    return request;
}

plist_t string_array(std::initializer_list<const char *> names) {
    plist_t array = plist_new_array();
    for (const char *name : names) {
        plist_array_append_item(array, plist_new_string(name));
    }
    return array;
}

Received ask(LockdownTestClient &client, const PlistPtr &request) {
    EXPECT_TRUE(client.send_plist(request.get()));
    return client.receive();
}

std::vector<std::string> keys_of(plist_t dict) {
    std::vector<std::string> keys;
    for_each_dict_item(dict, [&](const std::string &key, plist_t) {
        keys.push_back(key);
        return true;
    });
    std::sort(keys.begin(), keys.end());
    return keys;
}

class PlistServicesTest : public ::testing::Test {
  protected:
    void SetUp() override { host_.start(); }
    ServiceHost host_;
};

TEST_F(PlistServicesTest, BrowseAnswersInPagesWithTheAskedAttributes) {
    struct Case {
        const char *type;                      // null: no ApplicationType
        std::vector<const char *> attributes;  // empty: no ReturnAttributes
        std::vector<std::string> apps;
        std::vector<std::string> keys;  // of each app; empty: not checked
    };
    const Case cases[] = {
        {"User",
         {"ApplicationSINF", "iTunesMetadata"},
         {"com.example.fieldnotes", "com.example.trailmap", "com.example.sideloaded"},
         {}},
        {"System",
         {"CFBundleVersion"},
         {"com.example.system.clock"},
         {"CFBundleIdentifier", "CFBundleVersion"}},
        {"Any",
         {"ApplicationType"},
         {"com.example.fieldnotes", "com.example.trailmap", "com.example.sideloaded",
          "com.example.system.clock"},
         {"ApplicationType", "CFBundleIdentifier"}},
        {nullptr,
         {},
         {"com.example.fieldnotes", "com.example.trailmap", "com.example.sideloaded",
          "com.example.system.clock"},
         {}},
    };
    auto proxy = host_.connect(kInstallationProxyService);
    ASSERT_TRUE(proxy);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type ? c.type : "no type");
        PlistPtr browse = request_of({{"Command", "Browse"}});
        plist_t options = plist_new_dict();
        if (c.type) {
            plist_dict_set_item(options, "ApplicationType", plist_new_string(c.type));
        }
        if (!c.attributes.empty()) {
            plist_t wanted = plist_new_array();
            for (const char *name : c.attributes) {
                plist_array_append_item(wanted, plist_new_string(name));
            }
            plist_dict_set_item(options, "ReturnAttributes", wanted);
        }
        plist_dict_set_item(browse.get(), "ClientOptions", options);
        ASSERT_TRUE(proxy->send_plist(browse.get()));

        // Pages of two (the default), each saying where it stands.
        std::vector<std::string> seen;
        for (uint64_t first = 0; first < c.apps.size(); first += 2) {
            Received page = proxy->receive();
            ASSERT_EQ(page.string_at("Status"), "BrowsingApplications");
            EXPECT_EQ(plist_uint(page.item("CurrentIndex")), first);
            EXPECT_EQ(plist_uint(page.item("CurrentAmount")),
                      std::min<uint64_t>(2, c.apps.size() - first));
            EXPECT_EQ(plist_uint(page.item("Total")), c.apps.size());
            plist_t list = page.item("CurrentList");
            ASSERT_EQ(plist_array_get_size(list), plist_uint(page.item("CurrentAmount")));
            for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
                plist_t app = plist_array_get_item(list, i);
                seen.push_back(plist_string(plist_dict_get_item(app, "CFBundleIdentifier")));
                if (!c.keys.empty()) {
                    EXPECT_EQ(keys_of(app), c.keys) << seen.back();
                }
                if (c.attributes.empty()) {
                    EXPECT_NE(plist_dict_get_item(app, "Path"), nullptr) << "all attributes";
                }
            }
        }
        EXPECT_EQ(seen, c.apps);
        EXPECT_EQ(proxy->receive().string_at("Status"), "Complete");
    }
}

TEST_F(PlistServicesTest, BrowseCarriesTheFixturesDataAndOnlyWhatAnAppHas) {
    Fixture fixture;
    std::string error;
    ASSERT_TRUE(load_fixture(Simulator::default_fixture_dir(), &fixture, &error)) << error;
    const InstalledApp *expected = installed_apps(fixture).find("com.example.fieldnotes");
    ASSERT_NE(expected, nullptr);

    auto proxy = host_.connect(kInstallationProxyService);
    ASSERT_TRUE(proxy);
    PlistPtr browse = request_of({{"Command", "Browse"}});
    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "ApplicationType", plist_new_string("User"));
    plist_dict_set_item(options, "ReturnAttributes",
                        string_array({"ApplicationSINF", "iTunesMetadata", "CFBundleVersion"}));
    plist_dict_set_item(browse.get(), "ClientOptions", options);
    Received first = ask(*proxy, browse);
    plist_t fieldnotes = plist_array_get_item(first.item("CurrentList"), 0);
    for (const char *key : {"ApplicationSINF", "iTunesMetadata"}) {
        const std::vector<uint8_t> got = data_of(plist_dict_get_item(fieldnotes, key));
        EXPECT_FALSE(got.empty()) << key;
        EXPECT_EQ(got, data_of(plist_dict_get_item(expected->attributes.get(), key))) << key;
    }
    EXPECT_EQ(plist_string(plist_dict_get_item(fieldnotes, "CFBundleVersion")), "420");
    Received second = proxy->receive();
    plist_t sideloaded = plist_array_get_item(second.item("CurrentList"), 0);
    EXPECT_EQ(plist_string(plist_dict_get_item(sideloaded, "CFBundleIdentifier")),
              "com.example.sideloaded");
    EXPECT_EQ(plist_dict_get_item(sideloaded, "ApplicationSINF"), nullptr);
    EXPECT_EQ(plist_dict_get_item(sideloaded, "iTunesMetadata"), nullptr);
    EXPECT_EQ(proxy->receive().string_at("Status"), "Complete");
}

TEST_F(PlistServicesTest, InstallationProxyRefusesUnknownCommandsAndOptions) {
    auto proxy = host_.connect(kInstallationProxyService);
    ASSERT_TRUE(proxy);
    EXPECT_EQ(ask(*proxy, request_of({{"Command", "Uninstall"}})).error(), "UnknownCommand");
    PlistPtr browse = request_of({{"Command", "Browse"}});
    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "ApplicationType", plist_new_string("Hidden"));
    plist_dict_set_item(browse.get(), "ClientOptions", options);
    EXPECT_EQ(ask(*proxy, browse).error(), "InvalidArgument");
    // The connection goes on after a refusal.
    plist_dict_set_item(options, "ApplicationType", plist_new_string("System"));
    EXPECT_EQ(ask(*proxy, browse).string_at("Status"), "BrowsingApplications");
}

TEST_F(PlistServicesTest, SpringboardHandsOutIconsOfAppsThatHaveOne) {
    const std::string icon_file =
        Simulator::default_fixture_dir() + "/icons/com.example.fieldnotes.png";
    std::ifstream in(icon_file, std::ios::binary);
    const std::vector<uint8_t> icon((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    ASSERT_FALSE(icon.empty());
    struct Case {
        const char *bundle_id;
        std::vector<uint8_t> png;  // empty: no "pngData"
    };
    const Case cases[] = {
        {"com.example.fieldnotes", icon},
        {"com.example.sideloaded", {}},
        {"com.example.not.installed", {}},
    };
    auto springboard = host_.connect(kSpringboardService);
    ASSERT_TRUE(springboard);
    for (const Case &c : cases) {
        Received answer = ask(
            *springboard, request_of({{"command", "getIconPNGData"}, {"bundleId", c.bundle_id}}));
        ASSERT_EQ(answer.kind, Received::kPlist) << c.bundle_id;
        EXPECT_EQ(answer.item("pngData") != nullptr, !c.png.empty()) << c.bundle_id;
        EXPECT_EQ(data_of(answer.item("pngData")), c.png) << c.bundle_id;
    }
    EXPECT_EQ(ask(*springboard, request_of({{"command", "getWallpaper"}})).error(),
              "UnknownCommand");
}

TEST(DiagnosticsRelayTest, MobileGestaltIsDeprecatedFromIos174AndStillAnswers) {
    struct Case {
        const char *version;
        const char *inner_status;
    };
    for (const Case &c : {Case{"17.3.1", "Success"}, Case{"17.4", "MobileGestaltDeprecated"},
                          Case{"18.0", "MobileGestaltDeprecated"}}) {
        SCOPED_TRACE(c.version);
        testing::TempDir scratch;
        const std::string dir = SimHarness::make_fixture(
            scratch.path(),
            SimHarness::device_plist(
                std::string("<key>UniqueDeviceID</key><string>GESTALT-1</string>"
                            "<key>GlobalDomain</key><dict><key>ProductVersion</key><string>") +
                c.version +
                "</string></dict><key>MobileGestalt</key><dict>"
                "<key>PasswordConfigured</key><true/></dict>" +
                SimHarness::bundled_private_key_xml()));
        ServiceHost host;
        host.start({dir}, "GESTALT-1");
        auto relay = host.connect(kDiagnosticsRelayService);
        ASSERT_TRUE(relay);
        PlistPtr query = request_of({{"Request", "MobileGestalt"}});
        plist_dict_set_item(query.get(), "MobileGestaltKeys",
                            string_array({"PasswordConfigured", "NoSuchKey"}));
        Received answer = ask(*relay, query);
        EXPECT_EQ(answer.string_at("Status"), "Success");
        plist_t gestalt = plist_access_path(answer.plist.get(), 2, "Diagnostics", "MobileGestalt");
        ASSERT_NE(gestalt, nullptr);
        EXPECT_EQ(plist_string(plist_dict_get_item(gestalt, "Status")), c.inner_status);
        EXPECT_EQ(keys_of(gestalt), (std::vector<std::string>{"PasswordConfigured", "Status"}));
        EXPECT_EQ(tarvo::bool_item(gestalt, "PasswordConfigured"), true);

        EXPECT_EQ(ask(*relay, request_of({{"Request", "Reticulate"}})).string_at("Status"),
                  "UnknownRequest");
        EXPECT_EQ(ask(*relay, request_of({{"Request", "Goodbye"}})).string_at("Status"), "Success");
        EXPECT_TRUE(relay->sees_end());
    }
}

TEST(DiagnosticsRelayTest, VersionsFrom174OnAreDeprecated) {
    const std::pair<const char *, bool> cases[] = {
        {"17.4", true}, {"17.4.1", true}, {"17.10", true}, {"18", true}, {"17.3.9", false},
        {"17", false},  {"9.3.5", false}, {"", false},     {"x", false}, {"17.x", false},
    };
    for (const auto &[version, deprecated] : cases) {
        EXPECT_EQ(mobile_gestalt_deprecated(version), deprecated) << version;
    }
}

TEST(PlistServicesMissingTest, FixtureCanLeaveThemOut) {
    testing::TempDir scratch;
    const std::string dir = SimHarness::make_fixture(
        scratch.path(),
        SimHarness::device_plist("<key>UniqueDeviceID</key><string>FEW-1</string>"
                                 "<key>MissingServices</key><array>"
                                 "<string>com.apple.mobile.installation_proxy</string>"
                                 "<string>com.apple.springboardservices</string>"
                                 "<string>com.apple.mobile.diagnostics_relay</string>"
                                 "</array>" +
                                 SimHarness::bundled_private_key_xml()));
    ServiceHost few;
    few.start({dir}, "FEW-1");
    // The other tests start each of them on the bundled iPhone.
    for (const char *name :
         {kInstallationProxyService, kSpringboardService, kDiagnosticsRelayService}) {
        EXPECT_EQ(few.start_service(name).error(), "InvalidService") << name;
    }
    EXPECT_EQ(few.start_service(kAfcService).error(), "<missing>");
}

}  // namespace
}  // namespace tarvosim
