/*
 * AFC's packet format, apart from any socket: a 40-byte header of five
 * little-endian u64 (magic, entire length, this length, packet number,
 * operation), then the header data, then the payload. "This length" covers
 * the header and its data, "entire length" the payload as well. Decoding
 * checks every length against a cap before anything is sized from it, so
 * that the decoder can be fed every cut and every kind of bad header in
 * tests.
 */
#ifndef LIBTARVO_AFC_PACKET_H
#define LIBTARVO_AFC_PACKET_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "afc_protocol.h"
#include "byte_reader.h"

namespace libtarvo {

/// Packets announcing more than this (header included) are refused before
/// anything is allocated. Reads and writes are split well below it.
inline constexpr uint64_t kAfcMaxPacketSize = 16 * 1024 * 1024 + kAfcHeaderSize;

const char *afc_operation_name(uint64_t operation);

struct AfcHeader {
    uint64_t entire_length = 0;
    uint64_t this_length = 0;
    uint64_t packet_number = 0;
    uint64_t operation = 0;

    uint64_t header_data_size() const { return this_length - kAfcHeaderSize; }
    uint64_t payload_size() const { return entire_length - this_length; }
};

/// The 40 header bytes for a packet carrying these amounts of header data
/// and payload.
void encode_afc_header(uint64_t packet_number, AfcOperation operation, std::size_t header_data_size,
                       std::size_t payload_size, std::span<uint8_t, kAfcHeaderSize> out);

/// A whole packet in one buffer (header, header data, payload).
std::vector<uint8_t> encode_afc_packet(uint64_t packet_number, AfcOperation operation,
                                       std::span<const uint8_t> header_data,
                                       std::span<const uint8_t> payload);

/// Checks the 40 header bytes of a reply to request `expected_packet`.
/// kIncomplete: fewer than 40 bytes. kMalformed: wrong magic, a this-length
/// below the header or above the entire length, or another packet number.
/// kTooLarge: an entire length above kAfcMaxPacketSize.
ReadResult decode_afc_header(std::span<const uint8_t> bytes, uint64_t expected_packet,
                             AfcHeader *header);

struct AfcPacket {
    AfcHeader header;
    std::span<const uint8_t> header_data;
    std::span<const uint8_t> payload;
};

/// Takes one whole packet off `reader`, viewing its parts in place.
/// kIncomplete leaves the reader untouched.
ReadResult decode_afc_packet(ByteReader &reader, uint64_t expected_packet, AfcPacket *packet);

/// The little-endian u64 at the start of `bytes`; false when there are fewer than 8.
bool read_afc_u64(std::span<const uint8_t> bytes, uint64_t *value);
void append_afc_u64(uint64_t value, std::vector<uint8_t> *out);

}  // namespace libtarvo

#endif
