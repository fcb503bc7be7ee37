// The library against the in-process simulator: device lookup, the paired
// handshake with TLS, values, pairing policies, unpairing, services, and the
// hostile answers the simulator can play.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "owners.h"
#include "scratch_dir.h"
#include "sim_harness.h"
#include "tarvo.h"
#include "userpref.h"

namespace {

constexpr const char *kIphoneUdid = "00008120-001A2B3C4D5E6F7A";
constexpr const char *kAppleTvUdid = "00008110-000C19E2A3F4B5D6";

std::string appletv_fixture_dir() {
    return (std::filesystem::path(tarvosim::Simulator::default_fixture_dir()).parent_path() /
            "appletv")
        .string();
}

// A USB device with the bundled key and the given extra top-level keys.
std::string device_fixture(const ScratchDir &dir, const std::string &udid,
                           const std::string &extra_keys) {
    const std::string keys = "<key>UniqueDeviceID</key><string>" + udid +
                             "</string>"
                             "<key>GlobalDomain</key><dict>"
                             "<key>DeviceName</key><string>Fixture " +
                             udid +
                             "</string>"
                             "<key>ProductVersion</key><string>16.4.1</string>"
                             "<key>UniqueDeviceID</key><string>" +
                             udid +
                             "</string>"
                             "<key>WiFiAddress</key><string>02:00:00:00:00:01</string>"
                             "</dict>" +
                             extra_keys + SimHarness::bundled_private_key_xml();
    return SimHarness::make_fixture(dir.path(), SimHarness::device_plist(keys));
}

// Device and lockdown client, freed in reverse order.
struct Session {
    tarvo_t device = nullptr;
    lockdownd_client_t client = nullptr;
    ~Session() {
        lockdownd_client_free(client);
        tarvo_free(device);
    }
};

tarvo_t open_device(const char *udid, tarvo_options lookup = TARVO_LOOKUP_USBMUX) {
    tarvo_t device = nullptr;
    EXPECT_EQ(tarvo_new_with_options(&device, udid, lookup), TARVO_E_SUCCESS) << udid;
    return device;
}

PlistPtr host_record(const char *udid, int *result = nullptr) {
    plist_t raw = nullptr;
    int r = userpref_read_pair_record(udid, &raw);
    if (result) {
        *result = r;
    }
    return PlistPtr(raw);
}

std::string host_id_of(plist_t record) {
    char *raw = nullptr;
    pair_record_get_host_id(record, &raw);
    CString id(raw);
    return id ? id.get() : "";
}

std::string string_of(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return "(not a string)";
    }
    char *raw = nullptr;
    plist_get_string_val(node, &raw);
    CString value(raw);
    return value.get();
}

TEST(DeviceLookup, FindsDevicesByUdidFirstAndConnectionType) {
    SimHarness sim({tarvosim::Simulator::default_fixture_dir(), appletv_fixture_dir()});
    ASSERT_TRUE(sim.ok()) << sim.error();

    tarvo_t device = nullptr;
    ASSERT_EQ(tarvo_new(&device, kIphoneUdid), TARVO_E_SUCCESS);
    char *udid = nullptr;
    ASSERT_EQ(tarvo_get_udid(device, &udid), TARVO_E_SUCCESS);
    EXPECT_STREQ(udid, kIphoneUdid);
    std::free(udid);
    uint32_t handle = 0;
    EXPECT_EQ(tarvo_get_handle(device, &handle), TARVO_E_SUCCESS);
    tarvo_free(device);

    ASSERT_EQ(tarvo_new_with_options(&device, nullptr, TARVO_LOOKUP_USBMUX), TARVO_E_SUCCESS);
    ASSERT_EQ(tarvo_get_udid(device, &udid), TARVO_E_SUCCESS);
    EXPECT_STREQ(udid, kIphoneUdid) << "the first USB device";
    std::free(udid);
    tarvo_free(device);

    device = nullptr;
    EXPECT_EQ(tarvo_new_with_options(&device, kAppleTvUdid, TARVO_LOOKUP_USBMUX),
              TARVO_E_NO_DEVICE);
    EXPECT_EQ(device, nullptr);
    ASSERT_EQ(tarvo_new_with_options(&device, kAppleTvUdid, TARVO_LOOKUP_NETWORK), TARVO_E_SUCCESS);
    tarvo_free(device);
    EXPECT_EQ(tarvo_new(&device, "00000000-0000000000000000"), TARVO_E_NO_DEVICE);
}

