// Lockdown of a simulated device, driven over the real socket by a raw
// client: what a host may see before and after pairing, each pairing
// policy, sessions under TLS, and each fault a fixture can play.
#include "lockdown_server.h"

#include <gtest/gtest.h>

#include <regex>

#include "device_keys.h"
#include "global_domain.h"
#include "lockdown_test_client.h"
#include "plist_items.h"
#include "sim_harness.h"
#include "sim_test_support.h"

namespace tarvosim {
namespace {

using testing::data_of;
using testing::LockdownTestClient;
using testing::make_host_pair_record;
using testing::Received;

constexpr const char *kIphoneUdid = "00008120-001A2B3C4D5E6F7A";
constexpr const char *kHostId = "5C8F5D2E-4B0A-4E59-9B8E-8D6A1F3C2B71";
constexpr const char *kBuid = "0E1D2C3B-4A59-4687-9A8B-7C6D5E4F3A21";

plist_t dict_with(const char *key, plist_t value) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, key, value);
    return dict;
}

plist_t pair_request(plist_t record) {
    plist_t request = plist_new_dict();
    plist_dict_set_item(request, "PairRecord", plist_copy(record));
    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "ExtendedPairingErrors", plist_new_bool(1));
    plist_dict_set_item(request, "PairingOptions", options);
    return request;
}

plist_t host_id_request(const char *host_id) {
    return dict_with("PairRecord", dict_with("HostID", plist_new_string(host_id)));
}

plist_t value_request(const char *domain, const char *key, plist_t value = nullptr) {
    plist_t request = plist_new_dict();
    if (domain) {
        plist_dict_set_item(request, "Domain", plist_new_string(domain));
    }
    if (key) {
        plist_dict_set_item(request, "Key", plist_new_string(key));
    }
    if (value) {
        plist_dict_set_item(request, "Value", value);
    }
    return request;
}

std::string string_of(plist_t node) {
    return tarvo::string_value(node).value_or("<not a string>");
}

std::string fixture_keys(const std::string &udid, const std::string &more = "") {
    return "<key>UniqueDeviceID</key><string>" + udid + "</string>" +
           SimHarness::bundled_private_key_xml() + more;
}

class LockdownServerTest : public ::testing::Test {
  protected:
    /// Starts the simulator with one fixture made of these top-level keys
    /// (the bundled iPhone when empty).
    void start(const std::string &keys = "") {
        std::vector<std::string> fixtures;
        if (!keys.empty()) {
            fixtures.push_back(
                SimHarness::make_fixture(scratch_.path(), SimHarness::device_plist(keys)));
        }
        sim_.reset();  // the old harness restores the environment as it goes
        sim_ = std::make_unique<SimHarness>(fixtures);
        ASSERT_TRUE(sim_->ok()) << sim_->error();
    }

    /// Reads the device's public key and makes a host pair record for it.
    PlistPtr host_record(LockdownTestClient &client, const char *host_id = kHostId) {
        Received key = client.request("GetValue", value_request(nullptr, "DevicePublicKey"));
        std::vector<uint8_t> pem = data_of(key.item("Value"));
        EXPECT_FALSE(pem.empty()) << key.error();
        return make_host_pair_record(pem, host_id, kBuid);
    }

    PlistPtr pair(LockdownTestClient &client, const char *host_id = kHostId) {
        PlistPtr record = host_record(client, host_id);
        EXPECT_TRUE(record);
        if (!record) {
            return nullptr;
        }
        Received paired = client.request("Pair", pair_request(record.get()));
        EXPECT_EQ(paired.error(), "<missing>");
        EXPECT_EQ(data_of(paired.item("EscrowBag")).size(), 32u);
        return record;
    }

