/*
 * TLV8: the type-length-value records that the wireless pairing messages are
 * made of. One byte of type, one byte of length, up to 255 bytes of value; a
 * longer value is split into fragments of 255 bytes of the same type that
 * follow each other directly. Two separate items of the same type in a row
 * are kept apart by an empty separator item.
 */
#ifndef LIBTARVO_TLV8_H
#define LIBTARVO_TLV8_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace libtarvo {

inline constexpr uint8_t kTlv8Separator = 0xFF;
inline constexpr std::size_t kTlv8FragmentSize = 255;

struct Tlv8Item {
    uint8_t type = 0;
    std::vector<uint8_t> value;
};

class Tlv8Writer {
  public:
    void add(uint8_t type, std::span<const uint8_t> value);
    void add_byte(uint8_t type, uint8_t value) { add(type, std::span<const uint8_t>(&value, 1)); }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
    bool has_last_ = false;
    uint8_t last_type_ = 0;
};

enum class Tlv8Result {
    kOk,
    kTruncated,  // a header or a value runs past the end of the input
    kTooLarge,   // an item (all its fragments together) is longer than allowed
};

/// Splits `input` into its items, fragments joined and separators dropped.
/// Every type is kept, known or not; the caller picks what it needs.
/// `items` is cleared first and left empty on failure.
Tlv8Result tlv8_decode(std::span<const uint8_t> input, std::size_t max_item_size,
                       std::vector<Tlv8Item> *items);

/// The only item of `type`; null when there is none or more than one.
const Tlv8Item *tlv8_find_unique(const std::vector<Tlv8Item> &items, uint8_t type);

}  // namespace libtarvo

#endif
