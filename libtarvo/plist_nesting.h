/*
 * A bound on how deeply a received property list nests, checked on the raw
 * bytes before the property-list library sees them. The library parses binary
 * lists and frees every tree recursively, so a few hundred thousand nested
 * arrays (easily packed into one frame) would exhaust the stack. Real device
 * messages nest a handful of levels.
 */
#ifndef LIBTARVO_PLIST_NESTING_H
#define LIBTARVO_PLIST_NESTING_H

#include <cstddef>
#include <cstdint>
#include <span>

namespace libtarvo {

/// Deeper lists than this are refused.
inline constexpr unsigned kMaxPlistNesting = 256;

/// True when `body` (binary or XML, told apart as the parser does) cannot
/// nest deeper than `max_depth`. Errs on the side of refusing: for XML it
/// over-estimates when markup is ambiguous, and a binary list whose object
/// table is inconsistent (bad offsets or references, cycles) is refused.
bool plist_nesting_within(std::span<const uint8_t> body, unsigned max_depth = kMaxPlistNesting);

}  // namespace libtarvo

#endif
