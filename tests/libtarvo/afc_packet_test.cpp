// The AFC packet codec: a valid packet cut at every length, and headers a
// hostile device might send, each refused for its own reason.
#include "libtarvo/afc_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace libtarvo {
namespace {

std::vector<uint8_t> bytes_of(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

void put_u64(std::vector<uint8_t> *packet, std::size_t offset, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        (*packet)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

TEST(AfcPacket, EncodesTheHeaderFieldsLittleEndian) {
    const std::vector<uint8_t> header_data = {1, 2, 3};
    const std::vector<uint8_t> payload = bytes_of("hello");
    std::vector<uint8_t> packet =
        encode_afc_packet(0x0102, AfcOperation::kFileWrite, header_data, payload);
    ASSERT_EQ(packet.size(), 48u);
    EXPECT_EQ(std::memcmp(packet.data(), "CFA6LPAA", 8), 0);
    const uint8_t lengths[] = {48,   0,    0, 0, 0, 0, 0, 0, 43,   0, 0, 0, 0, 0, 0, 0,
                               0x02, 0x01, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(packet.data() + 8, lengths, sizeof(lengths)), 0);
    EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 40, packet.begin() + 43), header_data);
    EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 43, packet.end()), payload);
}

TEST(AfcPacket, ValidPacketCutAtEveryLengthIsIncomplete) {
    const std::vector<uint8_t> header_data = {8, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> payload = bytes_of(
        "st_size\0"
        "12\0");
    const std::vector<uint8_t> packet =
        encode_afc_packet(7, AfcOperation::kData, header_data, payload);
    for (std::size_t cut = 0; cut < packet.size(); ++cut) {
        ByteReader reader(std::span(packet.data(), cut), kAfcMaxPacketSize);
        AfcPacket decoded;
        EXPECT_EQ(decode_afc_packet(reader, 7, &decoded), ReadResult::kIncomplete) << cut;
        EXPECT_EQ(reader.consumed(), 0u) << cut;
    }
    ByteReader reader(packet, kAfcMaxPacketSize);
    AfcPacket decoded;
    ASSERT_EQ(decode_afc_packet(reader, 7, &decoded), ReadResult::kOk);
    EXPECT_EQ(reader.remaining(), 0u);
    EXPECT_EQ(decoded.header.operation, static_cast<uint64_t>(AfcOperation::kData));
    EXPECT_EQ(std::vector<uint8_t>(decoded.header_data.begin(), decoded.header_data.end()),
              header_data);
    EXPECT_EQ(std::vector<uint8_t>(decoded.payload.begin(), decoded.payload.end()), payload);
}

TEST(AfcPacket, BadHeadersAreRefused) {
    struct Case {
        const char *what;
        std::size_t field_offset;  // which u64 to overwrite (0 = the magic)
        uint64_t value;
        ReadResult expected;
    };
    const Case cases[] = {
        // The magic reversed, as a peer with the wrong byte order would send it.
        {"wrong magic", 0, 0x4350364C41504141ull, ReadResult::kMalformed},
        // The header itself is 40 bytes; nothing can be shorter.
        {"this-length below the header", 16, 39, ReadResult::kMalformed},
        // Header data would run past the end of the packet.
        {"this-length above the entire length", 16, 49, ReadResult::kMalformed},
        // 16 MiB of payload plus the header is the most a reply may carry.
        {"entire length one above the cap", 8, kAfcMaxPacketSize + 1, ReadResult::kTooLarge},
        // A 64-bit length that no allocation could serve.
        {"entire length of 2^64 - 1", 8, ~uint64_t{0}, ReadResult::kTooLarge},
        // The reply belongs to another request.
        {"wrong packet number", 24, 8, ReadResult::kMalformed},
    };
    const std::vector<uint8_t> valid =
        encode_afc_packet(7, AfcOperation::kStatus, std::vector<uint8_t>(8, 0), {});
    ASSERT_EQ(valid.size(), 48u);
    for (const Case &c : cases) {
        std::vector<uint8_t> packet = valid;
        put_u64(&packet, c.field_offset, c.value);
        AfcHeader header;
        EXPECT_EQ(decode_afc_header(packet, 7, &header), c.expected) << c.what;
        EXPECT_EQ(header.entire_length, 0u) << c.what;  // nothing half-filled
        ByteReader reader(packet, kAfcMaxPacketSize);
        AfcPacket decoded;
        EXPECT_EQ(decode_afc_packet(reader, 7, &decoded), c.expected) << c.what;
        EXPECT_EQ(reader.consumed(), 0u) << c.what;
    }
}

TEST(AfcPacket, AnnouncedPayloadAtTheCapIsAcceptedBeforeItArrives) {
    std::vector<uint8_t> head = encode_afc_packet(1, AfcOperation::kData, {}, {});
    put_u64(&head, 8, kAfcMaxPacketSize);
    AfcHeader header;
    ASSERT_EQ(decode_afc_header(head, 1, &header), ReadResult::kOk);
    EXPECT_EQ(header.payload_size(), kAfcMaxPacketSize - kAfcHeaderSize);
    ByteReader reader(head, kAfcMaxPacketSize);
    AfcPacket decoded;
    EXPECT_EQ(decode_afc_packet(reader, 1, &decoded), ReadResult::kIncomplete);
}

}  // namespace
}  // namespace libtarvo
