// The pieces under wireless pairing: the TLV8 codec against cut and odd
// input, SRP-6a against the published RFC 5054 vector and in the pairing
// group, HKDF against RFC 5869, and the counter-nonce channel against
// tampering, replay and reordering.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libtarvo/cu_channel.h"
#include "libtarvo/srp6a.h"
#include "libtarvo/tlv8.h"

namespace libtarvo {
namespace {

std::vector<uint8_t> from_hex(std::string hex) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : hex) {
        if (c != ' ' && c != '\n') {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

template <typename Bytes>
std::vector<uint8_t> plain(const Bytes &bytes) {
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::span<const uint8_t> text(std::string_view s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

// ---- TLV8 ----

TEST(Tlv8, LongValuesSplitIntoFragmentsAndJoinAgain) {
    std::vector<uint8_t> long_value(600);
    for (std::size_t i = 0; i < long_value.size(); ++i) {
        long_value[i] = static_cast<uint8_t>(i);
    }
    const std::vector<uint8_t> exact(255, 0xAB);
    Tlv8Writer writer;
    writer.add(0x03, long_value);
    writer.add_byte(0x06, 2);
    writer.add(0x05, exact);
    writer.add(0x05, std::vector<uint8_t>{1, 2});  // same type again: a second item
    writer.add(0x07, {});

    const std::vector<uint8_t> &bytes = writer.bytes();
    // 600 bytes: fragments of 255, 255 and 90.
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 0x03);
    EXPECT_EQ(bytes[1], 255);
    EXPECT_EQ(bytes[2 + 255], 0x03);
    EXPECT_EQ(bytes[2 + 255 + 1], 255);
    EXPECT_EQ(bytes[2 * 257 + 1], 90);

    std::vector<Tlv8Item> items;
    ASSERT_EQ(tlv8_decode(bytes, 4096, &items), Tlv8Result::kOk);
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].type, 0x03);
    EXPECT_EQ(items[0].value, long_value);
    EXPECT_EQ(items[1].value, std::vector<uint8_t>{2});
    EXPECT_EQ(items[2].value, exact);
    EXPECT_EQ(items[3].value, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(items[4].type, 0x07);
    EXPECT_TRUE(items[4].value.empty());
    EXPECT_EQ(tlv8_find_unique(items, 0x05), nullptr) << "two items of one type are ambiguous";
    ASSERT_NE(tlv8_find_unique(items, 0x06), nullptr);
    EXPECT_EQ(tlv8_find_unique(items, 0x42), nullptr);
}

TEST(Tlv8, EveryCutOfAValidMessageIsTruncatedNeverMisread) {
    Tlv8Writer writer;
    writer.add_byte(0x06, 1);
    writer.add(0x03, std::vector<uint8_t>(300, 7));
    const std::vector<uint8_t> &whole = writer.bytes();
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
        std::vector<Tlv8Item> items;
        const Tlv8Result result =
            tlv8_decode(std::span<const uint8_t>(whole.data(), cut), 4096, &items);
        // Cutting right after the first whole fragment leaves a valid, shorter message.
        const bool at_boundary = cut == 3 || cut == 3 + 2 + 255;
        if (at_boundary) {
            EXPECT_EQ(result, Tlv8Result::kOk) << cut;
        } else {
            EXPECT_EQ(result, Tlv8Result::kTruncated) << cut;
            EXPECT_TRUE(items.empty()) << cut;
        }
    }
}

TEST(Tlv8, OddInputs) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        Tlv8Result result;
        std::size_t items;
    };
    const Case cases[] = {
        {"empty input: no items", {}, Tlv8Result::kOk, 0},
        {"unknown types are kept for the caller to ignore",
         {0x42, 1, 9, 0x06, 1, 1},
         Tlv8Result::kOk,
         2},
        {"a separator alone is no item", {0xFF, 0}, Tlv8Result::kOk, 0},
        {"length past the end", {0x03, 5, 1, 2}, Tlv8Result::kTruncated, 0},
        {"a lone type byte", {0x06, 1, 1, 0x03}, Tlv8Result::kTruncated, 0},
        {"a short fragment ends an item: same type after it is a new item",
         {0x03, 1, 1, 0x03, 1, 2},
         Tlv8Result::kOk,
         2},
    };
    for (const Case &c : cases) {
        std::vector<Tlv8Item> items;
        EXPECT_EQ(tlv8_decode(c.bytes, 4096, &items), c.result) << c.what;
        EXPECT_EQ(items.size(), c.items) << c.what;
    }
}

