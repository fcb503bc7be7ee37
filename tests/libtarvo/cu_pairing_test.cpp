// Wireless pairing end to end against the in-process simulator: the right
// PIN pairs, leaves a usable pair record and lets the host into a TLS
// session; a wrong PIN, a USB device, a device out of pairing mode and a
// device that breaks off each end in their code, with nothing saved.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "owners.h"
#include "plist_items.h"
#include "scratch_dir.h"
#include "sim_harness.h"
#include "tarvo.h"
#include "userpref.h"

namespace {

constexpr const char *kPin = "246810";
constexpr const char *kTvUdid = "00008110-0000000000C0FFEE";
constexpr const char *kTvWiFi = "02:11:22:33:44:55";

// A device with the bundled key, its WiFiAddress and the given extra keys.
std::string device_fixture(const ScratchDir &dir, const std::string &udid,
                           const std::string &connection, const std::string &extra_keys) {
    const std::string keys = "<key>UniqueDeviceID</key><string>" + udid + "</string>" +
                             "<key>ConnectionType</key><string>" + connection + "</string>" +
                             "<key>GlobalDomain</key><dict>"
                             "<key>DeviceName</key><string>Den TV</string>"
                             "<key>ProductType</key><string>AppleTV14,1</string>"
                             "<key>ProductVersion</key><string>17.5</string>"
                             "<key>WiFiAddress</key><string>" +
                             kTvWiFi + "</string></dict>" + extra_keys +
                             SimHarness::bundled_private_key_xml();
    return SimHarness::make_fixture(dir.path(), SimHarness::device_plist(keys));
}

std::string pin_xml(const std::string &pin) {
    return "<key>PairingPIN</key><string>" + pin + "</string>";
}

// What the pairing callback saw, and the PIN it types.
struct Recorder {
    std::string pin_to_type;
    std::vector<int> calls;
    uint32_t offered_capacity = 0;
    std::vector<std::string> errors;
    PlistPtr device_info;
};

void record_callback(lockdownd_cu_pairing_cb_type_t type, void *user_data, void *data,
                     uint32_t *data_size) {
    auto *recorder = static_cast<Recorder *>(user_data);
    recorder->calls.push_back(type);
    switch (type) {
        case LOCKDOWN_CU_PAIRING_PIN_REQUESTED: {
            recorder->offered_capacity = *data_size;
            const std::size_t length =
                std::min<std::size_t>(recorder->pin_to_type.size(), *data_size - 1);
            std::memcpy(data, recorder->pin_to_type.data(), length);
            static_cast<char *>(data)[length] = '\0';
            *data_size = static_cast<uint32_t>(length);
            break;
        }
        case LOCKDOWN_CU_PAIRING_DEVICE_INFO:
            recorder->device_info.reset(plist_copy(static_cast<plist_t>(data)));
            break;
        case LOCKDOWN_CU_PAIRING_ERROR:
            recorder->errors.emplace_back(data ? static_cast<const char *>(data) : "(null)");
            break;
    }
}

struct Client {
    tarvo_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;

