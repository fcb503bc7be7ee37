// Property-list text for people, as the fallback stream writer produces it.
//
// Layout, one value per line:
//   Key: value                    dictionary entry with a scalar value
//   Key:                          dictionary entry holding a non-empty container,
//     Inner: value                whose members follow two blanks deeper
//   List:
//     0: first                    array items carry their index
//   Empty: []   /   Empty: {}     empty containers stay on their entry's line
// Scalars: booleans true/false; integers signed when the node holds a negative
// value; reals in their shortest exact form, always with a '.' or exponent;
// dates ISO-8601 in UTC to the second ("2001-01-01T00:00:00Z"); data as one
// line of Base64 (with partial data, longer data shows its first 18 bytes,
// "..." and its size); UIDs as "UID(n)". Control characters in keys and
// strings are shown escaped ("\n", "\t", "\x1b") so that a value can neither
// break the one-entry-per-line layout nor send terminal control sequences.
#include "plist_readable_writer.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <span>
#include <string_view>

#include "base64.h"
#include "owners.h"

namespace tarvo {
namespace {

constexpr int64_t kSecondsFrom1970To2001 = 978307200;
constexpr std::size_t kPartialDataShownBytes = 18;  // a whole number of Base64 groups

using HeapChars = CString;

void append_escaped(std::string_view text, std::string &out) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
}

void append_integer(plist_t node, std::string &out) {
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    char text[24];
    auto result = plist_integer_is_negative(node)
                      ? std::to_chars(text, text + sizeof text, static_cast<int64_t>(value))
                      : std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

void append_real(plist_t node, std::string &out) {
    double value = 0;
    plist_get_real_val(node, &value);
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, value);
    std::string_view shown(text, result.ptr);
    out += shown;
    // Keep 2.0 recognisable as a real next to the integer 2.
    if (shown.find_first_not_of("-0123456789") == std::string_view::npos) {
        out += ".0";
    }
}

void append_date(plist_t node, std::string &out) {
    out += plist_date_iso8601(node);
}

void append_data(plist_t node, bool partial, std::string &out) {
    uint64_t length = 0;
    const char *bytes = plist_get_data_ptr(node, &length);
    if (!bytes || length == 0) {
        return;
    }
    std::span<const unsigned char> data(reinterpret_cast<const unsigned char *>(bytes), length);
    if (partial && data.size() > kReadablePartialDataBytes) {
        out += base64_encode(data.first(kPartialDataShownBytes));
        out += "... (";
        out += std::to_string(length);
        out += " bytes)";
        return;
    }
    out += base64_encode(data);
}

void append_scalar(plist_t node, const ReadableTextOptions &options, std::string &out) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            out += value ? "true" : "false";
            break;
        }
        case PLIST_UINT:
            append_integer(node, out);
            break;
        case PLIST_REAL:
            append_real(node, out);
            break;
        case PLIST_STRING: {
            uint64_t length = 0;
            const char *text = plist_get_string_ptr(node, &length);
            if (text) {
                append_escaped(std::string_view(text, length), out);
            }
            break;
        }
        case PLIST_KEY: {
            char *key = nullptr;
            plist_get_key_val(node, &key);
            HeapChars owned(key);
            if (key) {
                append_escaped(key, out);
            }
            break;
        }
        case PLIST_DATE:
            append_date(node, out);
            break;
        case PLIST_DATA:
            append_data(node, options.partial_data, out);
            break;
        case PLIST_UID: {
            uint64_t value = 0;
            plist_get_uid_val(node, &value);
            out += "UID(" + std::to_string(value) + ")";
            break;
        }
        default:
            break;
    }
}

class ReadableRenderer {
  public:
    ReadableRenderer(const ReadableTextOptions &options, std::string &out)
        : options_(options), out_(out) {}

    bool render(plist_t node) {
        switch (plist_get_node_type(node)) {
            case PLIST_DICT:
                return render_entries(node, 0);
            case PLIST_ARRAY:
                return render_items(node, 0);
            default:
                start_line(0);
                append_scalar(node, options_, out_);
                out_ += '\n';
                return true;
        }
    }

  private:
    void start_line(int level) {
        out_.append(2 * (static_cast<std::size_t>(level) + options_.extra_levels), ' ');
    }

    bool render_entries(plist_t dict, int level) {
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(dict, &iter);
        MallocPtr<void> owned_iter(iter);
        while (true) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(dict, iter, &key, &value);
            HeapChars owned_key(key);
            if (!value) {
                return true;
            }
            start_line(level);
            append_escaped(key ? key : "", out_);
            out_ += ':';
            if (!render_member(value, level)) {
                return false;
            }
        }
    }

    bool render_items(plist_t array, int level) {
        uint32_t count = plist_array_get_size(array);
        for (uint32_t i = 0; i < count; ++i) {
            start_line(level);
            out_ += std::to_string(i);
            out_ += ':';
            if (!render_member(plist_array_get_item(array, i), level)) {
                return false;
            }
        }
        return true;
    }

    // Finishes the line that holds a member's key or index.
    bool render_member(plist_t value, int level) {
        plist_type type = plist_get_node_type(value);
        if (type == PLIST_DICT || type == PLIST_ARRAY) {
            bool is_dict = type == PLIST_DICT;
            uint32_t size = is_dict ? plist_dict_get_size(value) : plist_array_get_size(value);
            if (size == 0) {
                out_ += is_dict ? " {}\n" : " []\n";
                return true;
            }
            if (level + 1 > kPlistMaxNesting) {
                return false;
            }
            out_ += '\n';
            return is_dict ? render_entries(value, level + 1) : render_items(value, level + 1);
        }
        std::size_t before = out_.size();
        out_ += ' ';
        append_scalar(value, options_, out_);
        if (out_.size() == before + 1) {
            out_.pop_back();  // nothing to show: no trailing blank
        }
        out_ += '\n';
        return true;
    }

    const ReadableTextOptions &options_;
    std::string &out_;
};

}  // namespace

bool plist_render_readable(plist_t node, const ReadableTextOptions &options, std::string &out) {
    if (!node) {
        return true;
    }
    return ReadableRenderer(options, out).render(node);
}

bool plist_integer_is_negative(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_UINT) {
        return false;
    }
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    if (value <= static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    // The note on the sign is not reachable through the node accessors; the
    // library's own XML writer honours it, so ask that one.
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (!xml) {
        return true;
    }
    std::string_view text(xml, length);
    bool negative = text.find("<integer>-") != std::string_view::npos;
    plist_to_xml_free(xml);
    return negative;
}

std::string plist_date_iso8601(plist_t node) {
    int32_t seconds = 0;
    int32_t microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    std::time_t when = static_cast<std::time_t>(seconds + kSecondsFrom1970To2001);
    std::tm broken_down{};
    char text[32];
    if (!gmtime_r(&when, &broken_down) ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &broken_down) == 0) {
        return "";
    }
    return text;
}

}  // namespace tarvo
