// The simulated device's side of wireless pairing, driven step by step by a
// host made of the same primitives: the PIN shown, the order of the steps,
// encrypted messages that were changed or played again, the host's info
// kept with the trusted host across a restart, and the fixture keys.
#include "cu_pairing_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "libtarvo/cu_protocol.h"
#include "plist_items.h"
#include "sim_harness.h"
#include "sim_test_support.h"

namespace tarvosim {
namespace {

using libtarvo::CuChannel;
using libtarvo::SecretBytes;
using libtarvo::Tlv8Item;
using libtarvo::Tlv8Writer;
using testing::TempDir;
namespace cu = libtarvo::cu;

constexpr const char *kPin = "8642";
constexpr const char *kUdid = "CU-TV-1";

std::span<const uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

PlistPtr request_with(const std::vector<uint8_t> &message) {
    PlistPtr request(plist_new_dict());
    plist_dict_set_item(
        request.get(), cu::kPairingDataKey,
        plist_new_data(reinterpret_cast<const char *>(message.data()), message.size()));
    return request;
}

std::vector<Tlv8Item> items_of(const CuAnswer &answer) {
    std::vector<Tlv8Item> items;
    EXPECT_EQ(libtarvo::tlv8_decode(answer.pairing_data, cu::kMaxTlvItem, &items),
              libtarvo::Tlv8Result::kOk);
    return items;
}

std::vector<uint8_t> value_of(const std::vector<Tlv8Item> &items, uint8_t type) {
    const Tlv8Item *item = libtarvo::tlv8_find_unique(items, type);
    EXPECT_NE(item, nullptr) << "TLV type " << int(type);
    return item ? item->value : std::vector<uint8_t>{};
}

std::vector<uint8_t> binary_plist(plist_t node) {
    char *raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &raw, &length);
    std::vector<uint8_t> bytes(raw, raw + length);
    plist_to_bin_free(raw);
    return bytes;
}

// A device made from a fixture, with its state and a quiet log.
class CuServerTest : public ::testing::Test {
  protected:
    void open_device(const std::string &extra_keys, bool debug = false) {
        const std::string folder = SimHarness::make_fixture(
            dir_.path(),
            SimHarness::device_plist(std::string("<key>UniqueDeviceID</key><string>") + kUdid +
                                     "</string><key>ConnectionType</key><string>Network</string>" +
                                     extra_keys + SimHarness::bundled_private_key_xml()));
        std::string error;
        ASSERT_TRUE(load_fixture(folder, &fixture_, &error)) << error;
        state_ = std::make_unique<DeviceState>(dir_.path() + "/state", kUdid);
        ASSERT_TRUE(state_->open(fixture_.device_private_key_pem, &error)) << error;
        log_ = std::make_unique<MessageLog>(debug, kUdid);
        server_ = std::make_unique<CuPairingServer>(fixture_, *state_, *log_);
    }

    CuAnswer start() {
        Tlv8Writer m1;
        m1.add_byte(cu::kTlvState, 1);
        m1.add_byte(cu::kTlvMethod, cu::kMethodPin);
        return server_->start(request_with(m1.bytes()).get());
    }

    /// Steps M1 to M4 as a host that types `pin`; the M4 answer.
    CuAnswer prove_pin(const std::string &pin) {
        const CuAnswer m2 = start();
        EXPECT_EQ(m2.error, "");
        const std::vector<Tlv8Item> items = items_of(m2);
        srp_ = std::make_unique<libtarvo::SrpClient>(libtarvo::SrpGroup::pairing_group());
        EXPECT_EQ(srp_->compute(cu::kSrpIdentity, bytes_of(pin), value_of(items, cu::kTlvSalt),
                                value_of(items, cu::kTlvPublicKey)),
                  libtarvo::SrpResult::kOk);
        Tlv8Writer m3;
        m3.add_byte(cu::kTlvState, 3);
        m3.add(cu::kTlvPublicKey, srp_->public_value());
        m3.add(cu::kTlvProof, srp_->proof());
        return server_->verify(request_with(m3.bytes()).get());
    }

