/*
 * ByteReader: a cursor over bytes received from a peer. Every getter checks
 * before it consumes: a getter that fails leaves the cursor where it was and
 * clears its output. Lengths announced by the peer are compared with the
 * reader's hard maximum before anything is taken, so callers never do index
 * arithmetic and never size a buffer from an unchecked length.
 */
#ifndef LIBTARVO_BYTE_READER_H
#define LIBTARVO_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <span>

namespace libtarvo {

enum class ReadResult {
    kOk,
    kIncomplete,  // more bytes are needed; what is there may still be valid
    kMalformed,   // the bytes can never become valid (e.g. trailing data)
    kTooLarge,    // an item is longer than the reader's maximum
};

class ByteReader {
  public:
    /// `max_item_size` bounds every item taken, including announced lengths.
    ByteReader(std::span<const uint8_t> bytes, std::size_t max_item_size)
        : bytes_(bytes), max_item_size_(max_item_size) {}

    std::size_t remaining() const { return bytes_.size() - offset_; }
    std::size_t consumed() const { return offset_; }
    std::size_t max_item_size() const { return max_item_size_; }

    ReadResult read_u32_be(uint32_t *value);
    /// Exactly `count` bytes, viewed in place.
    ReadResult read_bytes(std::size_t count, std::span<const uint8_t> *out);
    /// A u32 big-endian length followed by that many bytes. The length is
    /// checked against the maximum before the body is looked at, so a huge
    /// length is kTooLarge even when only the prefix has arrived.
    ReadResult read_length_prefixed(std::span<const uint8_t> *body);
    /// kMalformed when bytes are left over: every message ends exactly.
    ReadResult expect_end() const;

  private:
    std::span<const uint8_t> bytes_;
    std::size_t max_item_size_;
    std::size_t offset_ = 0;
};

}  // namespace libtarvo

#endif
