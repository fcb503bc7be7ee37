/*
 * The JSON forms of the device's answers to info and list, built from the
 * text the device sent: info's "Label: value" lines become the members of
 * an object, list's CSV (a header row, then one row per file) an array of
 * objects named by the header. The counts and sizes ("Files", "Total
 * Size", "Unreadable Records", "Size") become numbers when they are
 * decimal, every other value stays text; empty CSV fields are null; lines of neither shape are
 * kept, in order, under "notes". The text is the device's: nothing in it is trusted to be UTF-8,
 * well-formed or small.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_CONTENT_JSON_H
#define TARVO_TOOLS_TARVOBACKUP2_CONTENT_JSON_H

#include <string>
#include <string_view>

/// {"Device Name": "...", ..., "notes": [...]} (notes only when there are any).
std::string info_content_to_json(std::string_view content);

/// {"files": [{"Domain": "...", "Path": "...", "Size": 12}, ...], "notes": [...]}.
std::string list_content_to_json(std::string_view content);

#endif
