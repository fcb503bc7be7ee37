/*
 * PlistChannel: one frame loop for every plist-speaking service.
 */
#include "plist_channel.h"

#include <vector>

#include "debug.h"

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
    node->reset();
    Deadline deadline(timeout_ms);
    uint8_t header[kPlistFrameHeaderSize];
    if (Status s = connection_->receive_exact(header, deadline); s != Status::kOk) {
        return s;
    }
    uint32_t length = 0;
    switch (decode_plist_frame_length(header, &length)) {
        case ReadResult::kOk:
            break;
        case ReadResult::kTooLarge:
            debug_note(name_, "refused a message above the size cap");
            connection_->mark_broken();
            return Status::kTooLarge;
        default:
            connection_->mark_broken();
            return Status::kMalformed;
    }
    std::vector<uint8_t> body(length);
    if (Status s = connection_->receive_exact(body, deadline); s != Status::kOk) {
        connection_->mark_broken();
        return s;
    }
    if (Status s = parse_plist_body(body, node); s != Status::kOk) {
        debug_note(name_, "received a message that is not a property list");
        return s;
    }
    debug_plist(Direction::kReceived, name_, node->get());
    return Status::kOk;
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
