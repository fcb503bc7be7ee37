/*
 * Device-link messages as a simulated device sends and reads them: arrays
 * whose element 0 names the message, framed as a u32 big-endian length and a
 * binary plist, plus the raw file-transfer frames that follow an upload or a
 * download request (name fields and code frames).
 */
#ifndef TARVO_SIM_DEVICE_LINK_MESSAGES_H
#define TARVO_SIM_DEVICE_LINK_MESSAGES_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "libtarvo/device_link_protocol.h"
#include "message_log.h"
#include "owners.h"
#include "plist_frame.h"
#include "service_socket.h"

namespace tarvosim {

/// The message names, keys and transfer codes, one list with the host's.
namespace dl = libtarvo::dl;

/// ["name"], to which the caller appends arguments.
PlistPtr dl_message(const char *name);
/// Element 0 of a device-link message, or nullopt when it is none.
std::optional<std::string> dl_message_name(plist_t message);
/// The final answer to a backup request:
/// ["DLMessageProcessMessage", {"MessageName": "Response", "ErrorCode", ...}].
PlistPtr dl_process_response(uint64_t error_code, std::string_view description,
                             std::string_view content);

/// Signed reading of an integer node as the host writes status codes
/// (negative values as two's complement, in 32 or 64 bits).
std::optional<int32_t> signed_code_of(plist_t node);

/// One device-link conversation over a service socket: framing, waits and the trace.
class DlChannel {
  public:
    DlChannel(ServiceSocket &socket, const MessageLog &log, std::string name,
              std::chrono::milliseconds idle, std::chrono::milliseconds frame)
        : socket_(socket), log_(log), name_(std::move(name)), idle_(idle), frame_(frame) {}

    ServiceSocket &socket() { return socket_; }
    const MessageLog &log() const { return log_; }
    const std::string &name() const { return name_; }
    SteadyClock::time_point frame_deadline() const { return SteadyClock::now() + frame_; }

    bool send(plist_t message);
    /// The next message, waiting at most `idle` for it to begin (the
    /// channel's own idle wait when none is given). Anything but an array
    /// whose element 0 is a string is refused as kMalformed.
    FrameStatus receive(PlistPtr *message,
                        std::optional<std::chrono::milliseconds> idle = std::nullopt);

    /// Raw stream pieces, each bounded by the frame wait.
    bool write_raw(std::span<const uint8_t> bytes);
    bool write_name_field(std::string_view name);
    /// A frame header: N = 1 + payload size, then the code byte.
    bool write_frame_header(uint32_t length, uint8_t code);
    SocketStatus read_raw(std::span<uint8_t> out);
    SocketStatus read_be32(uint32_t *value);

  private:
    ServiceSocket &socket_;
    const MessageLog &log_;
    std::string name_;
    std::chrono::milliseconds idle_;
    std::chrono::milliseconds frame_;
};

}  // namespace tarvosim

#endif