    /// StartSession and the TLS handshake; returns the session id.
    std::string start_session(LockdownTestClient &client, plist_t record,
                              const char *host_id = kHostId) {
        plist_t request = dict_with("HostID", plist_new_string(host_id));
        plist_dict_set_item(request, "SystemBUID", plist_new_string(kBuid));
        Received started = client.request("StartSession", request);
        EXPECT_EQ(started.error(), "<missing>");
        plist_t ssl = started.item("EnableSessionSSL");
        EXPECT_TRUE(ssl && plist_get_node_type(ssl) == PLIST_BOOLEAN);
        std::string error;
        EXPECT_TRUE(client.start_tls(record, &error)) << error;
        return started.string_at("SessionID");
    }

    testing::TempDir scratch_;
    std::unique_ptr<SimHarness> sim_;
};

TEST_F(LockdownServerTest, QueryTypeNamesLockdownOrTheFixturesType) {
    start();
    LockdownTestClient client;
    ASSERT_TRUE(client.connect(kIphoneUdid));
    Received reply = client.request("QueryType");
    EXPECT_EQ(reply.string_at("Request"), "QueryType");
    EXPECT_EQ(reply.string_at("Type"), "com.apple.mobile.lockdown");

    start(fixture_keys("ODD-TYPE", "<key>QueryType</key><string>com.example.notlockdown</string>"));
    LockdownTestClient odd;
    ASSERT_TRUE(odd.connect("ODD-TYPE"));
    EXPECT_EQ(odd.request("QueryType").string_at("Type"), "com.example.notlockdown");
}

TEST_F(LockdownServerTest, WithoutSessionOnlyIdentityValuesAreServed) {
    start();
    LockdownTestClient client;
    ASSERT_TRUE(client.connect(kIphoneUdid));

    Received all = client.request("GetValue");
    plist_t values = all.item("Value");
    ASSERT_TRUE(values && plist_get_node_type(values) == PLIST_DICT) << all.error();
    EXPECT_EQ(plist_dict_get_size(values), 9u);
    EXPECT_EQ(string_of(plist_dict_get_item(values, "DeviceName")), "Tarvo iPhone");
    EXPECT_EQ(plist_dict_get_item(values, "UniqueChipID"), nullptr);
    const std::vector<uint8_t> key = data_of(plist_dict_get_item(values, "DevicePublicKey"));
    EXPECT_TRUE(std::string(key.begin(), key.end()).starts_with("-----BEGIN RSA PUBLIC KEY-----"));

    struct Case {
        const char *domain;
        const char *key;
        const char *value;  // null: expect `error`
        const char *error;
    };
    const Case cases[] = {
        {nullptr, "ProductVersion", "17.5.1", nullptr},
        {nullptr, "UniqueDeviceID", kIphoneUdid, nullptr},
        {nullptr, "WiFiAddress", "a4:c3:f0:5e:21:7b", nullptr},
        {nullptr, "UniqueChipID", nullptr, "GetProhibited"},
        {nullptr, "NoSuchKey", nullptr, "GetProhibited"},
        {"com.apple.mobile.battery", "BatteryCurrentCapacity", nullptr, "GetProhibited"},
        {"com.apple.mobile.battery", nullptr, nullptr, "GetProhibited"},
    };
    for (const Case &c : cases) {
        Received reply = client.request("GetValue", value_request(c.domain, c.key));
        if (c.value) {
            EXPECT_EQ(string_of(reply.item("Value")), c.value) << c.key;
            EXPECT_EQ(reply.string_at("Key"), c.key);
        } else {
            EXPECT_EQ(reply.error(), c.error) << (c.key ? c.key : c.domain);
            EXPECT_EQ(reply.string_at("Request"), "GetValue");
        }
    }
}

