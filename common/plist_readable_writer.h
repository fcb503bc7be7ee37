// Property-list text for people ("Key: value" lines), and the integer sign
// test and the date text that the stream writer and the JSON form share.
#ifndef TARVO_COMMON_PLIST_READABLE_WRITER_H
#define TARVO_COMMON_PLIST_READABLE_WRITER_H

#include <plist/plist.h>

#include <string>

namespace tarvo {

// Containers nested deeper than this are refused rather than risking the
// stack; real property lists stay far below it.
inline constexpr int kPlistMaxNesting = 512;

struct ReadableTextOptions {
    // Data longer than kReadablePartialDataBytes shows only its first bytes and its size.
    bool partial_data = false;
    // Extra indentation levels (two blanks each) in front of every line.
    unsigned extra_levels = 0;
};

inline constexpr std::size_t kReadablePartialDataBytes = 24;

// Appends the text for people to out, every line ending in '\n'. An empty
// top-level dictionary or array gives no text at all. Returns false when the
// nesting exceeds kPlistMaxNesting; out is then incomplete. May throw
// std::bad_alloc.
bool plist_render_readable(plist_t node, const ReadableTextOptions &options, std::string &out);

// True when an integer node holds a negative value. libplist keeps integers as
// 64 bits plus a note whether a value above INT64_MAX is a large unsigned or a
// negative number.
bool plist_integer_is_negative(plist_t node);

// A date node in ISO 8601, UTC, to the second ("2001-01-01T00:00:00Z");
// empty when the C library cannot show it.
std::string plist_date_iso8601(plist_t node);

}  // namespace tarvo

#endif