    /// Through M6 with the right PIN; the host's channel is ready for M7.
    void reach_record_stage(plist_t host_info) {
        const CuAnswer m4 = prove_pin(kPin);
        ASSERT_EQ(m4.error, "");
        ASSERT_TRUE(srp_->server_proof_matches(value_of(items_of(m4), cu::kTlvProof)));
        libtarvo::CuChannelKeys keys;
        ASSERT_TRUE(libtarvo::derive_cu_channel_keys(srp_->session_key(), &keys));
        host_ = std::make_unique<CuChannel>(CuChannel::Side::kHost, keys);
        Tlv8Writer plaintext;
        plaintext.add(cu::kTlvInfo, binary_plist(host_info));
        sealed_m5_ = seal(plaintext);
        const CuAnswer m6 = server_->exchange_info(sealed_request(5, sealed_m5_).get());
        ASSERT_EQ(m6.error, "");
        SecretBytes opened;
        ASSERT_EQ(host_->open(value_of(items_of(m6), cu::kTlvEncryptedData), &opened),
                  libtarvo::CuChannelResult::kOk);
    }

    std::vector<uint8_t> seal(const Tlv8Writer &plaintext) {
        std::vector<uint8_t> sealed;
        EXPECT_EQ(host_->seal(plaintext.bytes(), &sealed), libtarvo::CuChannelResult::kOk);
        return sealed;
    }

    PlistPtr sealed_request(uint8_t state, const std::vector<uint8_t> &sealed) {
        Tlv8Writer message;
        message.add_byte(cu::kTlvState, state);
        message.add(cu::kTlvEncryptedData, sealed);
        return request_with(message.bytes());
    }

    std::vector<uint8_t> sealed_record(const std::string &host_id) {
        PlistPtr record(plist_new_dict());
        plist_dict_set_item(record.get(), "HostID", plist_new_string(host_id.c_str()));
        Tlv8Writer plaintext;
        plaintext.add(cu::kTlvPairRecord, binary_plist(record.get()));
        return seal(plaintext);
    }

    // Stands in for the lockdown server's certificate checks.
    static std::string_view accept_any(plist_t record, TrustedHost *host) {
        host->host_id = tarvo::string_item(record, "HostID").value_or("");
        return host->host_id.empty() ? "MissingHostID" : "";
    }

    TempDir dir_;
    Fixture fixture_;
    std::unique_ptr<DeviceState> state_;
    std::unique_ptr<MessageLog> log_;
    std::unique_ptr<CuPairingServer> server_;
    std::unique_ptr<libtarvo::SrpClient> srp_;
    std::unique_ptr<CuChannel> host_;
    std::vector<uint8_t> sealed_m5_;
};

TEST_F(CuServerTest, ShowsItsPinAndKeepsTheHostsInfoWithTheTrustedHost) {
    open_device(std::string("<key>PairingPIN</key><string>") + kPin + "</string>", true);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    PlistPtr info(plist_new_dict());
    plist_dict_set_item(info.get(), "hostName", plist_new_string("desk"));
    reach_record_stage(info.get());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              std::string("tarvosim: ") + kUdid + " shows PIN " + kPin + "\n");
    const std::string trace = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(trace.find("host info"), std::string::npos) << trace;
    EXPECT_NE(trace.find("desk"), std::string::npos) << trace;

    const CuAnswer m8 = server_->finish(sealed_request(7, sealed_record("HOST-1")).get(),
                                        &CuServerTest::accept_any);
    ASSERT_EQ(m8.error, "");
    SecretBytes opened;
    ASSERT_EQ(host_->open(value_of(items_of(m8), cu::kTlvEncryptedData), &opened),
              libtarvo::CuChannelResult::kOk);
    std::vector<Tlv8Item> inner;
    ASSERT_EQ(libtarvo::tlv8_decode(opened, cu::kMaxTlvItem, &inner), libtarvo::Tlv8Result::kOk);
    EXPECT_EQ(value_of(inner, cu::kTlvEscrowBag).size(), 32u);

    // The device remembers, across a restart, what the host said about itself.
    DeviceState reopened(dir_.path() + "/state", kUdid);
    std::string error;
    ASSERT_TRUE(reopened.open(fixture_.device_private_key_pem, &error)) << error;
    std::optional<TrustedHost> host = reopened.trusted_host("HOST-1");
    ASSERT_TRUE(host);
    EXPECT_NE(host->host_info_xml.find("<string>desk</string>"), std::string::npos)
        << host->host_info_xml;
    EXPECT_EQ(host->escrow_bag, value_of(inner, cu::kTlvEscrowBag));
}

