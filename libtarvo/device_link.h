/*
 * Device-link messages, the layer the backup service speaks: each message is
 * a property-list array whose element 0 is a string naming it, sent as a u32
 * big-endian length and a binary property list. The codec (apart from any
 * socket, for tests), builders for the messages the host sends, and
 * DeviceLinkChannel, the frame loop over one connection, which also passes
 * raw file bytes through between messages.
 */
#ifndef LIBTARVO_DEVICE_LINK_H
#define LIBTARVO_DEVICE_LINK_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "connection.h"
#include "owners.h"
#include "status.h"

namespace libtarvo {

/// Bodies announced longer than this are refused before anything is
/// allocated. Far above any real message (directory listings are the
/// largest), far below what would hurt.
inline constexpr std::size_t kMaxDeviceLinkBody = 64 * 1024 * 1024;
inline constexpr std::size_t kDeviceLinkHeaderSize = 4;
/// Stands for an absent text argument; device-link messages have no null.
inline constexpr const char *kDeviceLinkEmptyParameter = "___EmptyParameterString___";

/// Element 0 of `message` when it is an array whose element 0 is a string.
bool device_link_message_name(plist_t message, std::string *name);

/// Serialises `message` (binary) behind its length. kInvalidArg when it is
/// not a device-link message, kTooLarge when the body exceeds the cap.
Status encode_device_link_frame(plist_t message, std::vector<uint8_t> *frame);
/// kMalformed unless `body` is a property list (not nested absurdly deep)
/// that is a device-link message; *name gets its name.
Status parse_device_link_body(std::span<const uint8_t> body, PlistPtr *message, std::string *name);
/// Takes one whole frame off `reader`. kIncomplete leaves the reader
/// untouched; kTooLarge and kMalformed mean the stream is unusable.
ReadResult decode_device_link_frame(ByteReader &reader, PlistPtr *message, std::string *name);

/// [name]
PlistPtr make_device_link_message(const char *name);
/// ["DLMessageProcessMessage", dictionary]; takes the dictionary.
PlistPtr make_process_message(PlistPtr dictionary);
/// ["DLMessageStatusResponse", code, text, value]: the code as an unsigned
/// integer holding its 64-bit two's complement, a null text as the empty
/// parameter, a copy of `value` or an empty dictionary.
PlistPtr make_status_response(int32_t code, const char *text, plist_t value);
/// ["DLMessageVersionExchange", "DLVersionsOk", major]
PlistPtr make_versions_ok(uint64_t major);
/// ["DLMessageDisconnect", "___EmptyParameterString___"]
PlistPtr make_disconnect();

class DeviceLinkChannel {
  public:
    static constexpr std::size_t kReadAheadBytes = 256 * 1024;

    DeviceLinkChannel(std::unique_ptr<Connection> connection, std::string name)
        : connection_(std::move(connection)), name_(std::move(name)) {
        // File streams arrive as many small frames between messages.
        connection_->enable_read_ahead(kReadAheadBytes);
    }

    Status send(plist_t message, int timeout_ms = kDefaultSendTimeoutMs);
    /// One whole message. Waits at most `first_byte_ms` for it to begin, then
    /// at most `completion_ms` for the rest. kTimeout: nothing arrived, the
    /// channel is in step. kMalformed for a complete frame that is no
    /// device-link message leaves it in step too; every other failure breaks it.
    Status receive(PlistPtr *message, std::string *name, int first_byte_ms, int completion_ms);

    Status send_raw(std::span<const uint8_t> bytes, int timeout_ms = kDefaultSendTimeoutMs);
    /// Fills `out` straight from the connection. Waits at most
    /// `first_byte_ms` for the first byte (kTimeout, *got 0, channel in
    /// step), then at most `stall_ms` for each further piece. On a failure
    /// after that *got is the count of bytes known to be in `out`, which may
    /// fall short of what arrived by less than one piece.
    Status receive_raw(std::span<uint8_t> out, std::size_t *got, int first_byte_ms, int stall_ms);

    Connection &connection() { return *connection_; }
    const std::string &name() const { return name_; }

  private:
    // Holds its connection as PlistChannel does: its frames and two-stage waits are its own.
    std::unique_ptr<Connection> connection_;
    std::string name_;
};

}  // namespace libtarvo

#endif
