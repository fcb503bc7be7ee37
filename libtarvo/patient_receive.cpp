/*
 * The first-byte wait, then the completion wait.
 */
#include "patient_receive.h"

#include <vector>

#include "debug.h"
#include "plist_frame.h"

namespace libtarvo {

Status receive_plist_once_started(Connection &connection, std::string_view service, PlistPtr *node,
                                  int first_byte_ms, int completion_ms) {
    node->reset();
    uint8_t header[kPlistFrameHeaderSize];
    if (Status s = connection.receive_exact(std::span(header, 1), first_byte_ms);
        s != Status::kOk) {
        return s;
    }
    // Header and body share one budget from the first byte on.
    Deadline completion(completion_ms);
    if (Status s = connection.receive_exact(std::span(header + 1, sizeof(header) - 1), completion);
        s != Status::kOk) {
        connection.mark_broken();
        return s;
    }
    uint32_t length = 0;
    switch (decode_plist_frame_length(header, &length)) {
        case ReadResult::kOk:
            break;
        case ReadResult::kTooLarge:
            debug_note(service, "refused a message above the size cap");
            connection.mark_broken();
            return Status::kTooLarge;
        default:
            connection.mark_broken();
            return Status::kMalformed;
    }
    std::vector<uint8_t> body(length);
    if (Status s = connection.receive_exact(body, completion); s != Status::kOk) {
        connection.mark_broken();
        return s;
    }
    if (Status s = parse_plist_body(body, node); s != Status::kOk) {
        debug_note(service, "received a message that is not a property list");
        return s;
    }
    debug_plist(Direction::kReceived, service, node->get());
    return Status::kOk;
}

}  // namespace libtarvo