TEST_F(CuServerTest, ChangedOrReplayedEncryptedMessagesAreRefusedAndTrustNobody) {
    open_device(std::string("<key>PairingPIN</key><string>") + kPin + "</string>");
    PlistPtr info(plist_new_dict());

    reach_record_stage(info.get());
    std::vector<uint8_t> changed = sealed_record("HOST-TAMPERED");
    changed[libtarvo::kCuCounterSize + 3] ^= 0x40;
    CuAnswer refused = server_->finish(sealed_request(7, changed).get(), &accept_any);
    EXPECT_EQ(refused.error, cu::kErrorMessageRejected);
    EXPECT_NE(refused.description.find("bad tag"), std::string::npos) << refused.description;
    EXPECT_FALSE(state_->trusted_host("HOST-TAMPERED"));

    // The host's first encrypted message, played again where the record belongs.
    reach_record_stage(info.get());
    refused = server_->finish(sealed_request(7, sealed_m5_).get(), &accept_any);
    EXPECT_EQ(refused.error, cu::kErrorMessageRejected);
    EXPECT_NE(refused.description.find("replayed"), std::string::npos) << refused.description;

    // A refusal ends the attempt: the good record now comes too late.
    refused = server_->finish(sealed_request(7, sealed_record("HOST-LATE")).get(), &accept_any);
    EXPECT_EQ(refused.error, cu::kErrorOutOfSequence);
    EXPECT_FALSE(state_->trusted_host("HOST-LATE"));
}

TEST_F(CuServerTest, WrongPinAndStepsOutOfOrder) {
    open_device(std::string("<key>PairingPIN</key><string>") + kPin + "</string>");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(server_->verify(request_with({}).get()).error, cu::kErrorOutOfSequence)
        << "no PIN proof before the PIN is shown";
    const CuAnswer wrong = prove_pin("8643");
    EXPECT_EQ(wrong.error, cu::kErrorWrongPin);
    EXPECT_EQ(wrong.description, "The PIN is not correct");
    EXPECT_TRUE(wrong.pairing_data.empty());
    EXPECT_EQ(server_->exchange_info(sealed_request(5, {}).get()).error, cu::kErrorOutOfSequence);

    // A message whose State does not fit its step.
    start();
    Tlv8Writer m3;
    m3.add_byte(cu::kTlvState, 5);
    EXPECT_EQ(server_->verify(request_with(m3.bytes()).get()).error, cu::kErrorOutOfSequence);
    // No PairingData at all, and a method other than the PIN.
    PlistPtr empty(plist_new_dict());
    EXPECT_EQ(server_->start(empty.get()).error, "MalformedCommand");
    Tlv8Writer other_method;
    other_method.add_byte(cu::kTlvState, 1);
    other_method.add_byte(cu::kTlvMethod, 7);
    EXPECT_EQ(server_->start(request_with(other_method.bytes()).get()).error,
              cu::kErrorUnsupportedMethod);
    ::testing::internal::GetCapturedStdout();
}

TEST(CuFixtureKeys, PinAndDeviceInfoAreChecked) {
    TempDir dir;
    struct Case {
        std::string keys;
        std::string error_part;  // "" when the fixture loads
    };
    const Case cases[] = {
        {"<key>PairingPIN</key><string>123456</string>", ""},
        {"<key>PairingPIN</key><string></string>", "key \"PairingPIN\": must hold 1 to 32"},
        {"<key>PairingPIN</key><string>12 34</string>", "key \"PairingPIN\": must hold"},
        {"<key>PairingPIN</key><string>" + std::string(33, '1') + "</string>",
         "key \"PairingPIN\": must hold"},
        {"<key>PairingPIN</key><integer>1234</integer>", "key \"PairingPIN\": must be a string"},
        {"<key>DeviceInfo</key><dict><key>name</key><string>TV</string></dict>", ""},
        {"<key>DeviceInfo</key><string>TV</string>", "key \"DeviceInfo\": must be a dictionary"},
    };
    for (const Case &c : cases) {
        const std::string folder = SimHarness::make_fixture(
            dir.path(),
            SimHarness::device_plist("<key>UniqueDeviceID</key><string>FX-1</string>" + c.keys));
        Fixture fixture;
        std::string error;
        const bool loaded = load_fixture(folder, &fixture, &error);
        EXPECT_EQ(loaded, c.error_part.empty()) << c.keys << ": " << error;
        if (!loaded) {
            EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
        }
    }
    Fixture appletv;
    std::string error;
    ASSERT_TRUE(load_fixture(
        (std::filesystem::path(Simulator::default_fixture_dir()).parent_path() / "appletv")
            .string(),
        &appletv, &error))
        << error;
    EXPECT_FALSE(appletv.pairing_pin.empty());
    EXPECT_EQ(plist_get_node_type(appletv.device_info.get()), PLIST_DICT);
}

}  // namespace
}  // namespace tarvosim
