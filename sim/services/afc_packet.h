/*
 * AFC packets: a 40-byte header of five little-endian u64 (magic
 * "CFA6LPAA", entire length, header length, packet number, operation), then
 * header data, then payload. Reading checks the magic and both lengths
 * against the cap before anything is allocated; AfcArgs reads the
 * arguments of a request with the same care. The numbers come from the
 * host library's afc_protocol.h; the framing here is the device's own,
 * written apart from the host's so that each checks the other.
 */
#ifndef TARVO_SIM_AFC_PACKET_H
#define TARVO_SIM_AFC_PACKET_H

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "libtarvo/afc_protocol.h"
#include "service_socket.h"

namespace tarvosim {

using libtarvo::AfcOperation;
using libtarvo::kAfcHeaderSize;
namespace afc_status = libtarvo::afc_status;

/// Packets above this are refused unread: hosts write in far smaller pieces.
inline constexpr uint64_t kMaxAfcPacketSize = 8 * 1024 * 1024 + kAfcHeaderSize;

struct AfcPacket {
    uint64_t number = 0;
    AfcOperation operation{};  // as sent: possibly none of the known ones
    std::vector<uint8_t> header_data;
    std::vector<uint8_t> payload;
};

enum class AfcReadStatus {
    kOk,
    kClosed,     // the stream ended between packets
    kIdle,       // nothing began before the idle wait ran out
    kTimeout,    // a packet began but did not complete in time
    kBadHeader,  // wrong magic, lengths that contradict each other or exceed the cap
    kError,      // transport failure, or the stream ended inside a packet
};

AfcReadStatus read_afc_packet(ServiceSocket &socket, std::chrono::milliseconds idle,
                              std::chrono::milliseconds packet, AfcPacket *out);

std::vector<uint8_t> encode_afc_packet(uint64_t number, AfcOperation operation,
                                       std::span<const uint8_t> header_data,
                                       std::span<const uint8_t> payload);

/// Check-then-consume reader of a request's arguments: a failed read leaves
/// the cursor where it was.
class AfcArgs {
  public:
    explicit AfcArgs(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool u64(uint64_t *value);
    /// A NUL-terminated string (the terminator is consumed, not stored).
    bool c_string(std::string *value);
    std::size_t left() const { return bytes_.size(); }

  private:
    std::span<const uint8_t> bytes_;
};

void append_u64le(std::vector<uint8_t> *out, uint64_t value);

}  // namespace tarvosim

#endif