TEST(Handshake, PairsANewDeviceSavesTheRecordAndReusesIt) {
    SimHarness sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    int before = 0;
    host_record(kIphoneUdid, &before);
    EXPECT_EQ(before, USERPREF_E_NOENT);

    std::string first_host_id;
    {
        Session s;
        s.device = open_device(kIphoneUdid);
        ASSERT_EQ(lockdownd_client_new_with_handshake(s.device, &s.client, "libtarvo_tests"),
                  LOCKDOWN_E_SUCCESS);
        int result = -1;
        PlistPtr record = host_record(kIphoneUdid, &result);
        ASSERT_EQ(result, USERPREF_E_SUCCESS);
        first_host_id = host_id_of(record.get());
        EXPECT_EQ(first_host_id.size(), 36u);
        for (const char *key : {"DeviceCertificate", "HostCertificate", "HostPrivateKey",
                                "RootCertificate", "RootPrivateKey", "EscrowBag"}) {
            plist_t item = plist_dict_get_item(record.get(), key);
            ASSERT_TRUE(item) << key;
            EXPECT_EQ(plist_get_node_type(item), PLIST_DATA) << key;
        }
        EXPECT_EQ(string_of(plist_dict_get_item(record.get(), "WiFiMACAddress")),
                  "a4:c3:f0:5e:21:7b");
        char *buid = nullptr;
        ASSERT_EQ(userpref_read_system_buid(&buid), 0);
        EXPECT_EQ(string_of(plist_dict_get_item(record.get(), "SystemBUID")), buid);
        std::free(buid);
    }
    Session again;
    again.device = open_device(kIphoneUdid);
    ASSERT_EQ(lockdownd_client_new_with_handshake(again.device, &again.client, "libtarvo_tests"),
              LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(host_id_of(host_record(kIphoneUdid).get()), first_host_id) << "no second pairing";
}

TEST(Handshake, SessionServesDomainsKeysAndStoresValues) {
    SimHarness sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    Session s;
    s.device = open_device(kIphoneUdid);
    ASSERT_EQ(lockdownd_client_new_with_handshake(s.device, &s.client, "libtarvo_tests"),
              LOCKDOWN_E_SUCCESS);

    plist_t raw = nullptr;
    ASSERT_EQ(lockdownd_get_value(s.client, "com.apple.mobile.battery", nullptr, &raw),
              LOCKDOWN_E_SUCCESS);
    PlistPtr battery(raw);
    ASSERT_EQ(plist_get_node_type(battery.get()), PLIST_DICT);
    EXPECT_TRUE(plist_dict_get_item(battery.get(), "BatteryCurrentCapacity"));

    char *name = nullptr;
    ASSERT_EQ(lockdownd_get_device_name(s.client, &name), LOCKDOWN_E_SUCCESS);
    EXPECT_STREQ(name, "Tarvo iPhone");
    std::free(name);
    char *udid = nullptr;
    ASSERT_EQ(lockdownd_get_device_udid(s.client, &udid), LOCKDOWN_E_SUCCESS);
    EXPECT_STREQ(udid, kIphoneUdid);
    std::free(udid);

    ASSERT_EQ(lockdownd_set_value(s.client, nullptr, "DeviceName", plist_new_string("Renamed")),
              LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(lockdownd_get_value(s.client, nullptr, "DeviceName", &raw), LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(string_of(PlistPtr(raw).get()), "Renamed");

    EXPECT_EQ(lockdownd_get_value(s.client, "com.apple.mobile.battery", "NoSuchKey", &raw),
              LOCKDOWN_E_MISSING_VALUE);
    EXPECT_EQ(raw, nullptr);
}

TEST(PlainClient, WithoutSessionOnlyPublicValuesAreServed) {
    SimHarness sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    Session s;
    s.device = open_device(kIphoneUdid);
    ASSERT_EQ(lockdownd_client_new(s.device, &s.client, "libtarvo_tests"), LOCKDOWN_E_SUCCESS);
    char *type = nullptr;
    ASSERT_EQ(lockdownd_query_type(s.client, &type), LOCKDOWN_E_SUCCESS);
    EXPECT_STREQ(type, "com.apple.mobile.lockdown");
    std::free(type);

    plist_t raw = nullptr;
    ASSERT_EQ(lockdownd_get_value(s.client, nullptr, "ProductVersion", &raw), LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(string_of(PlistPtr(raw).get()), "17.5.1");
    EXPECT_EQ(lockdownd_get_value(s.client, "com.apple.mobile.battery", nullptr, &raw),
              LOCKDOWN_E_GET_PROHIBITED);
    EXPECT_EQ(lockdownd_set_value(s.client, nullptr, "DeviceName", plist_new_string("x")),
              LOCKDOWN_E_SESSION_INACTIVE);
    lockdownd_service_descriptor_t service = nullptr;
    EXPECT_EQ(lockdownd_start_service(s.client, "com.apple.afc", &service),
              LOCKDOWN_E_SESSION_INACTIVE);
    EXPECT_EQ(service, nullptr);
}

TEST(Pairing, EachDevicePolicyGivesItsCode) {
    ScratchDir dir;
    struct Case {
        const char *udid;
        const char *policy;
        lockdownd_error_t code;
    };
    const Case cases[] = {
        {"00008120-0000000000000D01", "deny", LOCKDOWN_E_USER_DENIED_PAIRING},
        {"00008120-0000000000000D02", "pending", LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING},
        {"00008120-0000000000000D03", "passcode", LOCKDOWN_E_PASSWORD_PROTECTED},
    };
    std::vector<std::string> fixtures;
    for (const Case &c : cases) {
        fixtures.push_back(device_fixture(
            dir, c.udid, std::string("<key>PairingPolicy</key><string>") + c.policy + "</string>"));
    }
    fixtures.push_back(appletv_fixture_dir());
    SimHarness sim(fixtures);
    ASSERT_TRUE(sim.ok()) << sim.error();

    for (const Case &c : cases) {
        Session s;
        s.device = open_device(c.udid);
        EXPECT_EQ(lockdownd_client_new_with_handshake(s.device, &s.client, "libtarvo_tests"),
                  c.code)
            << c.policy;
        EXPECT_EQ(s.client, nullptr);
        int result = 0;
        host_record(c.udid, &result);
        EXPECT_EQ(result, USERPREF_E_NOENT) << "nothing saved for a refused pairing";

        ASSERT_EQ(lockdownd_client_new(s.device, &s.client, "libtarvo_tests"), LOCKDOWN_E_SUCCESS);
        EXPECT_EQ(lockdownd_pair(s.client, nullptr), c.code) << c.policy;
    }

    Session network;
    network.device = open_device(kAppleTvUdid, TARVO_LOOKUP_NETWORK);
    EXPECT_EQ(
        lockdownd_client_new_with_handshake(network.device, &network.client, "libtarvo_tests"),
        LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION);
}

TEST(Pairing, UnpairedHostIsRefusedAndNotSilentlyRepaired) {
    SimHarness sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    Session s;
    s.device = open_device(kIphoneUdid);
    ASSERT_EQ(lockdownd_client_new(s.device, &s.client, "libtarvo_tests"), LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(lockdownd_validate_pair(s.client, nullptr), LOCKDOWN_E_INVALID_CONF)
        << "no record on the host yet";
    ASSERT_EQ(lockdownd_pair(s.client, nullptr), LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(lockdownd_validate_pair(s.client, nullptr), LOCKDOWN_E_SUCCESS);

    PlistPtr old_record = host_record(kIphoneUdid);
    ASSERT_TRUE(old_record);
    const std::string old_host_id = host_id_of(old_record.get());

    ASSERT_EQ(lockdownd_unpair(s.client, nullptr), LOCKDOWN_E_SUCCESS);
    int result = 0;
    host_record(kIphoneUdid, &result);
    EXPECT_EQ(result, USERPREF_E_NOENT) << "the host's record goes with the pairing";

    std::string host_id = old_host_id;
    lockdownd_pair_record forgotten = {};
    forgotten.host_id = host_id.data();
    EXPECT_EQ(lockdownd_validate_pair(s.client, &forgotten), LOCKDOWN_E_INVALID_HOST_ID);
    EXPECT_EQ(lockdownd_unpair(s.client, &forgotten), LOCKDOWN_E_INVALID_HOST_ID);

    // The host still believes in its old record: the handshake reports the
    // device's refusal and leaves the record alone.
    uint32_t handle = 0;
    tarvo_get_handle(s.device, &handle);
    ASSERT_EQ(userpref_save_pair_record(kIphoneUdid, handle, old_record.get()), 0);
    lockdownd_client_t refused = nullptr;
    EXPECT_EQ(lockdownd_client_new_with_handshake(s.device, &refused, "libtarvo_tests"),
              LOCKDOWN_E_INVALID_HOST_ID);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(host_id_of(host_record(kIphoneUdid).get()), old_host_id);
}

TEST(Services, UnknownServiceAndEscrowBag) {
    SimHarness sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    Session s;
    s.device = open_device(kIphoneUdid);
    ASSERT_EQ(lockdownd_client_new_with_handshake(s.device, &s.client, "libtarvo_tests"),
              LOCKDOWN_E_SUCCESS);
    lockdownd_service_descriptor_t service = nullptr;
    EXPECT_EQ(lockdownd_start_service(s.client, "com.example.no.such.service", &service),
              LOCKDOWN_E_INVALID_SERVICE);
    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(
        lockdownd_start_service_with_escrow_bag(s.client, "com.example.no.such.service", &service),
        LOCKDOWN_E_INVALID_SERVICE);

    // The session can be left and entered again on the same connection.
    char *host_id = nullptr;
    pair_record_get_host_id(host_record(kIphoneUdid).get(), &host_id);
    CString owned_host_id(host_id);
    ASSERT_TRUE(owned_host_id);
    char *session_id = nullptr;
    int ssl = 0;
    ASSERT_EQ(lockdownd_start_session(s.client, host_id, &session_id, &ssl), LOCKDOWN_E_SUCCESS);
    CString owned_session(session_id);
    EXPECT_EQ(ssl, 1);
    ASSERT_EQ(lockdownd_stop_session(s.client, session_id), LOCKDOWN_E_SUCCESS);
    char *type = nullptr;
    ASSERT_EQ(lockdownd_query_type(s.client, &type), LOCKDOWN_E_SUCCESS) << "plain again";
    std::free(type);
    EXPECT_EQ(lockdownd_start_service(s.client, "com.example.no.such.service", &service),
              LOCKDOWN_E_SESSION_INACTIVE);
}

// Laid out as the pairing-policy table above, but kept apart: each table names its own device keys.
TEST(HostileDevice, EveryFaultEndsInAnErrorCode) {
    ScratchDir dir;
    struct Case {
        const char *udid;
        const char *fault;
        lockdownd_error_t code;
    };
    // Stall costs one full lockdown receive timeout; it is the bound we test.
    const Case cases[] = {
        {"00008120-0000000000000F01", "HugeLength", LOCKDOWN_E_PLIST_ERROR},
        {"00008120-0000000000000F02", "Truncated", LOCKDOWN_E_MUX_ERROR},
        {"00008120-0000000000000F03", "NotPlist", LOCKDOWN_E_PLIST_ERROR},
        {"00008120-0000000000000F04", "Stall", LOCKDOWN_E_RECEIVE_TIMEOUT},
        {"00008120-0000000000000F05", "Close", LOCKDOWN_E_MUX_ERROR},
    };
    std::vector<std::string> fixtures;
    for (const Case &c : cases) {
        fixtures.push_back(
            device_fixture(dir, c.udid,
                           std::string("<key>Faults</key><dict><key>GetValue</key><string>") +
                               c.fault + "</string></dict>"));
    }
    SimHarness sim(fixtures);
    ASSERT_TRUE(sim.ok()) << sim.error();

    for (const Case &c : cases) {
        Session s;
        s.device = open_device(c.udid);
        ASSERT_EQ(lockdownd_client_new(s.device, &s.client, "libtarvo_tests"), LOCKDOWN_E_SUCCESS);
        plist_t value = nullptr;
        EXPECT_EQ(lockdownd_get_value(s.client, nullptr, "DeviceName", &value), c.code) << c.fault;
        EXPECT_EQ(value, nullptr);
        // A broken exchange is not retried on the same connection.
        char *type = nullptr;
        EXPECT_NE(lockdownd_query_type(s.client, &type), LOCKDOWN_E_SUCCESS) << c.fault;
        EXPECT_EQ(type, nullptr);
    }
}

TEST(HostileDevice, FaultDuringHandshakeFailsTheHandshake) {
    ScratchDir dir;
    const char *udid = "00008120-0000000000000F10";
    SimHarness sim({device_fixture(
        dir, udid,
        "<key>Faults</key><dict><key>StartSession</key><string>NotPlist</string></dict>")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Session s;
    s.device = open_device(udid);
    EXPECT_EQ(lockdownd_client_new_with_handshake(s.device, &s.client, "libtarvo_tests"),
              LOCKDOWN_E_PLIST_ERROR);
    EXPECT_EQ(s.client, nullptr);
}

TEST(Debug, TrafficIsPrintedWhenEnabled) {
    SimHarness sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    Session s;
    s.device = open_device(kIphoneUdid);
    ASSERT_EQ(lockdownd_client_new(s.device, &s.client, "libtarvo_tests"), LOCKDOWN_E_SUCCESS);
    testing::internal::CaptureStderr();
    tarvo_set_debug_level(1);
    char *type = nullptr;
    lockdownd_error_t r = lockdownd_query_type(s.client, &type);
    tarvo_set_debug_level(0);
    std::free(type);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, LOCKDOWN_E_SUCCESS);
    EXPECT_NE(printed.find("send com.apple.mobile.lockdown"), std::string::npos) << printed;
    EXPECT_NE(printed.find("recv com.apple.mobile.lockdown"), std::string::npos) << printed;
    EXPECT_NE(printed.find("<string>QueryType</string>"), std::string::npos) << printed;
}

}  // namespace
