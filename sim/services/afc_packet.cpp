/*
 * Reading and writing AFC packets.
 */
#include "afc_packet.h"

#include <algorithm>
#include <cstring>

namespace tarvosim {
namespace {

constexpr uint8_t kMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};

uint64_t get_u64le(const uint8_t *in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | in[i];
    }
    return value;
}

AfcReadStatus read_status(LinkStatus status) {
    return status == LinkStatus::kTimeout ? AfcReadStatus::kTimeout : AfcReadStatus::kError;
}

}  // namespace

void append_u64le(std::vector<uint8_t> *out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

AfcReadStatus read_afc_packet(DeviceLink &link, std::chrono::milliseconds idle,
                              std::chrono::milliseconds packet, AfcPacket *out) {
    const LinkStatus ready = link.wait_readable(SteadyClock::now() + idle);
    if (ready == LinkStatus::kTimeout) {
        return AfcReadStatus::kIdle;
    }
    if (ready != LinkStatus::kOk) {
        return AfcReadStatus::kError;
    }
    const auto deadline = SteadyClock::now() + packet;
    uint8_t header[kAfcHeaderSize];
    const LinkStatus first = link.read_exact(std::span<uint8_t>(header, 1), deadline);
    if (first == LinkStatus::kClosed) {
        return AfcReadStatus::kClosed;
    }
    if (first != LinkStatus::kOk) {
        return read_status(first);
    }
    const LinkStatus rest =
        link.read_exact(std::span<uint8_t>(header + 1, sizeof header - 1), deadline);
    if (rest != LinkStatus::kOk) {
        return read_status(rest);
    }
    const uint64_t entire = get_u64le(header + 8);
    const uint64_t this_length = get_u64le(header + 16);
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || this_length < kAfcHeaderSize ||
        entire < this_length || entire > kMaxAfcPacketSize) {
        return AfcReadStatus::kBadHeader;
    }
    AfcPacket packet_read;
    packet_read.number = get_u64le(header + 24);
    packet_read.operation = get_u64le(header + 32);
    packet_read.header_data.resize(this_length - kAfcHeaderSize);
    packet_read.payload.resize(entire - this_length);
    for (std::vector<uint8_t> *part : {&packet_read.header_data, &packet_read.payload}) {
        const LinkStatus status = link.read_exact(*part, deadline);
        if (status != LinkStatus::kOk) {
            return read_status(status);
        }
    }
    *out = std::move(packet_read);
    return AfcReadStatus::kOk;
}

std::vector<uint8_t> encode_afc_packet(uint64_t number, uint64_t operation,
                                       std::span<const uint8_t> header_data,
                                       std::span<const uint8_t> payload) {
    std::vector<uint8_t> packet(std::begin(kMagic), std::end(kMagic));
    const uint64_t this_length = kAfcHeaderSize + header_data.size();
    append_u64le(&packet, this_length + payload.size());
    append_u64le(&packet, this_length);
    append_u64le(&packet, number);
    append_u64le(&packet, operation);
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
