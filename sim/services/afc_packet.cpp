/*
 * Reading and writing AFC packets.
 */
#include "afc_packet.h"

#include <algorithm>
#include <cstring>

namespace tarvosim {
namespace {

uint64_t get_u64le(const uint8_t *in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | in[i];
    }
    return value;
}

AfcReadStatus read_status(SocketStatus status) {
    return status == SocketStatus::kTimeout ? AfcReadStatus::kTimeout : AfcReadStatus::kError;
}

}  // namespace

void append_u64le(std::vector<uint8_t> *out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

AfcReadStatus read_afc_packet(ServiceSocket &socket, std::chrono::milliseconds idle,
                              std::chrono::milliseconds packet, AfcPacket *out) {
    const SocketStatus ready = socket.wait_readable(SteadyClock::now() + idle);
    if (ready == SocketStatus::kTimeout) {
        return AfcReadStatus::kIdle;
    }
    if (ready != SocketStatus::kOk) {
        return AfcReadStatus::kError;
    }
    const auto deadline = SteadyClock::now() + packet;
    uint8_t header[kAfcHeaderSize];
    const SocketStatus first = socket.read_exact(std::span<uint8_t>(header, 1), deadline);
    if (first == SocketStatus::kClosed) {
        return AfcReadStatus::kClosed;
    }
    if (first != SocketStatus::kOk) {
        return read_status(first);
    }
    const SocketStatus rest =
        socket.read_exact(std::span<uint8_t>(header + 1, sizeof header - 1), deadline);
    if (rest != SocketStatus::kOk) {
        return read_status(rest);
    }
    const uint64_t entire = get_u64le(header + 8);
    const uint64_t this_length = get_u64le(header + 16);
    if (std::memcmp(header, libtarvo::kAfcMagic, sizeof libtarvo::kAfcMagic) != 0 ||
        this_length < kAfcHeaderSize || entire < this_length || entire > kMaxAfcPacketSize) {
        return AfcReadStatus::kBadHeader;
    }
    AfcPacket packet_read;
    packet_read.number = get_u64le(header + 24);
    packet_read.operation = static_cast<AfcOperation>(get_u64le(header + 32));
    packet_read.header_data.resize(this_length - kAfcHeaderSize);
    packet_read.payload.resize(entire - this_length);
    for (std::vector<uint8_t> *part : {&packet_read.header_data, &packet_read.payload}) {
        const SocketStatus status = socket.read_exact(*part, deadline);
        if (status != SocketStatus::kOk) {
            return read_status(status);
        }
    }
    *out = std::move(packet_read);
    return AfcReadStatus::kOk;
}

std::vector<uint8_t> encode_afc_packet(uint64_t number, AfcOperation operation,
                                       std::span<const uint8_t> header_data,
                                       std::span<const uint8_t> payload) {
    std::vector<uint8_t> packet(std::begin(libtarvo::kAfcMagic), std::end(libtarvo::kAfcMagic));
    const uint64_t this_length = kAfcHeaderSize + header_data.size();
    append_u64le(&packet, this_length + payload.size());
    append_u64le(&packet, this_length);
    append_u64le(&packet, number);
    append_u64le(&packet, static_cast<uint64_t>(operation));
    packet.insert(packet.end(), header_data.begin(), header_data.end());
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

bool AfcArgs::u64(uint64_t *value) {
    if (bytes_.size() < 8) {
        return false;
    }
    *value = get_u64le(bytes_.data());
    bytes_ = bytes_.subspan(8);
    return true;
}

bool AfcArgs::c_string(std::string *value) {
    const auto end = std::find(bytes_.begin(), bytes_.end(), uint8_t{0});
    if (end == bytes_.end()) {
        return false;
    }
    const std::size_t length = static_cast<std::size_t>(end - bytes_.begin());
    value->assign(reinterpret_cast<const char *>(bytes_.data()), length);
    bytes_ = bytes_.subspan(length + 1);
    return true;
}

}  // namespace tarvosim
