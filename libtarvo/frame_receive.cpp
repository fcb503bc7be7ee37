/*
 * Reading one length-prefixed frame, and the property-list frame loop on it.
 */
#include "frame_receive.h"

#include <algorithm>

#include "debug.h"

namespace libtarvo {

Status receive_length_prefixed_frame(Connection &connection, std::size_t max_body,
                                     const FrameWaits &waits, std::vector<uint8_t> *frame) {
    frame->clear();
    uint8_t header[kPlistFrameHeaderSize];
    Deadline first_byte(waits.first_byte_ms);
    // With one budget for the whole frame, the header is read in one go.
    const bool one_budget = waits.completion_ms < 0;
    const std::size_t first_part = one_budget ? sizeof(header) : 1;
    if (Status s = connection.receive_exact(std::span(header, first_part), first_byte);
        s != Status::kOk) {
        return s;
    }
    const Deadline completion = one_budget ? first_byte : Deadline(waits.completion_ms);
    if (Status s = connection.receive_exact(
            std::span(header + first_part, sizeof(header) - first_part), completion);
        s != Status::kOk) {
        connection.mark_broken();
        return s;
    }
    uint32_t length = 0;
    if (decode_plist_frame_length(header, &length, max_body) != ReadResult::kOk) {
        connection.mark_broken();
        return Status::kTooLarge;
    }
    frame->resize(sizeof(header) + length);
    std::copy(std::begin(header), std::end(header), frame->begin());
    if (Status s = connection.receive_exact(std::span(*frame).subspan(sizeof(header)), completion);
        s != Status::kOk) {
        frame->clear();
        connection.mark_broken();
        return s;
    }
    return Status::kOk;
}

Status receive_plist_message(Connection &connection, std::string_view name, const FrameWaits &waits,
                             PlistPtr *node, const PlistFrameLimit &limit, std::size_t *body_size) {
    node->reset();
    std::vector<uint8_t> frame;
    if (Status s = receive_length_prefixed_frame(connection, limit.max_body, waits, &frame);
        s != Status::kOk) {
        if (s == Status::kTooLarge) {
            debug_note(name, limit.refused_note);
        }
        return s;
    }
    ByteReader reader(frame, limit.max_body);
    if (decode_plist_frame(reader, node) != ReadResult::kOk ||
        reader.expect_end() != ReadResult::kOk) {
        node->reset();
        debug_note(name, "received a message that is not a property list");
        return Status::kMalformed;
    }
    if (body_size) {
        *body_size = frame.size() - kPlistFrameHeaderSize;
    }
    debug_plist(Direction::kReceived, name, node->get());
    return Status::kOk;
}

}  // namespace libtarvo
