/*
 * Framing of the multiplexer daemon's messages: a 16-byte header of four
 * little-endian u32 (total length including the header, protocol version,
 * message type, tag) followed by a property list. The encoder writes XML
 * plist frames; the decoder takes bytes as they arrive and hands out one
 * whole plist frame at a time.
 */
#ifndef TARVO_SIM_MUX_WIRE_H
#define TARVO_SIM_MUX_WIRE_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "owners.h"

namespace tarvosim {

inline constexpr std::size_t kMuxHeaderSize = 16;
inline constexpr uint32_t kMuxPlistProtocolVersion = 1;
inline constexpr uint32_t kMuxMessageTypePlist = 8;
/// Largest frame accepted from a peer. Pair records, the biggest payload the
/// daemon carries, are a few KiB; anything near this is hostile.
inline constexpr std::size_t kMuxMaxMessageSize = 4 * 1024 * 1024;

struct MuxMessage {
    uint32_t tag = 0;
    PlistPtr payload;  // always a dictionary
};

/// Frames `payload` (a dictionary) as an XML plist message with `tag`.
/// Returns an empty vector when the payload is not a dictionary or the frame
/// would not fit in the length field.
std::vector<uint8_t> mux_encode_plist(uint32_t tag, plist_t payload);

enum class MuxDecodeResult {
    kMessage,    // *out holds the next message
    kNeedMore,   // no whole frame buffered yet
    kMalformed,  // bad header or a payload that is not a plist dictionary
    kTooLarge,   // the header announces more than the cap
};

/// Incremental decoder. Feed it what the socket gave and call next() after
/// every feed: the length in a header is checked against the cap as soon as
/// the header is complete, so at most one read's worth of bytes beyond the cap
/// is ever buffered. Frames of message types other than plist are skipped.
/// After kMalformed or kTooLarge the stream has lost its framing and every
/// later next() repeats that result.
class MuxDecoder {
  public:
    explicit MuxDecoder(std::size_t max_message_size = kMuxMaxMessageSize)
        : max_message_size_(max_message_size) {}

    void feed(std::span<const uint8_t> bytes);
    MuxDecodeResult next(MuxMessage *out);

    std::size_t buffered() const { return buffer_.size(); }
    uint64_t skipped_frames() const { return skipped_frames_; }

  private:
    MuxDecodeResult decode_one(MuxMessage *out, bool *skipped);

    std::size_t max_message_size_;
    std::vector<uint8_t> buffer_;
    uint64_t skipped_frames_ = 0;
    MuxDecodeResult failure_ = MuxDecodeResult::kNeedMore;  // sticky once not kNeedMore
};

}  // namespace tarvosim

#endif
