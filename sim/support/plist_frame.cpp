/*
 * Length-prefixed property-list frames over a ServiceSocket.
 */
#include "plist_frame.h"

#include <limits>
#include <memory>

#include "plist_untrusted.h"

namespace tarvosim {
namespace {

uint32_t get_be32(const uint8_t *in) {
    return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
           static_cast<uint32_t>(in[2]) << 8 | static_cast<uint32_t>(in[3]);
}

void put_be32(uint8_t *out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

FrameStatus frame_status(SocketStatus status) {
    switch (status) {
        case SocketStatus::kOk:
            return FrameStatus::kOk;
        case SocketStatus::kTimeout:
            return FrameStatus::kTimeout;
        case SocketStatus::kClosed:
        case SocketStatus::kError:
            break;
    }
    return FrameStatus::kError;
}

}  // namespace

FrameStatus read_plist_frame(ServiceSocket &socket, const FrameWaits &waits, PlistPtr *out) {
    out->reset();
    SocketStatus ready = socket.wait_readable(SteadyClock::now() + waits.idle);
    if (ready == SocketStatus::kTimeout) {
        return FrameStatus::kIdle;
    }
    if (ready != SocketStatus::kOk) {
        return FrameStatus::kError;
    }
    const auto deadline = SteadyClock::now() + waits.frame;
    uint8_t header[4];
    // The first byte tells a clean end between frames from a cut-off frame.
    SocketStatus first = socket.read_exact(std::span<uint8_t>(header, 1), deadline);
    if (first == SocketStatus::kClosed) {
        return FrameStatus::kClosed;
    }
    if (first != SocketStatus::kOk) {
        return frame_status(first);
    }
    SocketStatus rest =
        socket.read_exact(std::span<uint8_t>(header + 1, sizeof header - 1), deadline);
    if (rest != SocketStatus::kOk) {
        return frame_status(rest);
    }
    const uint32_t length = get_be32(header);
    if (length == 0 || length > kMaxPlistFrameSize) {
        return FrameStatus::kTooLarge;
    }
    std::vector<uint8_t> body(length);
    SocketStatus status = socket.read_exact(body, deadline);
    if (status != SocketStatus::kOk) {
        return frame_status(status);
    }
    plist_t node = tarvo::plist_from_untrusted_memory(body);
    if (!node) {
        return FrameStatus::kMalformed;
    }
    out->reset(node);
    return FrameStatus::kOk;
}

std::vector<uint8_t> encode_plist_frame(plist_t node, PlistEncoding encoding) {
    char *encoded = nullptr;
    uint32_t size = 0;
    if (encoding == PlistEncoding::kXml) {
        plist_to_xml(node, &encoded, &size);
    } else {
        plist_to_bin(node, &encoded, &size);
    }
    std::vector<uint8_t> frame;
    if (encoded && size > 0 && size <= std::numeric_limits<uint32_t>::max() - 4) {
        frame.resize(4 + static_cast<std::size_t>(size));
        put_be32(frame.data(), size);
        std::copy(encoded, encoded + size, frame.begin() + 4);
    }
    if (encoding == PlistEncoding::kXml) {
        plist_to_xml_free(encoded);
    } else {
        plist_to_bin_free(encoded);
    }
    return frame;
}

SocketStatus write_plist_frame(ServiceSocket &socket, plist_t node, PlistEncoding encoding,
                               SteadyClock::time_point deadline) {
    std::vector<uint8_t> frame = encode_plist_frame(node, encoding);
    if (frame.empty()) {
        return SocketStatus::kError;
    }
    return socket.write_all(frame, deadline);
}

}  // namespace tarvosim