TEST_F(LockdownServerTest, MissingIdentityValueAndMadeUpWifiAddress) {
    start(fixture_keys("BARE-1"));
    LockdownTestClient client;
    ASSERT_TRUE(client.connect("BARE-1"));
    EXPECT_EQ(client.request("GetValue", value_request(nullptr, "SerialNumber")).error(),
              "MissingValue");
    const std::string mac =
        string_of(client.request("GetValue", value_request(nullptr, "WiFiAddress")).item("Value"));
    EXPECT_TRUE(std::regex_match(mac, std::regex("([0-9a-f]{2}:){5}[0-9a-f]{2}"))) << mac;
    EXPECT_EQ(mac, made_up_wifi_address("BARE-1"));
    EXPECT_NE(mac, made_up_wifi_address("BARE-2"));
}

TEST_F(LockdownServerTest, EachPairingPolicyRefusesWithItsOwnError) {
    struct Case {
        const char *policy;
        const char *error;
    };
    for (const Case &c :
         {Case{"deny", "UserDeniedPairing"}, Case{"pending", "PairingDialogResponsePending"},
          Case{"passcode", "PasswordProtected"}}) {
        start(fixture_keys(
            "POLICY-1", std::string("<key>PairingPolicy</key><string>") + c.policy + "</string>"));
        LockdownTestClient client;
        ASSERT_TRUE(client.connect("POLICY-1"));
        PlistPtr record = host_record(client);
        ASSERT_TRUE(record);
        EXPECT_EQ(client.request("Pair", pair_request(record.get())).error(), c.error) << c.policy;
        EXPECT_EQ(client.request("ValidatePair", host_id_request(kHostId)).error(), "InvalidHostID")
            << c.policy;
    }
}

TEST_F(LockdownServerTest, NetworkDeviceRefusesPlainPair) {
    start(fixture_keys("NET-1", "<key>ConnectionType</key><string>Network</string>"));
    LockdownTestClient client;
    ASSERT_TRUE(client.connect("NET-1"));
    PlistPtr record = host_record(client);
    ASSERT_TRUE(record);
    EXPECT_EQ(client.request("Pair", pair_request(record.get())).error(),
              "PairingProhibitedOverThisConnection");
}

TEST_F(LockdownServerTest, PairRefusesRecordsThatDoNotFitTheDevice) {
    start();
    LockdownTestClient client;
    ASSERT_TRUE(client.connect(kIphoneUdid));
    PlistPtr record = host_record(client);
    ASSERT_TRUE(record);

    // A device certificate made for another key.
    std::string error;
    EvpPkeyPtr other = generate_rsa_key(kDeviceKeyBits, &error);
    ASSERT_TRUE(other) << error;
    const std::string other_pem = rsa_public_key_to_pkcs1_pem(other.get());
    PlistPtr foreign = make_host_pair_record(
        std::vector<uint8_t>(other_pem.begin(), other_pem.end()), kHostId, kBuid);
    ASSERT_TRUE(foreign);
    EXPECT_EQ(client.request("Pair", pair_request(foreign.get())).error(), "InvalidPairRecord");

    // The right device certificate, but the host certificate of another root.
    PlistPtr mixed(plist_copy(record.get()));
    plist_dict_set_item(mixed.get(), "HostCertificate",
                        plist_copy(plist_dict_get_item(foreign.get(), "HostCertificate")));
    EXPECT_EQ(client.request("Pair", pair_request(mixed.get())).error(), "InvalidPairRecord");

    PlistPtr no_host(plist_copy(record.get()));
    plist_dict_remove_item(no_host.get(), "HostID");
    EXPECT_EQ(client.request("Pair", pair_request(no_host.get())).error(), "MissingHostID");
    EXPECT_EQ(client.request("Pair").error(), "InvalidPairRecord");

    EXPECT_EQ(client.request("ValidatePair", host_id_request(kHostId)).error(), "InvalidHostID");
}

