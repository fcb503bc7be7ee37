/*
 * Receiving with two waits: a short one for the first byte, so that a caller
 * polling for traffic gets control back often, and a longer one for the
 * rest once something has started to arrive, so that a message that begins
 * just before the short wait ends is finished rather than cut (which would
 * leave the stream out of step).
 */
#ifndef LIBTARVO_PATIENT_RECEIVE_H
#define LIBTARVO_PATIENT_RECEIVE_H

#include <string_view>

#include "connection.h"
#include "owners.h"
#include "status.h"

namespace libtarvo {

/// One length-prefixed property-list frame (lockdown framing and cap),
/// echoed to the debug output under `service`. kTimeout with
/// connection.broken() still false means that nothing arrived within
/// `first_byte_ms` and the stream is in step; kMalformed for a whole frame
/// that is no property list leaves it in step too; every other failure
/// leaves it broken.
Status receive_plist_once_started(Connection &connection, std::string_view service, PlistPtr *node,
                                  int first_byte_ms, int completion_ms);

}  // namespace libtarvo

#endif
