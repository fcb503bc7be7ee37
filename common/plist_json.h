/*
 * A property list as JSON for programs that read the tools' --json output.
 * JSON lacks some property-list types, so they are written as text a
 * program can still use: data as Base64, dates as ISO 8601 UTC
 * ("2026-12-09T18:59:40Z"), UIDs as numbers. Dictionaries keep their
 * order; reals that JSON cannot hold (NaN, infinities) are null.
 */
#ifndef TARVO_COMMON_PLIST_JSON_H
#define TARVO_COMMON_PLIST_JSON_H

#include <plist/plist.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tarvo {

/// The JSON value of `node`; nothing for a null node or nesting deeper
/// than kPlistMaxNesting.
std::optional<nlohmann::ordered_json> plist_to_json_value(plist_t node);

/// The JSON text of `node`, indented by two, with a final line end; text
/// that is not UTF-8 is replaced. Empty when plist_to_json_value() gives
/// nothing.
std::string plist_to_json_text(plist_t node);

}  // namespace tarvo

#endif