TEST_F(LockdownServerTest, SessionsNeedATrustedHost) {
    start();
    LockdownTestClient client;
    ASSERT_TRUE(client.connect(kIphoneUdid));
    EXPECT_EQ(
        client.request("StartSession", dict_with("HostID", plist_new_string(kHostId))).error(),
        "InvalidHostID");
    EXPECT_EQ(client.request("StartSession").error(), "MissingHostID");
    for (const char *request : {"SetValue", "RemoveValue", "StartService", "StopSession"}) {
        EXPECT_EQ(client.request(request, value_request(nullptr, "DeviceName")).error(),
                  "SessionInactive")
            << request;
    }
    EXPECT_EQ(client.request("Unpair", host_id_request(kHostId)).error(), "InvalidHostID");
}

TEST_F(LockdownServerTest, PairedHostGetsATlsSessionWithTheFullValues) {
    start();
    LockdownTestClient client;
    ASSERT_TRUE(client.connect(kIphoneUdid));
    PlistPtr record = pair(client);
    ASSERT_TRUE(record);
    EXPECT_EQ(client.request("ValidatePair", host_id_request(kHostId)).error(), "<missing>");
    const std::string session = start_session(client, record.get());
    ASSERT_NE(client.ssl(), nullptr);
    EXPECT_EQ(
        client.request("StartSession", dict_with("HostID", plist_new_string(kHostId))).error(),
        "SessionActive");

    Received battery = client.request(
        "GetValue", value_request("com.apple.mobile.battery", "BatteryCurrentCapacity"));
    EXPECT_EQ(battery.string_at("Domain"), "com.apple.mobile.battery");
    EXPECT_EQ(tarvo::uint_value(battery.item("Value")), 87u);
    Received international =
        client.request("GetValue", value_request("com.apple.international", nullptr));
    EXPECT_EQ(string_of(plist_dict_get_item(international.item("Value"), "Language")), "en");
    Received global = client.request("GetValue");
    EXPECT_NE(plist_dict_get_item(global.item("Value"), "UniqueChipID"), nullptr);
    EXPECT_EQ(client.request("GetValue", value_request("com.example.none", nullptr)).error(),
              "MissingValue");
    EXPECT_EQ(client.request("GetValue", value_request(nullptr, "NoSuchKey")).error(),
              "MissingValue");

    EXPECT_EQ(
        client
            .request("SetValue", value_request(nullptr, "DeviceName", plist_new_string("Renamed")))
            .error(),
        "<missing>");
    EXPECT_EQ(
        string_of(client.request("GetValue", value_request(nullptr, "DeviceName")).item("Value")),
        "Renamed");
    EXPECT_EQ(
        client.request("SetValue", value_request(nullptr, "UniqueDeviceID", plist_new_string("X")))
            .error(),
        "SetProhibited");
    EXPECT_EQ(client.request("SetValue", value_request(nullptr, "DeviceName")).error(),
              "MissingValue");
    EXPECT_EQ(
        client.request("SetValue", value_request(nullptr, nullptr, plist_new_bool(1))).error(),
        "MissingKey");
    EXPECT_EQ(
        client.request("RemoveValue", value_request("com.apple.international", "Locale")).error(),
        "<missing>");
    EXPECT_EQ(
        client.request("GetValue", value_request("com.apple.international", "Locale")).error(),
        "MissingValue");
    EXPECT_EQ(
        client.request("RemoveValue", value_request("com.apple.international", "Locale")).error(),
        "MissingValue");

    Received service = client.request(
        "StartService", dict_with("Service", plist_new_string("com.example.unknown")));
    EXPECT_EQ(service.error(), "InvalidService");
    EXPECT_EQ(service.string_at("Request"), "StartService");

    EXPECT_EQ(
        client.request("StopSession", dict_with("SessionID", plist_new_string("WRONG"))).error(),
        "InvalidSessionID");
    Received stopped =
        client.request("StopSession", dict_with("SessionID", plist_new_string(session.c_str())));
    EXPECT_EQ(stopped.error(), "<missing>");
    EXPECT_TRUE(client.stop_tls());
    // Plain framing again, with the unsessioned rules.
    EXPECT_EQ(client.request("QueryType").string_at("Type"), "com.apple.mobile.lockdown");
    EXPECT_EQ(
        client.request("GetValue", value_request("com.apple.mobile.battery", nullptr)).error(),
        "GetProhibited");

    // The device remembers the host and the changes across a restart.
    client.disconnect();
    sim_->restart();
    ASSERT_TRUE(sim_->ok()) << sim_->error();
    LockdownTestClient again;
    ASSERT_TRUE(again.connect(kIphoneUdid));
    EXPECT_EQ(
        string_of(again.request("GetValue", value_request(nullptr, "DeviceName")).item("Value")),
        "Renamed");
    start_session(again, record.get());
    EXPECT_EQ(again.request("GetValue", value_request("com.apple.international", "Locale")).error(),
              "MissingValue");
}