TEST(Tlv8, ItemsAboveTheCapAreRefusedAcrossFragments) {
    Tlv8Writer writer;
    writer.add(0x05, std::vector<uint8_t>(600, 1));
    std::vector<Tlv8Item> items;
    EXPECT_EQ(tlv8_decode(writer.bytes(), 599, &items), Tlv8Result::kTooLarge);
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(tlv8_decode(writer.bytes(), 600, &items), Tlv8Result::kOk);
}

// ---- SRP-6a ----

// RFC 5054, appendix A (1024-bit group) and appendix B (the test vector).
constexpr const char *kRfc5054Modulus1024 =
    "EEAF0AB9ADB38DD69C33F80AFA8FC5E86072618775FF3C0B9EA2314C9C256576"
    "D674DF7496EA81D3383B4813D692C6E0E0D5D8E250B98BE48E495C1D6089DAD1"
    "5DC7D7B46154D6B6CE8EF4AD69B15D4982559B297BCF1885C529F566660E57EC"
    "68EDBC3C05726CC02FD4CBF4976EAA9AFD5138FE8376435B9FC61D2FC0EB06E3";

struct Rfc5054 {
    SrpGroup group = SrpGroup::from_hex(kRfc5054Modulus1024, 2, EVP_sha1());
    std::vector<uint8_t> salt = from_hex("BEB25379 D1A8581E B5A72767 3A2441EE");
    std::vector<uint8_t> a =
        from_hex("60975527 035CF2AD 1989806F 0407210B C81EDC04 E2762A56 AFD529DD DA2D4393");
    std::vector<uint8_t> b =
        from_hex("E487CB59 D31AC550 471E81F0 0F6928E0 1DDA08E9 74A004F4 9E61F5D1 05284D20");
    std::vector<uint8_t> password = plain(std::string_view("password123"));
};

TEST(Srp6a, MatchesTheRfc5054TestVector) {
    Rfc5054 v;
    ASSERT_TRUE(v.group.valid());
    EXPECT_EQ(srp_multiplier(v.group), from_hex("7556AA04 5AEF2CDD 07ABAF0F 665C3E81 8913186F"));
    const SecretBytes x = srp_private_key(v.group, v.salt, "alice", v.password);
    EXPECT_EQ(plain(x), from_hex("94B7555A ABE9127C C58CCF49 93DB6CF8 4D16C124"));
    EXPECT_EQ(srp_verifier(v.group, x),
              from_hex("7E273DE8 696FFC4F 4E337D05 B4B375BE B0DDE156 9E8FA00A 9886D812 9BADA1F1"
                       "822223CA 1A605B53 0E379BA4 729FDC59 F105B478 7E5186F5 C671085A 1447B52A"
                       "48CF1970 B4FB6F84 00BBF4CE BFBB1681 52E08AB5 EA53D15C 1AFF87B2 B9DA6E04"
                       "E058AD51 CC72BFC9 033B564E 26480D78 E955A5E2 9E7AB245 DB2BE315 E2099AFB"));

    SrpClient client(v.group, v.a);
    SrpServer server(v.group, "alice", v.password, v.salt, v.b);
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(client.public_value(),
              from_hex("61D5E490 F6F1B795 47B0704C 436F523D D0E560F0 C64115BB 72557EC4 4352E890"
                       "3211C046 92272D8B 2D1A5358 A2CF1B6E 0BFCF99F 921530EC 8E393561 79EAE45E"
                       "42BA92AE ACED8251 71E1E8B9 AF6D9C03 E1327F44 BE087EF0 6530E69F 66615261"
                       "EEF54073 CA11CF58 58F0EDFD FE15EFEA B349EF5D 76988A36 72FAC47B 0769447B"));
    EXPECT_EQ(server.public_value(),
              from_hex("BD0C6151 2C692C0C B6D041FA 01BB152D 4916A1E7 7AF46AE1 05393011 BAF38964"
                       "DC46A067 0DD125B9 5A981652 236F99D9 B681CBF8 7837EC99 6C6DA044 53728610"
                       "D0C6DDB5 8B318885 D7D82C7F 8DEB75CE 7BD4FBAA 37089E6F 9C6059F3 88838E7A"
                       "00030B33 1EB76840 910440B1 B27AAEAE EB4012B7 D7665238 A8E3FB00 4B117B58"));
    EXPECT_EQ(srp_scrambler(v.group, client.public_value(), server.public_value()),
              from_hex("CE38B959 3487DA98 554ED47D 70A7AE5F 462EF019"));

    const std::vector<uint8_t> premaster = from_hex(
        "B0DC82BA BCF30674 AE450C02 87745E79 90A3381F 63B387AA F271A10D 233861E3"
        "59B48220 F7C4693C 9AE12B0A 6F67809F 0876E2D0 13800D6C 41BB59B6 D5979B5C"
        "00A172B4 A2A5903A 0BDCAF8A 709585EB 2AFAFA8F 3499B200 210DCC1F 10EB3394"
        "3CD67FC8 8A2F39A4 BE5BEC4E C0A3212D C346D7E4 74B29EDE 8A469FFE CA686E5A");
    ASSERT_EQ(client.compute("alice", v.password, v.salt, server.public_value()), SrpResult::kOk);
    EXPECT_EQ(plain(client.premaster_secret()), premaster);
    ASSERT_EQ(server.verify_client(client.public_value(), client.proof()), SrpResult::kOk);
    EXPECT_EQ(plain(server.premaster_secret()), premaster);
    EXPECT_TRUE(client.server_proof_matches(server.proof()));
    EXPECT_EQ(plain(client.session_key()), plain(server.session_key()));
}