    explicit Client(const char *udid, tarvo_options lookup = TARVO_LOOKUP_NETWORK) {
        EXPECT_EQ(tarvo_new_with_options(&device, udid, lookup), TARVO_E_SUCCESS) << udid;
        if (device) {
            EXPECT_EQ(lockdownd_client_new(device, &lockdown, "cu_pairing_test"),
                      LOCKDOWN_E_SUCCESS);
        }
    }
    ~Client() {
        lockdownd_client_free(lockdown);
        tarvo_free(device);
    }
};

std::string string_item(plist_t dict, const char *key) {
    return tarvo::string_item(dict, key).value_or("(missing)");
}

std::string data_item(plist_t dict, const char *key) {
    const std::optional<std::vector<uint8_t>> bytes = tarvo::data_item(dict, key);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "(missing)";
}

int pair_record_state(const char *udid) {
    plist_t raw = nullptr;
    const int result = userpref_read_pair_record(udid, &raw);
    plist_free(raw);
    return result;
}

TEST(WirelessPairing, RightPinPairsStoresHostInfoAndTheRecordOpensASession) {
    ScratchDir dir;
    SimHarness sim({device_fixture(
        dir, kTvUdid, "Network",
        pin_xml(kPin) + "<key>DeviceInfo</key><dict><key>name</key><string>Den TV</string>"
                        "<key>model</key><string>Tarvo TV 4K</string></dict>")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Client client(kTvUdid);
    ASSERT_TRUE(client.lockdown);

    PlistPtr host_info(plist_new_dict());
    plist_dict_set_item(host_info.get(), "hostName", plist_new_string("build-box"));
    plist_dict_set_item(host_info.get(), "accountID", plist_new_string("A1B2"));
    Recorder recorder{kPin, {}, 0, {}, nullptr};
    ASSERT_EQ(lockdownd_cu_pairing_create(client.lockdown, record_callback, &recorder,
                                          host_info.get(), nullptr),
              LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(recorder.calls, (std::vector<int>{LOCKDOWN_CU_PAIRING_PIN_REQUESTED,
                                                LOCKDOWN_CU_PAIRING_DEVICE_INFO}))
        << "the device tells about itself only after the PIN was proved";
    EXPECT_GE(recorder.offered_capacity, 64u);
    EXPECT_EQ(string_item(recorder.device_info.get(), "model"), "Tarvo TV 4K");
    EXPECT_EQ(pair_record_state(kTvUdid), USERPREF_E_NOENT) << "nothing saved before pair_cu";

    ASSERT_EQ(lockdownd_pair_cu(client.lockdown), LOCKDOWN_E_SUCCESS);
    EXPECT_TRUE(recorder.errors.empty());
    EXPECT_EQ(lockdownd_pair_cu(client.lockdown), LOCKDOWN_E_NO_RUNNING_SESSION)
        << "one pairing per PIN exchange";

    plist_t raw = nullptr;
    ASSERT_EQ(userpref_read_pair_record(kTvUdid, &raw), USERPREF_E_SUCCESS);
    PlistPtr record(raw);
    for (const char *key : {"DeviceCertificate", "HostCertificate", "HostPrivateKey",
                            "RootCertificate", "RootPrivateKey", "EscrowBag"}) {
        EXPECT_NE(data_item(record.get(), key), "(missing)") << key;
    }
    EXPECT_EQ(string_item(record.get(), "WiFiMACAddress"), kTvWiFi);
    char *buid = nullptr;
    ASSERT_EQ(userpref_read_system_buid(&buid), 0);
    CString owned_buid(buid);
    EXPECT_EQ(string_item(record.get(), "SystemBUID"), buid);
    const std::string host_id = string_item(record.get(), "HostID");
    ASSERT_EQ(host_id.size(), 36u);

    // The device keeps the host's info with the host it now trusts.
    std::optional<tarvosim::TrustedHost> trusted =
        sim.simulator().devices().front()->state().trusted_host(host_id);
    ASSERT_TRUE(trusted);
    EXPECT_EQ(std::string(trusted->escrow_bag.begin(), trusted->escrow_bag.end()),
              data_item(record.get(), "EscrowBag"));
    plist_t stored = nullptr;
    plist_from_xml(trusted->host_info_xml.data(),
                   static_cast<uint32_t>(trusted->host_info_xml.size()), &stored);
    PlistPtr stored_info(stored);
    EXPECT_EQ(string_item(stored_info.get(), "hostName"), "build-box");
    EXPECT_EQ(string_item(stored_info.get(), "accountID"), "A1B2");

    // Validation works as after a USB pairing: TLS session over the network.
    EXPECT_EQ(lockdownd_validate_pair(client.lockdown, nullptr), LOCKDOWN_E_SUCCESS);
    Client again(kTvUdid);
    lockdownd_client_t session = nullptr;
    ASSERT_EQ(lockdownd_client_new_with_handshake(again.device, &session, "cu_pairing_test"),
              LOCKDOWN_E_SUCCESS);
    char *name = nullptr;
    EXPECT_EQ(lockdownd_get_device_name(session, &name), LOCKDOWN_E_SUCCESS);
    CString owned_name(name);
    EXPECT_STREQ(name, "Den TV");
    lockdownd_client_free(session);
}

TEST(WirelessPairing, WrongPinReportsTheDevicesErrorAndTheRightOneStillWorks) {
    ScratchDir dir;
    SimHarness sim({device_fixture(dir, kTvUdid, "Network", pin_xml(kPin))});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Client client(kTvUdid);
    ASSERT_TRUE(client.lockdown);

    Recorder wrong{"246811", {}, 0, {}, nullptr};
    EXPECT_EQ(
        lockdownd_cu_pairing_create(client.lockdown, record_callback, &wrong, nullptr, nullptr),
        LOCKDOWN_E_PAIRING_FAILED);
    EXPECT_EQ(wrong.errors, std::vector<std::string>{"The PIN is not correct"});
    EXPECT_FALSE(wrong.device_info);
    EXPECT_EQ(lockdownd_pair_cu(client.lockdown), LOCKDOWN_E_NO_RUNNING_SESSION);
    EXPECT_EQ(pair_record_state(kTvUdid), USERPREF_E_NOENT);

    // A PIN typed longer than the buffer is cut, and so is wrong too.
    Recorder flood{std::string(500, '7'), {}, 0, {}, nullptr};
    EXPECT_EQ(
        lockdownd_cu_pairing_create(client.lockdown, record_callback, &flood, nullptr, nullptr),
        LOCKDOWN_E_PAIRING_FAILED);

    Recorder right{kPin, {}, 0, {}, nullptr};
    ASSERT_EQ(
        lockdownd_cu_pairing_create(client.lockdown, record_callback, &right, nullptr, nullptr),
        LOCKDOWN_E_SUCCESS);
    // The default device info: name, model, UDID and MAC from the device's values.
    EXPECT_EQ(string_item(right.device_info.get(), "DeviceName"), "Den TV");
    EXPECT_EQ(string_item(right.device_info.get(), "ProductType"), "AppleTV14,1");
    EXPECT_EQ(string_item(right.device_info.get(), "UniqueDeviceID"), kTvUdid);
    EXPECT_EQ(string_item(right.device_info.get(), "WiFiAddress"), kTvWiFi);
    ASSERT_EQ(lockdownd_pair_cu(client.lockdown), LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(pair_record_state(kTvUdid), USERPREF_E_SUCCESS);
}

TEST(WirelessPairing, DevicesThatCannotPairThisWayAndBadArguments) {
    ScratchDir dir;
    const char *usb = "00008120-0000000000C0FF01";
    const char *idle_tv = "00008110-0000000000C0FF02";
    SimHarness sim({device_fixture(dir, usb, "USB", pin_xml(kPin)),
                    device_fixture(dir, idle_tv, "Network", "")});
    ASSERT_TRUE(sim.ok()) << sim.error();

    // Each table test spells its own cases out, so that a failing row reads on its own.
    struct Case {
        const char *udid;
        tarvo_options lookup;
        lockdownd_error_t code;
        const char *error_text_part;
    };
    const Case cases[] = {
        {usb, TARVO_LOOKUP_USBMUX, LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION, "USB"},
        {idle_tv, TARVO_LOOKUP_NETWORK, LOCKDOWN_E_PAIRING_FAILED, "not in pairing mode"},
    };
    for (const Case &c : cases) {
        Client client(c.udid, c.lookup);
        ASSERT_TRUE(client.lockdown);
        Recorder recorder{kPin, {}, 0, {}, nullptr};
        EXPECT_EQ(lockdownd_cu_pairing_create(client.lockdown, record_callback, &recorder, nullptr,
                                              nullptr),
                  c.code)
            << c.udid;
        ASSERT_EQ(recorder.errors.size(), 1u) << c.udid;
        EXPECT_NE(recorder.errors[0].find(c.error_text_part), std::string::npos)
            << recorder.errors[0];
        EXPECT_EQ(recorder.calls, std::vector<int>{LOCKDOWN_CU_PAIRING_ERROR})
            << "no PIN asked for";
        EXPECT_EQ(pair_record_state(c.udid), USERPREF_E_NOENT);
    }

    Client client(idle_tv);
    ASSERT_TRUE(client.lockdown);
    Recorder recorder{kPin, {}, 0, {}, nullptr};
    PlistPtr not_a_dict(plist_new_array());
    PlistPtr acl(plist_new_dict());
    EXPECT_EQ(lockdownd_cu_pairing_create(nullptr, record_callback, &recorder, nullptr, nullptr),
              LOCKDOWN_E_INVALID_ARG);
    EXPECT_EQ(lockdownd_cu_pairing_create(client.lockdown, nullptr, nullptr, nullptr, nullptr),
              LOCKDOWN_E_INVALID_ARG);
    EXPECT_EQ(lockdownd_cu_pairing_create(client.lockdown, record_callback, &recorder,
                                          not_a_dict.get(), nullptr),
              LOCKDOWN_E_INVALID_ARG);
    EXPECT_EQ(lockdownd_cu_pairing_create(client.lockdown, record_callback, &recorder, nullptr,
                                          acl.get()),
              LOCKDOWN_E_INVALID_ARG);
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_EQ(lockdownd_pair_cu(nullptr), LOCKDOWN_E_INVALID_ARG);
    EXPECT_EQ(lockdownd_pair_cu(client.lockdown), LOCKDOWN_E_NO_RUNNING_SESSION);
}

TEST(WirelessPairing, ADeviceThatBreaksOffLeavesNoRecord) {
    ScratchDir dir;
    struct Case {
        const char *udid;
        const char *request;
        const char *fault;
        lockdownd_error_t create_code;
        lockdownd_error_t pair_code;
    };
    const Case cases[] = {
        {"00008110-0000000000C0FF10", "CUPairingVerify", "Close", LOCKDOWN_E_MUX_ERROR,
         LOCKDOWN_E_NO_RUNNING_SESSION},
        {"00008110-0000000000C0FF11", "CUPairingExchange", "NotPlist", LOCKDOWN_E_PLIST_ERROR,
         LOCKDOWN_E_NO_RUNNING_SESSION},
        {"00008110-0000000000C0FF12", "CUPairingFinish", "Truncated", LOCKDOWN_E_SUCCESS,
         LOCKDOWN_E_MUX_ERROR},
    };
    std::vector<std::string> fixtures;
    for (const Case &c : cases) {
        fixtures.push_back(device_fixture(dir, c.udid, "Network",
                                          pin_xml(kPin) + "<key>Faults</key><dict><key>" +
                                              c.request + "</key><string>" + c.fault +
                                              "</string></dict>"));
    }
    SimHarness sim(fixtures);
    ASSERT_TRUE(sim.ok()) << sim.error();
    for (const Case &c : cases) {
        Client client(c.udid);
        ASSERT_TRUE(client.lockdown);
        Recorder recorder{kPin, {}, 0, {}, nullptr};
        EXPECT_EQ(lockdownd_cu_pairing_create(client.lockdown, record_callback, &recorder, nullptr,
                                              nullptr),
                  c.create_code)
            << c.fault;
        EXPECT_EQ(lockdownd_pair_cu(client.lockdown), c.pair_code) << c.fault;
        EXPECT_EQ(pair_record_state(c.udid), USERPREF_E_NOENT) << c.fault;
    }
}

}  // namespace
