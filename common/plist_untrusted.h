/*
 * Property lists from outside the process (device messages, the multiplexer
 * daemon's pair records, files a device wrote into a backup): a check run on
 * the raw bytes before the property-list library sees them, and a reader of
 * memory that runs it.
 *
 * The library trusts its input in ways a hostile peer can turn into a crash:
 *  - it parses binary lists and frees every tree recursively, so a few
 *    hundred thousand nested arrays (easily packed into one message)
 *    exhaust the stack; real messages nest a handful of levels;
 *  - it expands every reference of a binary list into a copy of its own, so
 *    arrays that name the same child twice, level after level, make a tree
 *    that doubles with every level (a 189-byte message becomes gigabytes),
 *    and a long array naming one big string copies the string every time
 *    (500 references to a 1 MiB string take half a gigabyte);
 *  - its string and key accessors assert when a string holds U+0000.
 *
 * Node cap: the expanded tree may have no more nodes than the body has
 * bytes. Every node but the top one stands for one reference, which takes at
 * least one byte, as long as no container is referred to twice; the writers
 * our peers use share equal leaves (strings, numbers) but never containers,
 * so honest messages stay below the cap however much they share.
 *
 * Payload cap: the expanded tree may hold no more bytes of data and strings
 * than 16 per byte of the body, or 64 MiB for bodies below 4 MiB. Without
 * sharing a tree holds fewer such bytes than its body; in real messages
 * sharing adds the short keys and names repeated through long lists, which
 * stays within a few times the body, and any message of a lockdown frame's
 * size may take 64 MiB. The node cap alone would let one big shared string
 * cost gigabytes.
 *
 * XML has no references: each of its nodes is spelled out in markup of its
 * own, so only depth and NUL characters are checked there.
 */
#ifndef TARVO_COMMON_PLIST_UNTRUSTED_H
#define TARVO_COMMON_PLIST_UNTRUSTED_H

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvo {

/// Deeper lists than this are refused.
inline constexpr unsigned kMaxPlistNesting = 256;

/// True when the library may parse `body` (binary or XML, told apart by the
/// binary magic): it nests no deeper than `max_depth`, expands within the
/// node and payload caps, and no string or key can hold U+0000. Errs on
/// the side of refusing: for XML the depth is over-estimated when markup is
/// ambiguous, and a binary list whose object table is inconsistent (bad
/// offsets or references, cycles, objects overlapping the offset table) is
/// refused, as is any body too long for the library's 32-bit lengths.
bool plist_body_is_safe(std::span<const uint8_t> body, unsigned max_depth = kMaxPlistNesting);

/// Parses `body` when plist_body_is_safe() allows it, else gives null. Only
/// the two encodings the check knows are parsed, binary by its magic and
/// anything else as XML (a newer library's reader of memory would also try
/// text forms the check does not bound). Bodies shorter than the magic are
/// refused, as the library's reader of memory refuses them. The caller owns
/// the result.
plist_t plist_from_untrusted_memory(std::span<const uint8_t> body);

inline plist_t plist_from_untrusted_memory(const char *data, std::size_t length) {
    return plist_from_untrusted_memory(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(data), data ? length : 0));
}

}  // namespace tarvo

#endif