// Opens as the pairing tests above do; each names its own device and record.
TEST_F(LockdownServerTest, UnpairForgetsTheHost) {
    start();
    LockdownTestClient client;
    ASSERT_TRUE(client.connect(kIphoneUdid));
    PlistPtr record = pair(client);
    ASSERT_TRUE(record);
    EXPECT_EQ(client.request("Unpair", host_id_request(kHostId)).error(), "<missing>");
    EXPECT_EQ(client.request("ValidatePair", host_id_request(kHostId)).error(), "InvalidHostID");
    EXPECT_EQ(
        client.request("StartSession", dict_with("HostID", plist_new_string(kHostId))).error(),
        "InvalidHostID");
    EXPECT_EQ(client.request("Unpair", host_id_request(kHostId)).error(), "InvalidHostID");
}

TEST_F(LockdownServerTest, TlsRefusesAHostCertificateFromAnotherPairing) {
    start();
    LockdownTestClient client;
    ASSERT_TRUE(client.connect(kIphoneUdid));
    PlistPtr record = pair(client);
    PlistPtr stranger = host_record(client, "STRANGER");
    ASSERT_TRUE(record && stranger);
    // The device's certificate from the pairing, the host's from elsewhere.
    PlistPtr forged(plist_copy(record.get()));
    for (const char *item : {"HostCertificate", "HostPrivateKey"}) {
        plist_dict_set_item(forged.get(), item,
                            plist_copy(plist_dict_get_item(stranger.get(), item)));
    }
    Received started =
        client.request("StartSession", dict_with("HostID", plist_new_string(kHostId)));
    ASSERT_EQ(started.error(), "<missing>");
    std::string error;
    // With TLS 1.3 the client may finish its side before the device refuses;
    // either way no request gets an answer.
    if (client.start_tls(forged.get(), &error)) {
        EXPECT_NE(client.request("QueryType").kind, Received::kPlist);
    }
    EXPECT_TRUE(client.sees_end());
}

struct FaultCase {
    const char *fault;
    Received::Kind seen;
    bool connection_stays;
};

void PrintTo(const FaultCase &fault, std::ostream *out) {
    *out << fault.fault;
}

class LockdownFaultTest : public LockdownServerTest,
                          public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LockdownFaultTest, HostSeesTheFault) {
    start(fixture_keys("FAULTY-1",
                       std::string("<key>Faults</key><dict><key>QueryType</key><string>") +
                           GetParam().fault + "</string></dict>"));
    LockdownTestClient client;
    ASSERT_TRUE(client.connect("FAULTY-1"));
    if (GetParam().seen == Received::kTimeout) {
        // Waiting for an answer that never comes: no need for the full wait.
        client.set_receive_wait(std::chrono::milliseconds(300));
    }
    Received reply = client.request("QueryType");
    EXPECT_EQ(reply.kind, GetParam().seen);
    if (GetParam().connection_stays) {
        EXPECT_TRUE(client.silent_for(std::chrono::milliseconds(200)));
    } else {
        EXPECT_TRUE(client.sees_end());
    }
    // Requests without a fault are still answered on a new connection.
    LockdownTestClient next;
    ASSERT_TRUE(next.connect("FAULTY-1"));
    EXPECT_EQ(next.request("GetValue", value_request(nullptr, "UniqueDeviceID")).kind,
              Received::kPlist);
}

