// Device fixtures: the bundled ones load as the devices they describe, and
// each kind of mistake in a hand-written device.plist is refused with a
// message that names the file, the key and the problem.
#include "fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "plist_items.h"
#include "sim_harness.h"
#include "sim_test_support.h"
#include "simulator.h"

namespace tarvosim {
namespace {

using testing::TempDir;

std::string string_in(plist_t dict, const char *key) {
    return tarvo::string_item(dict, key).value_or("<missing>");
}

std::string bundled(const char *name) {
    return std::filesystem::path(Simulator::default_fixture_dir()).parent_path() / name;
}

TEST(FixtureTest, BundledIphoneIsAUsbDeviceWithItsValuesAndKey) {
    Fixture fixture;
    std::string error;
    ASSERT_TRUE(load_fixture(bundled("iphone"), &fixture, &error)) << error;
    EXPECT_EQ(fixture.udid, "00008120-001A2B3C4D5E6F7A");
    EXPECT_FALSE(fixture.is_network());
    EXPECT_EQ(fixture.pairing_policy, PairingPolicy::kAccept);
    EXPECT_EQ(fixture.query_type, "com.apple.mobile.lockdown");
    EXPECT_TRUE(fixture.faults.empty());
    EXPECT_FALSE(fixture.device_private_key_pem.empty());
    EXPECT_EQ(string_in(fixture.global_domain.get(), "DeviceName"), "Tarvo iPhone");
    EXPECT_EQ(string_in(fixture.global_domain.get(), "ProductVersion"), "17.5.1");
    EXPECT_EQ(string_in(fixture.global_domain.get(), "UniqueDeviceID"), fixture.udid);
    for (const char *domain :
         {"com.apple.mobile.battery", "com.apple.disk_usage", "com.apple.international"}) {
        plist_t values = plist_dict_get_item(fixture.domains.get(), domain);
        ASSERT_NE(values, nullptr) << domain;
        EXPECT_EQ(plist_get_node_type(values), PLIST_DICT) << domain;
    }
}

TEST(FixtureTest, BundledAppleTvIsANetworkDevice) {
    Fixture fixture;
    std::string error;
    ASSERT_TRUE(load_fixture(bundled("appletv"), &fixture, &error)) << error;
    EXPECT_TRUE(fixture.is_network());
    EXPECT_EQ(string_in(fixture.global_domain.get(), "DeviceClass"), "AppleTV");
    EXPECT_NE(fixture.udid, "00008120-001A2B3C4D5E6F7A");
}

TEST(FixtureTest, MinimalFixtureGetsDefaultsAndItsUdidInTheGlobalDomain) {
    TempDir dir;
    const std::string folder = SimHarness::make_fixture(
        dir.path(), SimHarness::device_plist("<key>UniqueDeviceID</key><string>MINI-1</string>"));
    Fixture fixture;
    std::string error;
    ASSERT_TRUE(load_fixture(folder, &fixture, &error)) << error;
    EXPECT_EQ(fixture.dir, folder);
    EXPECT_EQ(fixture.connection_type, ConnectionType::kUsb);
    EXPECT_EQ(fixture.pairing_policy, PairingPolicy::kAccept);
    EXPECT_EQ(string_in(fixture.global_domain.get(), "UniqueDeviceID"), "MINI-1");
    EXPECT_EQ(plist_dict_get_size(fixture.domains.get()), 0u);
    EXPECT_TRUE(fixture.device_private_key_pem.empty());
}

TEST(FixtureTest, ReadsPolicyQueryTypeAndEveryFault) {
    TempDir dir;
    const std::string folder = SimHarness::make_fixture(dir.path(), SimHarness::device_plist(R"(
            <key>UniqueDeviceID</key><string>FAULTY-1</string>
            <key>ConnectionType</key><string>Network</string>
            <key>PairingPolicy</key><string>passcode</string>
            <key>QueryType</key><string>com.example.other</string>
            <key>Faults</key><dict>
              <key>QueryType</key><string>HugeLength</string>
              <key>GetValue</key><dict>
                <key>Fault</key><string>Truncated</string>
                <key>Key</key><string>DeviceName</string>
              </dict>
              <key>Pair</key><string>NotPlist</string>
              <key>StartSession</key><string>Stall</string>
              <key>Goodbye</key><string>Close</string>
            </dict>)"));
    Fixture fixture;
    std::string error;
    ASSERT_TRUE(load_fixture(folder, &fixture, &error)) << error;
    EXPECT_TRUE(fixture.is_network());
    EXPECT_EQ(fixture.pairing_policy, PairingPolicy::kPasscode);
    EXPECT_EQ(fixture.query_type, "com.example.other");
    auto request = [](const char *key) {
        PlistPtr dict(plist_new_dict());
        if (key) {
            plist_dict_set_item(dict.get(), "Key", plist_new_string(key));
        }
        return dict;
    };
    const PlistPtr plain = request(nullptr);
    EXPECT_EQ(fixture.fault_for("QueryType", plain.get()), Fault::kHugeLength);
    EXPECT_EQ(fixture.fault_for("Pair", plain.get()), Fault::kNotPlist);
    EXPECT_EQ(fixture.fault_for("StartSession", plain.get()), Fault::kStall);
    EXPECT_EQ(fixture.fault_for("Goodbye", plain.get()), Fault::kClose);
    EXPECT_FALSE(fixture.fault_for("SetValue", plain.get()).has_value());
    // A rule with conditions hits only the requests that meet them.
    EXPECT_EQ(fixture.fault_for("GetValue", request("DeviceName").get()), Fault::kTruncated);
    EXPECT_FALSE(fixture.fault_for("GetValue", request("DevicePublicKey").get()).has_value());
    EXPECT_FALSE(fixture.fault_for("GetValue", plain.get()).has_value());
}

struct BadFixture {
    const char *what;
    const char *body;      // top-level keys of device.plist
    const char *expected;  // part of the error message
};

const BadFixture kBadFixtures[] = {
    {"no UDID", "<key>PairingPolicy</key><string>deny</string>", "key \"UniqueDeviceID\": missing"},
    {"UDID of another type", "<key>UniqueDeviceID</key><integer>7</integer>",
     "key \"UniqueDeviceID\": must be a string"},
    {"UDID that would leave the state folder",
     "<key>UniqueDeviceID</key><string>../escape</string>", "only letters, digits"},
    {"UDID longer than the host can hold",
     "<key>UniqueDeviceID</key><string>00008120-001A2B3C4D5E6F7A-00008120-001A2B3C4D5E</string>",
     "1 to 43 characters"},
    {"unknown connection type",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>ConnectionType</key><string>Bluetooth</string>",
     "key \"ConnectionType\": unknown value \"Bluetooth\" (one of USB, Network)"},
    {"pairing policy of another type",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>PairingPolicy</key><true/>",
     "key \"PairingPolicy\": must be a string"},
    {"unknown pairing policy",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>PairingPolicy</key><string>maybe</string>",
     "unknown value \"maybe\" (one of accept, deny, pending, passcode)"},
    {"global domain that is no dictionary",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>GlobalDomain</key><array/>",
     "key \"GlobalDomain\": must be a dictionary"},
    {"global domain naming another UDID",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>GlobalDomain</key><dict><key>UniqueDeviceID</key><string>U2</string></dict>",
     "differs from the top-level UDID"},
    {"public key override that is text",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>GlobalDomain</key><dict><key>DevicePublicKey</key><string>x</string></dict>",
     "\"DevicePublicKey\" must be data"},
    {"named domain that is no dictionary",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>Domains</key><dict><key>com.apple.x</key><string>v</string></dict>",
     "domain \"com.apple.x\" must be a dictionary"},
    {"query type of another type",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>QueryType</key><integer>1</integer>",
     "key \"QueryType\": must be a string"},
    {"fault for a request lockdown does not know",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>Faults</key><dict><key>Reboot</key><string>Close</string></dict>",
     "unknown request \"Reboot\""},
    {"unknown fault",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>Faults</key><dict><key>GetValue</key><string>Explode</string></dict>",
     "unknown fault \"Explode\" for \"GetValue\""},
    {"fault rule without a fault",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>Faults</key><dict><key>GetValue</key><dict><key>Key</key><string>K</string></dict>"
     "</dict>",
     "the rule for \"GetValue\" has no \"Fault\""},
    {"fault rule with a condition that is no text",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>Faults</key><dict><key>GetValue</key><dict><key>Fault</key><string>Close</string>"
     "<key>Key</key><integer>1</integer></dict></dict>",
     "the condition \"Key\" for \"GetValue\" must be a string"},
    {"fault that is neither text nor rule",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>Faults</key><dict><key>GetValue</key><true/></dict>",
     "must be a string or a dictionary"},
    {"private key that is no PEM",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>DevicePrivateKey</key><data>bm90IGEga2V5</data>",
     "key \"DevicePrivateKey\": not a PEM private key"},
    {"private key as text",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>DevicePrivateKey</key><string>-----BEGIN</string>",
     "key \"DevicePrivateKey\": must be a data"},
    {"missing services that are no names",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>MissingServices</key><array><integer>1</integer></array>",
     "key \"MissingServices\": must hold service names"},
    {"misspelt key",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>PairingPolicyy</key><string>deny</string>",
     "key \"PairingPolicyy\": unknown key"},
    {"applications that are no array",
     "<key>UniqueDeviceID</key><string>U1</string><key>Applications</key><dict/>",
     "key \"Applications\": must be an array of attribute dictionaries"},
    {"application without a bundle identifier",
     "<key>UniqueDeviceID</key><string>U1</string><key>Applications</key><array><dict>"
     "<key>ApplicationType</key><string>User</string></dict></array>",
     "application 1: needs \"CFBundleIdentifier\""},
    {"application with a bundle identifier that is no file name",
     "<key>UniqueDeviceID</key><string>U1</string><key>Applications</key><array><dict>"
     "<key>CFBundleIdentifier</key><string>../x</string>"
     "<key>ApplicationType</key><string>User</string></dict></array>",
     "application 1: needs \"CFBundleIdentifier\""},
    {"application of an unknown type",
     "<key>UniqueDeviceID</key><string>U1</string><key>Applications</key><array><dict>"
     "<key>CFBundleIdentifier</key><string>a.b</string>"
     "<key>ApplicationType</key><string>Any</string></dict></array>",
     "application 1: needs \"ApplicationType\": \"User\" or \"System\""},
    {"application listed twice",
     "<key>UniqueDeviceID</key><string>U1</string><key>Applications</key><array>"
     "<dict><key>CFBundleIdentifier</key><string>a.b</string>"
     "<key>ApplicationType</key><string>User</string></dict>"
     "<dict><key>CFBundleIdentifier</key><string>a.b</string>"
     "<key>ApplicationType</key><string>System</string></dict></array>",
     "application 2: \"a.b\" is listed twice"},
    {"browse page size of zero",
     "<key>UniqueDeviceID</key><string>U1</string><key>BrowsePageSize</key><integer>0</integer>",
     "key \"BrowsePageSize\": must be an integer from 1 to 1000"},
    {"MobileGestalt that is no dictionary",
     "<key>UniqueDeviceID</key><string>U1</string><key>MobileGestalt</key><array/>",
     "key \"MobileGestalt\": must be a dictionary"},
    {"sync lock held by text",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>SyncLockHeldByOtherHost</key><string>2</string>",
     "key \"SyncLockHeldByOtherHost\": must be a number of attempts or true"},
    {"sync lock error of zero",
     "<key>UniqueDeviceID</key><string>U1</string><key>SyncLockError</key><integer>0</integer>",
     "key \"SyncLockError\": must be an AFC status code"},
    {"sync lock held and failing at once",
     "<key>UniqueDeviceID</key><string>U1</string>"
     "<key>SyncLockHeldByOtherHost</key><true/><key>SyncLockError</key><integer>10</integer>",
     "key \"SyncLockError\": goes without \"SyncLockHeldByOtherHost\""},
};

void PrintTo(const BadFixture &bad, std::ostream *out) {
    *out << bad.what;
}

class BadFixtureTest : public ::testing::TestWithParam<BadFixture> {};

TEST_P(BadFixtureTest, IsRefusedNamingFileKeyAndProblem) {
    TempDir dir;
    const std::string folder =
        SimHarness::make_fixture(dir.path(), SimHarness::device_plist(GetParam().body));
    Fixture fixture;
    std::string error;
    EXPECT_FALSE(load_fixture(folder, &fixture, &error)) << GetParam().what;
    EXPECT_NE(error.find(folder + "/device.plist: "), std::string::npos) << error;
    EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(EachMistake, BadFixtureTest, ::testing::ValuesIn(kBadFixtures));

TEST(FixtureTest, IconsMustBelongToListedApplications) {
    const std::string app =
        "<key>UniqueDeviceID</key><string>U1</string><key>Applications</key><array><dict>"
        "<key>CFBundleIdentifier</key><string>com.example.a</string>"
        "<key>ApplicationType</key><string>User</string></dict></array>";
    struct Case {
        const char *icon_file;
        const char *expected;  // "" when the fixture loads
    };
    for (const Case &c : {Case{"com.example.a.png", ""},
                          Case{"com.example.b.png", "icons/com.example.b.png: names no listed"},
                          Case{"com.example.a.jpg", "icons/com.example.a.jpg: names no listed"}}) {
        TempDir dir;
        const std::string folder =
            SimHarness::make_fixture(dir.path(), SimHarness::device_plist(app));
        std::filesystem::create_directory(folder + "/icons");
        std::ofstream(folder + "/icons/" + c.icon_file) << "PNG bytes";
        Fixture fixture;
        std::string error;
        EXPECT_EQ(load_fixture(folder, &fixture, &error), *c.expected == '\0') << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(FixtureTest, RefusesFilesThatAreNoDictionaryPlist) {
    struct Case {
        const char *content;
        const char *expected;
    };
    for (const Case &c :
         {Case{"this is not a plist", "not a property list"}, Case{"", "not a property list"},
          Case{"<plist version=\"1.0\"><array/></plist>", "must be a dictionary"}}) {
        TempDir dir;
        const std::string folder = SimHarness::make_fixture(dir.path(), c.content);
        Fixture fixture;
        std::string error;
        EXPECT_FALSE(load_fixture(folder, &fixture, &error)) << c.content;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(FixtureTest, RefusesMissingFolderAndMissingFile) {
    TempDir dir;
    Fixture fixture;
    std::string error;
    EXPECT_FALSE(load_fixture(dir.file("nowhere"), &fixture, &error));
    EXPECT_NE(error.find("not a fixture folder"), std::string::npos) << error;
    EXPECT_FALSE(load_fixture(dir.path(), &fixture, &error));
    EXPECT_NE(error.find("device.plist: missing"), std::string::npos) << error;
}

TEST(FixtureTest, RefusesOversizedFileUnread) {
    TempDir dir;
    std::ofstream(dir.file("device.plist")).close();
    std::filesystem::resize_file(dir.file("device.plist"), kMaxFixtureFileSize + 1);
    Fixture fixture;
    std::string error;
    EXPECT_FALSE(load_fixture(dir.path(), &fixture, &error));
    EXPECT_NE(error.find("larger than 8 MiB"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarvosim
