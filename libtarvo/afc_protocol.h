/*
 * AFC's wire vocabulary, shared by the host library and the simulated
 * device: the packet header's size and magic, the operations, and the
 * status codes a device answers with. Each side frames and checks packets
 * with its own code, written apart on purpose so that one checks the other;
 * only the numbers are one.
 */
#ifndef LIBTARVO_AFC_PROTOCOL_H
#define LIBTARVO_AFC_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace libtarvo {

inline constexpr std::size_t kAfcHeaderSize = 40;
/// "CFA6LPAA", the eight bytes in this order.
inline constexpr uint8_t kAfcMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};

enum class AfcOperation : uint64_t {
    kStatus = 0x01,
    kData = 0x02,
    kReadDirectory = 0x03,
    kRemovePath = 0x08,
    kMakeDirectory = 0x09,
    kGetFileInfo = 0x0A,
    kGetDeviceInfo = 0x0B,
    kFileOpen = 0x0D,
    kFileOpenResult = 0x0E,
    kFileRead = 0x0F,
    kFileWrite = 0x10,
    kFileSeek = 0x11,
    kFileTell = 0x12,
    kFileTellResult = 0x13,
    kFileClose = 0x14,
    kRenamePath = 0x18,
    kFileLock = 0x1B,
    kRemovePathAndContents = 0x22,
};

/// The status codes of a kStatus packet; the library's public AFC_E_ codes
/// carry the same numbers.
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

}  // namespace libtarvo

#endif
