/*
 * The file-transfer framing shared by both directions: names as a u32
 * big-endian length and the bytes, frames as a u32 big-endian length N, a
 * code byte and N - 1 bytes of payload (the codes, and the longest name,
 * in device_link_protocol.h).
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_TRANSFER_FRAMES_H
#define TARVO_TOOLS_TARVOBACKUP2_TRANSFER_FRAMES_H

#include <stdint.h>

#include "libtarvo/device_link_protocol.h"

namespace dl = libtarvo::dl;

/// Content travels in blocks of at most this many bytes, through one buffer.
inline constexpr uint32_t kTransferBlockSize = 32768;
inline constexpr uint32_t kFrameHeaderSize = 5;

inline uint32_t read_be32(const uint8_t *bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           uint32_t{bytes[3]};
}

inline void write_be32(uint32_t value, uint8_t *bytes) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

#endif
