// ByteReader: each getter either consumes exactly what it returns or leaves
// the cursor where it was.
#include "libtarvo/byte_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace libtarvo {
namespace {

TEST(ByteReader, ReadsBigEndianAndAdvances) {
    const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFE};
    ByteReader reader(bytes, 16);
    uint32_t a = 0, b = 0;
    ASSERT_EQ(reader.read_u32_be(&a), ReadResult::kOk);
    ASSERT_EQ(reader.read_u32_be(&b), ReadResult::kOk);
    EXPECT_EQ(a, 0x01020304u);
    EXPECT_EQ(b, 0xFFFFFFFEu);
    EXPECT_EQ(reader.expect_end(), ReadResult::kOk);
}

TEST(ByteReader, FailedGetterLeavesCursorAndClearsOutput) {
    const std::vector<uint8_t> bytes = {0x00, 0x00, 0x00, 0x05, 'a', 'b'};
    ByteReader reader(bytes, 16);
    std::span<const uint8_t> body(bytes);
    EXPECT_EQ(reader.read_length_prefixed(&body), ReadResult::kIncomplete);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(reader.consumed(), 0u);

    uint32_t value = 99;
    ByteReader short_reader(std::span<const uint8_t>(bytes).first(3), 16);
    EXPECT_EQ(short_reader.read_u32_be(&value), ReadResult::kIncomplete);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(short_reader.consumed(), 0u);
}

TEST(ByteReader, LengthAboveMaximumIsTooLargeBeforeTheBodyArrives) {
    // Only the prefix is there: a huge length must not read as "wait for more".
    const std::vector<uint8_t> bytes = {0xFF, 0xFF, 0xFF, 0xFF};
    ByteReader reader(bytes, 1024);
    std::span<const uint8_t> body;
    EXPECT_EQ(reader.read_length_prefixed(&body), ReadResult::kTooLarge);
    EXPECT_EQ(reader.consumed(), 0u);

    ByteReader direct(bytes, 2);
    EXPECT_EQ(direct.read_bytes(3, &body), ReadResult::kTooLarge);
}

TEST(ByteReader, LengthPrefixedTakesExactlyOneItem) {
    const std::vector<uint8_t> bytes = {0, 0, 0, 2, 'h', 'i', 0, 0, 0, 0, 'x'};
    ByteReader reader(bytes, 16);
    std::span<const uint8_t> first, second;
    ASSERT_EQ(reader.read_length_prefixed(&first), ReadResult::kOk);
    ASSERT_EQ(reader.read_length_prefixed(&second), ReadResult::kOk);
    EXPECT_EQ(std::string(first.begin(), first.end()), "hi");
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(reader.remaining(), 1u);
    EXPECT_EQ(reader.expect_end(), ReadResult::kMalformed);  // trailing 'x'
}

}  // namespace
}  // namespace libtarvo
