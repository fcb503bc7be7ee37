/*
 * Encoder and incremental decoder of the multiplexer daemon's frames.
 */
#include "mux_wire.h"

#include <algorithm>
#include <limits>

#include "plist_untrusted.h"

namespace tarvosim {
namespace {

void put_le32(uint8_t *out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t get_le32(const uint8_t *in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

PlistPtr parse_dictionary(std::span<const uint8_t> body) {
    PlistPtr parsed(tarvo::plist_from_untrusted_memory(body));
    if (!parsed || plist_get_node_type(parsed.get()) != PLIST_DICT) {
        return nullptr;
    }
    return parsed;
}

}  // namespace

std::vector<uint8_t> mux_encode_plist(uint32_t tag, plist_t payload) {
    if (!payload || plist_get_node_type(payload) != PLIST_DICT) {
        return {};
    }
    char *xml_raw = nullptr;
    uint32_t xml_size = 0;
    plist_to_xml(payload, &xml_raw, &xml_size);
    CString xml(xml_raw);
    if (!xml || xml_size == 0 || xml_size > std::numeric_limits<uint32_t>::max() - kMuxHeaderSize) {
        return {};
    }
    const uint32_t total = static_cast<uint32_t>(kMuxHeaderSize) + xml_size;
    std::vector<uint8_t> frame(total);
    put_le32(&frame[0], total);
    put_le32(&frame[4], kMuxPlistProtocolVersion);
    put_le32(&frame[8], kMuxMessageTypePlist);
    put_le32(&frame[12], tag);
    std::copy(xml.get(), xml.get() + xml_size, frame.begin() + kMuxHeaderSize);
    return frame;
}

void MuxDecoder::feed(std::span<const uint8_t> bytes) {
    if (failure_ != MuxDecodeResult::kNeedMore) {
        return;  // framing is lost; keep nothing more from this peer
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

MuxDecodeResult MuxDecoder::next(MuxMessage *out) {
    for (;;) {
        bool skipped = false;
        MuxDecodeResult result = decode_one(out, &skipped);
        if (!skipped) {
            return result;
        }
    }
}

MuxDecodeResult MuxDecoder::decode_one(MuxMessage *out, bool *skipped) {
    if (failure_ != MuxDecodeResult::kNeedMore) {
        return failure_;
    }
    if (buffer_.size() < kMuxHeaderSize) {
        return MuxDecodeResult::kNeedMore;
    }
    const uint32_t length = get_le32(&buffer_[0]);
    const uint32_t type = get_le32(&buffer_[8]);
    const uint32_t tag = get_le32(&buffer_[12]);
    if (length < kMuxHeaderSize) {
        failure_ = MuxDecodeResult::kMalformed;
        buffer_.clear();
        return failure_;
    }
    if (length > max_message_size_) {
        failure_ = MuxDecodeResult::kTooLarge;
        buffer_.clear();
        return failure_;
    }
    if (buffer_.size() < length) {
        return MuxDecodeResult::kNeedMore;
    }
    // The version field is not consulted: the message type alone says what
    // the payload is.
    if (type != kMuxMessageTypePlist) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + length);
        ++skipped_frames_;
        *skipped = true;
        return MuxDecodeResult::kNeedMore;
    }
    PlistPtr payload = parse_dictionary(
        std::span<const uint8_t>(buffer_).subspan(kMuxHeaderSize, length - kMuxHeaderSize));
    if (!payload) {
        failure_ = MuxDecodeResult::kMalformed;
        buffer_.clear();
        return failure_;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + length);
    out->tag = tag;
    out->payload = std::move(payload);
    return MuxDecodeResult::kMessage;
}

}  // namespace tarvosim
