/*
 * PlistChannel: sends, and receives through the property-list frame loop.
 */
#include "plist_channel.h"

#include <vector>

#include "debug.h"
#include "frame_receive.h"

namespace libtarvo {

Status PlistChannel::send(plist_t node, PlistFormat format, int timeout_ms) {
    std::vector<uint8_t> frame;
    if (Status s = encode_plist_frame(node, format, &frame); s != Status::kOk) {
        return s;
    }
    debug_plist(Direction::kSent, name_, node);
    return connection_->send_all(frame, timeout_ms);
}

Status PlistChannel::receive(PlistPtr *node, int timeout_ms) {
    return receive_plist_message(*connection_, name_, FrameWaits{timeout_ms}, node);
}

Status PlistChannel::send_raw(std::span<const uint8_t> bytes, int timeout_ms) {
    debug_raw(Direction::kSent, name_, bytes.size());
    return connection_->send_all(bytes, timeout_ms);
}

Status PlistChannel::receive_raw(std::span<uint8_t> out, int timeout_ms) {
    Status s = connection_->receive_exact(out, timeout_ms);
    if (s == Status::kOk) {
        debug_raw(Direction::kReceived, name_, out.size());
    }
    return s;
}

}  // namespace libtarvo
