/*
 * The framing lockdown and the plist services share: a u32 big-endian
 * length, then a property list (XML or binary). The length is checked
 * against the cap before anything is allocated.
 */
#ifndef TARVO_SIM_PLIST_FRAME_H
#define TARVO_SIM_PLIST_FRAME_H

#include <chrono>
#include <cstdint>
#include <vector>

#include "owners.h"
#include "service_socket.h"

namespace tarvosim {

/// Frames longer than this are refused unread (the host keeps to the same cap).
inline constexpr uint32_t kMaxPlistFrameSize = 4 * 1024 * 1024;

enum class FrameStatus {
    kOk,
    kClosed,     // the stream ended between frames
    kIdle,       // no frame began before the idle wait ran out
    kTimeout,    // a frame began but did not complete in time
    kTooLarge,   // the length prefix is above the cap (or zero)
    kMalformed,  // the body is not a property list
    kError,      // transport failure, or the stream ended inside a frame
};

struct FrameWaits {
    /// How long to wait for the first byte of the next frame.
    std::chrono::milliseconds idle;
    /// How long the rest of the frame may take once its first byte is in.
    std::chrono::milliseconds frame;
};

/// Reads one frame and parses its body into *out (any plist type).
FrameStatus read_plist_frame(ServiceSocket &socket, const FrameWaits &waits, PlistPtr *out);

enum class PlistEncoding { kXml, kBinary };

/// Length prefix + encoded plist; empty when the plist cannot be encoded.
std::vector<uint8_t> encode_plist_frame(plist_t node, PlistEncoding encoding);

SocketStatus write_plist_frame(ServiceSocket &socket, plist_t node, PlistEncoding encoding,
                               SteadyClock::time_point deadline);

}  // namespace tarvosim

#endif
