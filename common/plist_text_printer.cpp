// Indented plain text of a property list for people: one line per scalar,
// "key: value" for dictionary entries, "index: value" for array items, one
// blank of indentation per level of nesting. Values that cannot be shown are
// skipped without a word; write errors on the stream are not checked.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <span>
#include <string>

#include "base64.h"
#include "owners.h"
#include "utils.h"

namespace {

// Seconds from 1970-01-01 00:00:00 UTC to 2001-01-01 00:00:00 UTC, where
// property-list dates count from.
constexpr int64_t kSecondsFrom1970To2001 = 978307200;

using HeapChars = CString;

void print_indent(int indent, FILE *stream) {
    std::fprintf(stream, "%*s", indent, "");
}

// The breakdown is in the host's local time zone although the text ends in
// 'Z'; readers of this output have come to expect exactly that.
void print_date(plist_t node, FILE *stream) {
    int32_t seconds = 0;
    int32_t microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    std::time_t when = static_cast<std::time_t>(seconds + kSecondsFrom1970To2001);
    std::tm local{};
    char text[24] = {0};
    if (localtime_r(&when, &local) &&
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &local) > 0) {
        std::fputs(text, stream);
    }
    std::fputs("\n", stream);
}

void print_data(plist_t node, FILE *stream) {
    char *bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &bytes, &length);
    HeapChars owned(bytes);
    if (bytes && length > 0) {
        std::string text = tarvo::base64_encode(
            std::span<const unsigned char>(reinterpret_cast<unsigned char *>(bytes), length));
        std::fputs(text.c_str(), stream);
    }
    std::fputs("\n", stream);
}

void print_array_items(plist_t array, int *indent, FILE *stream) {
    uint32_t count = plist_array_get_size(array);
    for (uint32_t i = 0; i < count; ++i) {
        print_indent(*indent, stream);
        std::fprintf(stream, "%d: ", static_cast<int>(i));
        plist_node_print_to_stream(plist_array_get_item(array, i), indent, stream);
    }
}

}  // namespace

extern "C" {

void plist_print_to_stream(plist_t plist, FILE *stream) {
    if (!plist || !stream) {
        return;
    }
    int indent = 0;
    switch (plist_get_node_type(plist)) {
        case PLIST_ARRAY:
            print_array_items(plist, &indent, stream);
            break;
        case PLIST_DICT:
            plist_dict_print_to_stream(plist, &indent, stream);
            break;
        default:
            plist_node_print_to_stream(plist, &indent, stream);
            break;
    }
}

void plist_dict_print_to_stream(plist_t dict, int *indent, FILE *stream) {
    if (!dict || !indent || !stream) {
        return;
    }
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    MallocPtr<void> owned_iter(iter);
    while (true) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        HeapChars owned_key(key);
        if (!value) {
            break;
        }
        print_indent(*indent, stream);
        std::fputs(key ? key : "", stream);
        if (plist_get_node_type(value) == PLIST_ARRAY) {
            std::fprintf(stream, "[%d]: ", static_cast<int>(plist_array_get_size(value)));
        } else {
            std::fputs(": ", stream);
        }
        owned_key.reset();
        plist_node_print_to_stream(value, indent, stream);
    }
}

// Apart from the readable writer's switch: this layout is the tools' fixed output.
void plist_node_print_to_stream(plist_t node, int *indent, FILE *stream) {
    if (!node || !indent || !stream) {
        return;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            std::fprintf(stream, "%s\n", value ? "true" : "false");
            break;
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            std::fprintf(stream, "%llu\n", static_cast<unsigned long long>(value));
            break;
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            std::fprintf(stream, "%f\n", value);
            break;
        }
        case PLIST_STRING: {
            char *value = nullptr;
            plist_get_string_val(node, &value);
            HeapChars owned(value);
            std::fprintf(stream, "%s\n", value ? value : "");
            break;
        }
        case PLIST_ARRAY:
            std::fputs("\n", stream);
            ++*indent;
            print_array_items(node, indent, stream);
            --*indent;
            break;
        case PLIST_DICT:
            std::fputs("\n", stream);
            ++*indent;
            plist_dict_print_to_stream(node, indent, stream);
            --*indent;
            break;
        case PLIST_DATE:
            print_date(node, stream);
            break;
        case PLIST_DATA:
            print_data(node, stream);
            break;
        case PLIST_KEY: {
            char *key = nullptr;
            plist_get_key_val(node, &key);
            HeapChars owned(key);
            std::fprintf(stream, "%s: ", key ? key : "");
            break;
        }
        default:
            // UIDs and anything else have no text form here, not even a line end.
            break;
    }
}

}  // extern "C"
