/*
 * AFC packets: a 40-byte header of five little-endian u64 (magic
 * "CFA6LPAA", entire length, header length, packet number, operation), then
 * header data, then payload. Reading checks the magic and both lengths
 * against the cap before anything is allocated; AfcArgs reads the
 * arguments of a request with the same care.
 */
#ifndef TARVO_SIM_AFC_PACKET_H
#define TARVO_SIM_AFC_PACKET_H

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device_link.h"

namespace tarvosim {

inline constexpr std::size_t kAfcHeaderSize = 40;
/// Packets above this are refused unread: hosts write in far smaller pieces.
inline constexpr uint64_t kMaxAfcPacketSize = 8 * 1024 * 1024 + kAfcHeaderSize;

namespace afc_op {
inline constexpr uint64_t kStatus = 0x01;
inline constexpr uint64_t kData = 0x02;
inline constexpr uint64_t kReadDir = 0x03;
inline constexpr uint64_t kRemovePath = 0x08;
inline constexpr uint64_t kMakeDir = 0x09;
inline constexpr uint64_t kGetFileInfo = 0x0A;
inline constexpr uint64_t kGetDeviceInfo = 0x0B;
inline constexpr uint64_t kFileOpen = 0x0D;
inline constexpr uint64_t kFileOpenResult = 0x0E;
inline constexpr uint64_t kFileRead = 0x0F;
inline constexpr uint64_t kFileWrite = 0x10;
inline constexpr uint64_t kFileSeek = 0x11;
inline constexpr uint64_t kFileTell = 0x12;
inline constexpr uint64_t kFileTellResult = 0x13;
inline constexpr uint64_t kFileClose = 0x14;
inline constexpr uint64_t kRenamePath = 0x18;
inline constexpr uint64_t kFileLock = 0x1B;
inline constexpr uint64_t kRemovePathAndContents = 0x22;
}  // namespace afc_op

/// Status codes a device answers with.
namespace afc_status {
inline constexpr uint64_t kSuccess = 0;
inline constexpr uint64_t kUnknownError = 1;
inline constexpr uint64_t kHeaderInvalid = 2;
inline constexpr uint64_t kNoResources = 3;
inline constexpr uint64_t kReadError = 4;
inline constexpr uint64_t kWriteError = 5;
inline constexpr uint64_t kUnknownPacketType = 6;
inline constexpr uint64_t kInvalidArgument = 7;
inline constexpr uint64_t kNotFound = 8;
inline constexpr uint64_t kIsDirectory = 9;
inline constexpr uint64_t kPermissionDenied = 10;
inline constexpr uint64_t kTooMuchData = 13;
inline constexpr uint64_t kEndOfData = 14;
inline constexpr uint64_t kNotSupported = 15;
inline constexpr uint64_t kExists = 16;
inline constexpr uint64_t kNoSpace = 18;
inline constexpr uint64_t kWouldBlock = 19;
inline constexpr uint64_t kIoError = 20;
inline constexpr uint64_t kInterrupted = 21;
inline constexpr uint64_t kInternalError = 23;
}  // namespace afc_status

struct AfcPacket {
    uint64_t number = 0;
    uint64_t operation = 0;
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

AfcReadStatus read_afc_packet(DeviceLink &link, std::chrono::milliseconds idle,
                              std::chrono::milliseconds packet, AfcPacket *out);

std::vector<uint8_t> encode_afc_packet(uint64_t number, uint64_t operation,
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
