/*
 * The receive side of the length-prefixed protocols (lockdown, the property
 * list services and device-link): read the u32 big-endian length, refuse it
 * above the cap before anything is allocated, wait (bounded) for the whole
 * body, and hand exactly that frame to the protocol's decoder, which must
 * take it to its last byte. The decoders are the ones the tests and the
 * fuzz targets feed, so what the wire brings meets no other parser.
 */
#ifndef LIBTARVO_FRAME_RECEIVE_H
#define LIBTARVO_FRAME_RECEIVE_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "connection.h"
#include "owners.h"
#include "plist_frame.h"
#include "status.h"

namespace libtarvo {

/// How long one frame may take.
struct FrameWaits {
    /// For the first byte; also for the rest when completion_ms is negative.
    int first_byte_ms = 0;
    /// For the rest, counted from the first byte: a short first wait lets a
    /// caller that polls get control back often, and a frame that begins
    /// just before it ends is still finished rather than cut (which would
    /// leave the stream out of step).
    int completion_ms = -1;
};

/// One whole frame, its 4-byte prefix included, into *frame. kTimeout with
/// connection.broken() still false: nothing arrived, the stream is in step.
/// kTooLarge: the prefix announced more than `max_body`. Every failure but
/// a clean timeout leaves the connection broken.
Status receive_length_prefixed_frame(Connection &connection, std::size_t max_body,
                                     const FrameWaits &waits, std::vector<uint8_t> *frame);

/// What one property-list frame may be, and the note a refusal leaves in
/// the debug output.
struct PlistFrameLimit {
    std::size_t max_body = kMaxPlistFrameBody;
    std::string_view refused_note = "refused a message above the size cap";
};

/// The frame loop of lockdown and the property-list services: one frame,
/// decoded by decode_plist_frame() and echoed to the debug output under
/// `name`. kMalformed for a whole frame that is no property list leaves the
/// stream in step; the other failures are receive_length_prefixed_frame()'s.
/// *body_size (when given) gets the body's length on success.
Status receive_plist_message(Connection &connection, std::string_view name, const FrameWaits &waits,
                             PlistPtr *node, const PlistFrameLimit &limit = {},
                             std::size_t *body_size = nullptr);

}  // namespace libtarvo

#endif
