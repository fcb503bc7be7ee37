/*
 * Encoding and decoding of length-prefixed property-list frames.
 */
#include "plist_frame.h"

#include <algorithm>

#include "plist_untrusted.h"

namespace libtarvo {
namespace {

void put_u32_be(uint32_t value, uint8_t *out) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

}  // namespace

Status encode_plist_frame(plist_t node, PlistFormat format, std::vector<uint8_t> *frame,
                          std::size_t max_body) {
    frame->clear();
    if (!node) {
        return Status::kInvalidArg;
    }
    char *raw = nullptr;
    uint32_t length = 0;
    if (format == PlistFormat::kXml) {
        plist_to_xml(node, &raw, &length);
    } else {
        plist_to_bin(node, &raw, &length);
    }
    CString body(raw);
    if (!body || length == 0) {
        return Status::kInvalidArg;
    }
    if (length > max_body) {
        return Status::kTooLarge;
    }
    frame->resize(kPlistFrameHeaderSize + length);
    put_u32_be(length, frame->data());
    std::copy(body.get(), body.get() + length, frame->begin() + kPlistFrameHeaderSize);
    return Status::kOk;
}

ReadResult decode_plist_frame_length(std::span<const uint8_t> header, uint32_t *length,
                                     std::size_t max_body) {
    ByteReader reader(header, max_body);
    if (ReadResult r = reader.read_u32_be(length); r != ReadResult::kOk) {
        return r;
    }
    return *length > max_body ? ReadResult::kTooLarge : ReadResult::kOk;
}

Status parse_plist_body(std::span<const uint8_t> body, PlistPtr *node, std::size_t max_body) {
    node->reset();
    if (body.empty() || body.size() > max_body) {
        return Status::kMalformed;
    }
    plist_t parsed = tarvo::plist_from_untrusted_memory(body);
    if (!parsed) {
        return Status::kMalformed;
    }
    node->reset(parsed);
    return Status::kOk;
}

ReadResult decode_plist_frame(ByteReader &reader, PlistPtr *node) {
    node->reset();
    // The frame cap holds whatever maximum the caller's reader was given.
    ByteReader probe = reader;
    uint32_t length = 0;
    if (ReadResult r = probe.read_u32_be(&length); r != ReadResult::kOk) {
        return r;
    }
    if (length > kMaxPlistFrameBody) {
        return ReadResult::kTooLarge;
    }
    std::span<const uint8_t> body;
    if (ReadResult r = reader.read_length_prefixed(&body); r != ReadResult::kOk) {
        return r;
    }
    return parse_plist_body(body, node) == Status::kOk ? ReadResult::kOk : ReadResult::kMalformed;
}

}  // namespace libtarvo
