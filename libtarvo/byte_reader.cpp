/*
 * ByteReader: check-then-consume getters over received bytes.
 */
#include "byte_reader.h"

namespace libtarvo {

ReadResult ByteReader::read_u32_be(uint32_t *value) {
    *value = 0;
    if (remaining() < 4) {
        return ReadResult::kIncomplete;
    }
    const uint8_t *p = bytes_.data() + offset_;
    *value = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    offset_ += 4;
    return ReadResult::kOk;
}

ReadResult ByteReader::read_bytes(std::size_t count, std::span<const uint8_t> *out) {
    *out = {};
    if (count > max_item_size_) {
        return ReadResult::kTooLarge;
    }
    if (remaining() < count) {
        return ReadResult::kIncomplete;
    }
    *out = bytes_.subspan(offset_, count);
    offset_ += count;
    return ReadResult::kOk;
}

ReadResult ByteReader::read_length_prefixed(std::span<const uint8_t> *body) {
    *body = {};
    const std::size_t start = offset_;
    uint32_t length = 0;
    if (ReadResult r = read_u32_be(&length); r != ReadResult::kOk) {
        return r;
    }
    ReadResult r = read_bytes(length, body);
    if (r != ReadResult::kOk) {
        offset_ = start;
    }
    return r;
}

ReadResult ByteReader::expect_end() const {
    return remaining() == 0 ? ReadResult::kOk : ReadResult::kMalformed;
}

}  // namespace libtarvo
