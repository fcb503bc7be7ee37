/*
 * Device-link's wire vocabulary, shared by the host library, the backup
 * tool and the simulated device: the message names (element 0 of every
 * message array), the placeholder for an argument of no meaning, the keys
 * of a file's attributes, and the codes of the raw file-transfer frames
 * that follow an upload or a download request.
 */
#ifndef LIBTARVO_DEVICE_LINK_PROTOCOL_H
#define LIBTARVO_DEVICE_LINK_PROTOCOL_H

#include <cstdint>

// One name a line: a list like any other, and the one place each name is spelt.
namespace libtarvo::dl {

// The version exchange and the session around the messages.
inline constexpr const char *kVersionExchange = "DLMessageVersionExchange";
inline constexpr const char *kVersionsOk = "DLVersionsOk";
inline constexpr const char *kDeviceReady = "DLMessageDeviceReady";
inline constexpr const char *kDisconnect = "DLMessageDisconnect";
inline constexpr const char *kProcessMessage = "DLMessageProcessMessage";
inline constexpr const char *kStatusResponse = "DLMessageStatusResponse";
/// What device-link puts where a message has no argument of meaning.
inline constexpr const char *kEmptyParameter = "___EmptyParameterString___";

// The device's requests of the host's file system.
inline constexpr const char *kUploadFiles = "DLMessageUploadFiles";
inline constexpr const char *kDownloadFiles = "DLMessageDownloadFiles";
inline constexpr const char *kGetFreeDiskSpace = "DLMessageGetFreeDiskSpace";
inline constexpr const char *kPurgeDiskSpace = "DLMessagePurgeDiskSpace";
inline constexpr const char *kContentsOfDirectory = "DLContentsOfDirectory";
inline constexpr const char *kCreateDirectory = "DLMessageCreateDirectory";
inline constexpr const char *kMoveFiles = "DLMessageMoveFiles";
inline constexpr const char *kMoveItems = "DLMessageMoveItems";
inline constexpr const char *kRemoveFiles = "DLMessageRemoveFiles";
inline constexpr const char *kRemoveItems = "DLMessageRemoveItems";
inline constexpr const char *kCopyItem = "DLMessageCopyItem";

// A file's attributes in the answer to kContentsOfDirectory, and the
// error items of a failed transfer.
inline constexpr const char *kFileType = "DLFileType";
inline constexpr const char *kFileTypeDirectory = "DLFileTypeDirectory";
inline constexpr const char *kFileTypeRegular = "DLFileTypeRegular";
inline constexpr const char *kFileTypeUnknown = "DLFileTypeUnknown";
inline constexpr const char *kFileSize = "DLFileSize";
inline constexpr const char *kFileModificationDate = "DLFileModificationDate";
inline constexpr const char *kFileErrorCode = "DLFileErrorCode";
inline constexpr const char *kFileErrorString = "DLFileErrorString";

// Frames of the file-transfer stream: u32 big-endian length, one code
// byte, then length - 1 bytes.
inline constexpr uint8_t kXferOk = 0x00;
inline constexpr uint8_t kXferHostError = 0x06;
inline constexpr uint8_t kXferDeviceError = 0x0B;
inline constexpr uint8_t kXferData = 0x0C;
/// Names in the file-transfer stream longer than this are refused.
inline constexpr uint32_t kMaxXferNameLength = 4096;

}  // namespace libtarvo::dl

#endif
