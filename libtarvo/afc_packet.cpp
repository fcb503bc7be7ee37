/*
 * Encoding and checking of AFC packets.
 */
#include "afc_packet.h"

#include <algorithm>

namespace libtarvo {
namespace {

void put_u64_le(uint64_t value, uint8_t *out) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t get_u64_le(const uint8_t *in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | in[i];
    }
    return value;
}

}  // namespace

const char *afc_operation_name(uint64_t operation) {
    switch (static_cast<AfcOperation>(operation)) {
        case AfcOperation::kStatus:
            return "Status";
        case AfcOperation::kData:
            return "Data";
        case AfcOperation::kReadDirectory:
            return "ReadDirectory";
        case AfcOperation::kRemovePath:
            return "RemovePath";
        case AfcOperation::kMakeDirectory:
            return "MakeDirectory";
        case AfcOperation::kGetFileInfo:
            return "GetFileInfo";
        case AfcOperation::kFileOpen:
            return "FileOpen";
        case AfcOperation::kFileOpenResult:
            return "FileOpenResult";
        case AfcOperation::kFileRead:
            return "FileRead";
        case AfcOperation::kFileWrite:
            return "FileWrite";
        case AfcOperation::kFileClose:
            return "FileClose";
        case AfcOperation::kFileLock:
            return "FileLock";
        default:
            // The host sends none of the others, so a device has no reason
            // to answer with one.
            break;
    }
    return "unknown operation";
}

void encode_afc_header(uint64_t packet_number, AfcOperation operation, std::size_t header_data_size,
                       std::size_t payload_size, std::span<uint8_t, kAfcHeaderSize> out) {
    const uint64_t this_length = kAfcHeaderSize + header_data_size;
    std::copy(std::begin(kAfcMagic), std::end(kAfcMagic), out.begin());
    put_u64_le(this_length + payload_size, out.data() + 8);
    put_u64_le(this_length, out.data() + 16);
    put_u64_le(packet_number, out.data() + 24);
    put_u64_le(static_cast<uint64_t>(operation), out.data() + 32);
}

std::vector<uint8_t> encode_afc_packet(uint64_t packet_number, AfcOperation operation,
                                       std::span<const uint8_t> header_data,
                                       std::span<const uint8_t> payload) {
    std::vector<uint8_t> packet(kAfcHeaderSize);
    encode_afc_header(packet_number, operation, header_data.size(), payload.size(),
                      std::span<uint8_t, kAfcHeaderSize>(packet.data(), kAfcHeaderSize));
    packet.insert(packet.end(), header_data.begin(), header_data.end());
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

ReadResult decode_afc_header(std::span<const uint8_t> bytes, uint64_t expected_packet,
                             AfcHeader *header) {
    *header = {};
    if (bytes.size() < kAfcHeaderSize) {
        return ReadResult::kIncomplete;
    }
    if (!std::equal(std::begin(kAfcMagic), std::end(kAfcMagic), bytes.begin())) {
        return ReadResult::kMalformed;
    }
    AfcHeader h;
    h.entire_length = get_u64_le(bytes.data() + 8);
    h.this_length = get_u64_le(bytes.data() + 16);
    h.packet_number = get_u64_le(bytes.data() + 24);
    h.operation = get_u64_le(bytes.data() + 32);
    if (h.entire_length > kAfcMaxPacketSize) {
        return ReadResult::kTooLarge;
    }
    if (h.this_length < kAfcHeaderSize || h.this_length > h.entire_length ||
        h.packet_number != expected_packet) {
        return ReadResult::kMalformed;
    }
    *header = h;
    return ReadResult::kOk;
}

ReadResult decode_afc_packet(ByteReader &reader, uint64_t expected_packet, AfcPacket *packet) {
    *packet = {};
    ByteReader probe = reader;
    std::span<const uint8_t> header_bytes;
    if (ReadResult r = probe.read_bytes(kAfcHeaderSize, &header_bytes); r != ReadResult::kOk) {
        return r;
    }
    AfcHeader header;
    if (ReadResult r = decode_afc_header(header_bytes, expected_packet, &header);
        r != ReadResult::kOk) {
        return r;
    }
    AfcPacket p;
    p.header = header;
    if (ReadResult r = probe.read_bytes(header.header_data_size(), &p.header_data);
        r != ReadResult::kOk) {
        return r;
    }
    if (ReadResult r = probe.read_bytes(header.payload_size(), &p.payload); r != ReadResult::kOk) {
        return r;
    }
    reader = probe;
    *packet = p;
    return ReadResult::kOk;
}

bool read_afc_u64(std::span<const uint8_t> bytes, uint64_t *value) {
    *value = 0;
    if (bytes.size() < 8) {
        return false;
    }
    *value = get_u64_le(bytes.data());
    return true;
}

void append_afc_u64(uint64_t value, std::vector<uint8_t> *out) {
    uint8_t bytes[8];
    put_u64_le(value, bytes);
    out->insert(out->end(), bytes, bytes + 8);
}

}  // namespace libtarvo
