/*
 * TLV8 encoding and decoding.
 */
#include "tlv8.h"

#include <algorithm>

namespace libtarvo {

void Tlv8Writer::add(uint8_t type, std::span<const uint8_t> value) {
    if (has_last_ && last_type_ == type) {
        // Otherwise the two would read back as one value.
        bytes_.push_back(kTlv8Separator);
        bytes_.push_back(0);
    }
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(kTlv8FragmentSize, value.size() - offset);
        bytes_.push_back(type);
        bytes_.push_back(static_cast<uint8_t>(length));
        bytes_.insert(bytes_.end(), value.begin() + static_cast<std::ptrdiff_t>(offset),
                      value.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
    } while (offset < value.size());
    has_last_ = true;
    last_type_ = type;
}

Tlv8Result tlv8_decode(std::span<const uint8_t> input, std::size_t max_item_size,
                       std::vector<Tlv8Item> *items) {
    items->clear();
    std::vector<Tlv8Item> decoded;
    bool last_was_full = false;  // the previous fragment was 255 bytes long
    std::size_t offset = 0;
    while (offset < input.size()) {
        if (input.size() - offset < 2) {
            return Tlv8Result::kTruncated;
        }
        const uint8_t type = input[offset];
        const std::size_t length = input[offset + 1];
        offset += 2;
        if (input.size() - offset < length) {
            return Tlv8Result::kTruncated;
        }
        const std::span<const uint8_t> value = input.subspan(offset, length);
        offset += length;
        if (type == kTlv8Separator) {
            last_was_full = false;
            continue;
        }
        const bool continues = last_was_full && !decoded.empty() && decoded.back().type == type;
        last_was_full = length == kTlv8FragmentSize;
        if (!continues) {
            decoded.push_back(Tlv8Item{type, {}});
        }
        std::vector<uint8_t> &target = decoded.back().value;
        if (target.size() + value.size() > max_item_size) {
            return Tlv8Result::kTooLarge;
        }
        target.insert(target.end(), value.begin(), value.end());
    }
    *items = std::move(decoded);
    return Tlv8Result::kOk;
}

const Tlv8Item *tlv8_find_unique(const std::vector<Tlv8Item> &items, uint8_t type) {
    const Tlv8Item *found = nullptr;
    for (const Tlv8Item &item : items) {
        if (item.type == type) {
            if (found) {
                return nullptr;
            }
            found = &item;
        }
    }
    return found;
}

}  // namespace libtarvo