INSTANTIATE_TEST_SUITE_P(EachFault, LockdownFaultTest,
                         ::testing::Values(FaultCase{"HugeLength", Received::kHugeLength, true},
                                           FaultCase{"Truncated", Received::kCutShort, false},
                                           FaultCase{"NotPlist", Received::kNotPlist, true},
                                           FaultCase{"Stall", Received::kTimeout, true},
                                           FaultCase{"Close", Received::kClosed, false}),
                         [](const auto &info) { return std::string(info.param.fault); });

TEST_F(LockdownServerTest, FaultWithConditionsHitsOnlyMatchingRequests) {
    start(fixture_keys("FAULTY-3",
                       "<key>Faults</key><dict><key>GetValue</key><dict>"
                       "<key>Fault</key><string>Close</string>"
                       "<key>Key</key><string>DeviceName</string></dict></dict>"));
    LockdownTestClient client;
    ASSERT_TRUE(client.connect("FAULTY-3"));
    EXPECT_EQ(client.request("GetValue", value_request(nullptr, "UniqueDeviceID")).string_at("Key"),
              "UniqueDeviceID");
    EXPECT_EQ(client.request("GetValue", value_request(nullptr, "DeviceName")).kind,
              Received::kClosed);
}

TEST_F(LockdownServerTest, FaultedRequestStillTakesEffect) {
    start(fixture_keys("FAULTY-2",
                       "<key>Faults</key><dict><key>Pair</key><string>Close</string></dict>"));
    LockdownTestClient client;
    ASSERT_TRUE(client.connect("FAULTY-2"));
    PlistPtr record = host_record(client);
    ASSERT_TRUE(record);
    EXPECT_EQ(client.request("Pair", pair_request(record.get())).kind, Received::kClosed);
    LockdownTestClient next;
    ASSERT_TRUE(next.connect("FAULTY-2"));
    EXPECT_EQ(next.request("ValidatePair", host_id_request(kHostId)).error(), "<missing>");
}

TEST_F(LockdownServerTest, GarbageDropsTheConnectionAndOddRequestsAreRefused) {
    start();
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    const Case garbage[] = {
        {"length over the cap", {0x00, 0x40, 0x00, 0x01}},
        {"zero length", {0x00, 0x00, 0x00, 0x00}},
        {"body that is no plist", {0x00, 0x00, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'}},
    };
    for (const Case &c : garbage) {
        LockdownTestClient client;
        ASSERT_TRUE(client.connect(kIphoneUdid));
        ASSERT_TRUE(client.send_bytes(c.bytes));
        EXPECT_TRUE(client.sees_end()) << c.what;
    }
    LockdownTestClient array;
    ASSERT_TRUE(array.connect(kIphoneUdid));
    PlistPtr list(plist_new_array());
    ASSERT_TRUE(array.send_plist(list.get()));
    EXPECT_TRUE(array.sees_end());

    LockdownTestClient client;
    ASSERT_TRUE(client.connect(kIphoneUdid));
    PlistPtr no_request(dict_with("Label", plist_new_string("x")));
    ASSERT_TRUE(client.send_plist(no_request.get()));
    EXPECT_EQ(client.receive().error(), "MalformedCommand");
    Received unknown = client.request("Reboot");
    EXPECT_EQ(unknown.error(), "MalformedCommand");
    EXPECT_EQ(unknown.string_at("Request"), "Reboot");
    EXPECT_EQ(client.request("GetValue", dict_with("Domain", plist_new_uint(3))).error(),
              "MalformedCommand");

    Received bye = client.request("Goodbye");
    EXPECT_EQ(bye.string_at("Result"), "Success");
    EXPECT_TRUE(client.sees_end());
}

}  // namespace
}  // namespace tarvosim