TEST(Srp6a, PairingGroupAgreesOnlyWithTheSamePin) {
    const std::vector<uint8_t> salt(16, 0x5A);
    const std::vector<uint8_t> pin = plain(std::string_view("123456"));
    SrpServer server(SrpGroup::pairing_group(), "id", pin, salt);
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(server.public_value().size(), 384u) << "3072 bits, padded";

    SrpClient right(SrpGroup::pairing_group());
    ASSERT_EQ(right.compute("id", pin, salt, server.public_value()), SrpResult::kOk);
    ASSERT_EQ(server.verify_client(right.public_value(), right.proof()), SrpResult::kOk);
    EXPECT_TRUE(right.server_proof_matches(server.proof()));
    EXPECT_EQ(right.session_key().size(), 64u) << "SHA-512";
    EXPECT_EQ(plain(right.session_key()), plain(server.session_key()));

    SrpServer fresh(SrpGroup::pairing_group(), "id", pin, salt);
    SrpClient wrong(SrpGroup::pairing_group());
    const std::vector<uint8_t> wrong_pin = plain(std::string_view("123457"));
    ASSERT_EQ(wrong.compute("id", wrong_pin, salt, fresh.public_value()), SrpResult::kOk);
    EXPECT_EQ(fresh.verify_client(wrong.public_value(), wrong.proof()), SrpResult::kWrongProof);
    EXPECT_TRUE(fresh.proof().empty()) << "no proof for a client that failed";
    EXPECT_TRUE(fresh.session_key().empty());
    EXPECT_FALSE(wrong.server_proof_matches(fresh.proof()));
}

TEST(Srp6a, PublicValuesThatWouldFixTheSecretAreRefused) {
    const SrpGroup group = SrpGroup::pairing_group();
    const std::vector<uint8_t> salt(16, 1);
    const std::vector<uint8_t> pin = plain(std::string_view("0000"));
    std::vector<uint8_t> modulus(group.size());
    BN_bn2binpad(group.modulus(), modulus.data(), static_cast<int>(modulus.size()));
    const std::vector<std::vector<uint8_t>> bad = {
        std::vector<uint8_t>(group.size(), 0),      // 0
        modulus,                                    // N, which is 0 mod N
        {},                                         // nothing
        std::vector<uint8_t>(group.size() + 1, 1),  // longer than N
    };
    for (const std::vector<uint8_t> &value : bad) {
        SrpClient client(group);
        EXPECT_EQ(client.compute("id", pin, salt, value), SrpResult::kBadPublicValue);
        EXPECT_TRUE(client.session_key().empty());
        SrpServer server(group, "id", pin, salt);
        EXPECT_EQ(server.verify_client(value, std::vector<uint8_t>(64, 0)),
                  SrpResult::kBadPublicValue);
    }
}

