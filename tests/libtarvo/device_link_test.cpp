// The device-link message codec and the messages the host builds: frames
// cut at every length, hostile frames, and the exact shape of the status
// response and the handshake answer.
#include "libtarvo/device_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace libtarvo {
namespace {

bool same_plist(plist_t a, plist_t b) {
    char *xa = nullptr, *xb = nullptr;
    uint32_t la = 0, lb = 0;
    plist_to_xml(a, &xa, &la);
    plist_to_xml(b, &xb, &lb);
    CString oa(xa), ob(xb);
    return xa && xb && std::string(xa, la) == std::string(xb, lb);
}

std::vector<uint8_t> frame_of(plist_t message) {
    std::vector<uint8_t> frame;
    EXPECT_EQ(encode_device_link_frame(message, &frame), Status::kOk);
    return frame;
}

// A frame around any body, bypassing the encoder's checks.
std::vector<uint8_t> raw_frame(const std::vector<uint8_t> &body) {
    std::vector<uint8_t> frame(4 + body.size());
    for (int i = 0; i < 4; ++i) {
        frame[i] = static_cast<uint8_t>(body.size() >> (24 - 8 * i));
    }
    for (std::size_t i = 0; i < body.size(); ++i) {
        frame[4 + i] = body[i];
    }
    return frame;
}

std::vector<uint8_t> binary_of(plist_t node) {
    char *raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &raw, &length);
    CString owned(raw);
    return std::vector<uint8_t>(raw, raw + length);
}

uint64_t uint_at(plist_t array, uint32_t index) {
    uint64_t value = 0;
    plist_get_uint_val(plist_array_get_item(array, index), &value);
    return value;
}

std::string string_at(plist_t array, uint32_t index) {
    char *raw = nullptr;
    plist_get_string_val(plist_array_get_item(array, index), &raw);
    std::string value(raw ? raw : "");
    std::free(raw);
    return value;
}

TEST(DeviceLinkCodec, FrameCutAtEveryLengthIsIncompleteThenDecodes) {
    PlistPtr message = make_disconnect();
    const std::vector<uint8_t> frame = frame_of(message.get());
    for (std::size_t cut = 0; cut < frame.size(); ++cut) {
        ByteReader reader(std::span(frame.data(), cut), kMaxDeviceLinkBody);
        PlistPtr decoded;
        std::string name;
        EXPECT_EQ(decode_device_link_frame(reader, &decoded, &name), ReadResult::kIncomplete)
            << cut;
        EXPECT_EQ(reader.consumed(), 0u) << cut;
    }
    EXPECT_EQ(std::string(frame.begin() + 4, frame.begin() + 12), "bplist00");
    ByteReader reader(frame, kMaxDeviceLinkBody);
    PlistPtr decoded;
    std::string name;
    ASSERT_EQ(decode_device_link_frame(reader, &decoded, &name), ReadResult::kOk);
    EXPECT_EQ(name, "DLMessageDisconnect");
    EXPECT_EQ(string_at(decoded.get(), 1), kDeviceLinkEmptyParameter);
    EXPECT_EQ(reader.remaining(), 0u);
}

TEST(DeviceLinkCodec, HostileFramesAreRefused) {
    PlistPtr dictionary(plist_new_dict());
    PlistPtr empty_array(plist_new_array());
    PlistPtr number_first(plist_new_array());
    plist_array_append_item(number_first.get(), plist_new_uint(1));
    PlistPtr nested(plist_new_array());
    {
        plist_t inner = nested.get();
        for (int i = 0; i < 300; ++i) {
            plist_t next = plist_new_array();
            plist_array_append_item(inner, next);
            inner = next;
        }
    }
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        ReadResult expected;
    };
    const Case cases[] = {
        // Announces 4 GiB; refused from the prefix alone.
        {"4 GiB length", {0xFF, 0xFF, 0xFF, 0xFF}, ReadResult::kTooLarge},
        {"one byte above the cap", {0x04, 0x00, 0x00, 0x01}, ReadResult::kTooLarge},
        {"a body that is no property list", raw_frame({0xDE, 0xAD, 0xBE, 0xEF}),
         ReadResult::kMalformed},
        {"an empty body", raw_frame({}), ReadResult::kMalformed},
        // Valid property lists that are no device-link message.
        {"a dictionary", raw_frame(binary_of(dictionary.get())), ReadResult::kMalformed},
        {"an empty array", raw_frame(binary_of(empty_array.get())), ReadResult::kMalformed},
        {"an array led by a number", raw_frame(binary_of(number_first.get())),
         ReadResult::kMalformed},
        // Deep enough to exhaust the stack of a recursive parser or free.
        {"arrays nested 300 deep", raw_frame(binary_of(nested.get())), ReadResult::kMalformed},
    };
    for (const Case &c : cases) {
        ByteReader reader(c.bytes, kMaxDeviceLinkBody);
        PlistPtr decoded;
        std::string name;
        EXPECT_EQ(decode_device_link_frame(reader, &decoded, &name), c.expected) << c.what;
        EXPECT_FALSE(decoded) << c.what;
        EXPECT_TRUE(name.empty()) << c.what;
    }
}

TEST(DeviceLinkCodec, TheEncoderSendsOnlyDeviceLinkMessages) {
    PlistPtr dictionary(plist_new_dict());
    std::vector<uint8_t> frame;
    EXPECT_EQ(encode_device_link_frame(dictionary.get(), &frame), Status::kInvalidArg);
    EXPECT_EQ(encode_device_link_frame(nullptr, &frame), Status::kInvalidArg);
    EXPECT_TRUE(frame.empty());
}

TEST(DeviceLinkMessages, StatusResponseCarriesNegativeCodesAsTwosComplement) {
    PlistPtr value(plist_new_dict());
    plist_dict_set_item(value.get(), "FreeSpace", plist_new_uint(42));
    PlistPtr response = make_status_response(-13, "Multi status", value.get());
    ASSERT_EQ(plist_array_get_size(response.get()), 4u);
    EXPECT_EQ(string_at(response.get(), 0), "DLMessageStatusResponse");
    EXPECT_EQ(uint_at(response.get(), 1), 0xFFFFFFFFFFFFFFF3ull);
    EXPECT_EQ(string_at(response.get(), 2), "Multi status");
    // A copy: the caller still owns and frees its value.
    plist_t sent_value = plist_array_get_item(response.get(), 3);
    EXPECT_NE(sent_value, value.get());
    EXPECT_TRUE(same_plist(sent_value, value.get()));

    PlistPtr plain = make_status_response(0, nullptr, nullptr);
    EXPECT_EQ(uint_at(plain.get(), 1), 0u);
    EXPECT_EQ(string_at(plain.get(), 2), kDeviceLinkEmptyParameter);
    plist_t empty = plist_array_get_item(plain.get(), 3);
    ASSERT_EQ(plist_get_node_type(empty), PLIST_DICT);
    EXPECT_EQ(plist_dict_get_size(empty), 0u);
}

}  // namespace
}  // namespace libtarvo
