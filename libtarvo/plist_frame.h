/*
 * The frame that carries one property list on lockdown and on the services
 * started through it: a u32 big-endian body length, then the body, an XML or
 * binary property list (told apart by content). Encoding and decoding live
 * here, apart from any socket, so that the decoder can be fed every cut and
 * every kind of bad input in tests.
 */
#ifndef LIBTARVO_PLIST_FRAME_H
#define LIBTARVO_PLIST_FRAME_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "byte_reader.h"
#include "owners.h"
#include "status.h"

namespace libtarvo {

/// Bodies announced longer than this are refused before anything is allocated.
inline constexpr std::size_t kMaxPlistFrameBody = 4 * 1024 * 1024;
inline constexpr std::size_t kPlistFrameHeaderSize = 4;

enum class PlistFormat { kXml, kBinary };

/// Serialises `node` and prefixes its length. kInvalidArg for a null node,
/// kTooLarge when the body would exceed `max_body` (channels other than
/// lockdown's, such as device-link ones, have caps of their own).
Status encode_plist_frame(plist_t node, PlistFormat format, std::vector<uint8_t> *frame,
                          std::size_t max_body = kMaxPlistFrameBody);

/// The body length announced by a 4-byte header; kTooLarge above `max_body`.
ReadResult decode_plist_frame_length(std::span<const uint8_t> header, uint32_t *length,
                                     std::size_t max_body = kMaxPlistFrameBody);

/// Parses a frame body (without its prefix). kMalformed when it is empty,
/// longer than `max_body`, refused by the checks on untrusted property lists
/// (too deep, expanding to too many nodes, U+0000 in a string or key), or is
/// not a property list.
Status parse_plist_body(std::span<const uint8_t> body, PlistPtr *node,
                        std::size_t max_body = kMaxPlistFrameBody);

/// Takes one whole frame off `reader` and parses it. kIncomplete leaves the
/// reader untouched; kTooLarge and kMalformed mean the stream is unusable.
ReadResult decode_plist_frame(ByteReader &reader, PlistPtr *node);

}  // namespace libtarvo

#endif
