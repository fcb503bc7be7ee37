/*
 * The library's debug output: with level 1 (tarvo_set_debug_level) every
 * message sent to or received from a device is written to standard error,
 * with its direction and service, property lists as XML. The values of
 * secret items (tarvo::is_secret_item) show as "(redacted)".
 */
#ifndef LIBTARVO_DEBUG_H
#define LIBTARVO_DEBUG_H

#include <plist/plist.h>

#include <cstddef>
#include <string_view>

namespace libtarvo {

enum class Direction { kSent, kReceived };

bool debug_enabled();
void debug_plist(Direction direction, std::string_view service, plist_t node);
void debug_raw(Direction direction, std::string_view service, std::size_t length);
/// One free-form line, e.g. a TLS start or a connection failure.
void debug_note(std::string_view service, std::string_view text);

}  // namespace libtarvo

#endif