// ---- HKDF and the channel ----

TEST(Hkdf, MatchesRfc5869TestCase1) {
    const std::vector<uint8_t> key(22, 0x0b);
    const std::vector<uint8_t> salt = from_hex("000102030405060708090a0b0c");
    const std::vector<uint8_t> info = from_hex("f0f1f2f3f4f5f6f7f8f9");
    EXPECT_EQ(plain(hkdf("SHA256", key, salt, info, 42)),
              from_hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf"
                       "34007208d5b887185865"));
}

CuChannelKeys keys_from(uint8_t fill) {
    CuChannelKeys keys;
    EXPECT_TRUE(derive_cu_channel_keys(std::vector<uint8_t>(64, fill), &keys));
    EXPECT_NE(plain(keys.host_to_device), plain(keys.device_to_host));
    return keys;
}

class ChannelTest : public ::testing::Test {
  protected:
    std::vector<uint8_t> seal(CuChannel &channel, std::string_view message) {
        std::vector<uint8_t> sealed;
        EXPECT_EQ(channel.seal(text(message), &sealed), CuChannelResult::kOk);
        return sealed;
    }
    std::string open(CuChannel &channel, const std::vector<uint8_t> &sealed,
                     CuChannelResult expected = CuChannelResult::kOk) {
        SecretBytes opened;
        EXPECT_EQ(channel.open(sealed, &opened), expected);
        return std::string(opened.begin(), opened.end());
    }

    CuChannelKeys keys_ = keys_from(0x11);
    CuChannel host_{CuChannel::Side::kHost, keys_};
    CuChannel device_{CuChannel::Side::kDevice, keys_};
};

TEST_F(ChannelTest, BothDirectionsCarryTheirOwnCounters) {
    const std::vector<uint8_t> first = seal(host_, "host info");
    ASSERT_EQ(first.size(), kCuCounterSize + 9 + kCuTagSize);
    EXPECT_EQ(first[0], 0) << "counter 0, little-endian";
    EXPECT_EQ(open(device_, first), "host info");
    EXPECT_EQ(open(host_, seal(device_, "device info")), "device info");
    const std::vector<uint8_t> second = seal(host_, "");
    EXPECT_EQ(second[0], 1);
    EXPECT_EQ(open(device_, second), "");
    EXPECT_EQ(device_.next_receive_counter(), 2u);
    EXPECT_EQ(device_.next_send_counter(), 1u);
}

TEST_F(ChannelTest, TamperedReplayedReorderedAndMisdirectedMessagesAreRefused) {
    const std::vector<uint8_t> first = seal(host_, "pair record");
    const std::vector<uint8_t> second = seal(host_, "more");

    EXPECT_EQ(open(device_, second, CuChannelResult::kOutOfOrder), "");
    for (std::size_t i = 0; i < first.size(); ++i) {
        std::vector<uint8_t> changed = first;
        changed[i] ^= 0x01;
        // A changed counter is caught before the tag: it is not the next one.
        const CuChannelResult expected =
            i < kCuCounterSize ? CuChannelResult::kOutOfOrder : CuChannelResult::kBadTag;
        EXPECT_EQ(open(device_, changed, expected), "") << "byte " << i;
    }
    std::vector<uint8_t> cut(first.begin(), first.end() - 1);
    open(device_, cut, CuChannelResult::kBadTag);
    open(device_, std::vector<uint8_t>(kCuCounterSize + kCuTagSize - 1, 0),
         CuChannelResult::kMalformed);
    // A host message reflected back to the host does not open with the
    // other direction's key.
    open(host_, first, CuChannelResult::kBadTag);
    EXPECT_EQ(device_.next_receive_counter(), 0u) << "refusals take no counter";

    EXPECT_EQ(open(device_, first), "pair record");
    EXPECT_EQ(open(device_, first, CuChannelResult::kReplayed), "");
    EXPECT_EQ(open(device_, second), "more");
}

}  // namespace
}  // namespace libtarvo
