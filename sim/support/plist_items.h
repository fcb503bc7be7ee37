/*
 * Reading one item of a property-list dictionary as a C++ value, for the
 * simulated services that read what hosts send.
 */
#ifndef TARVO_SIM_PLIST_ITEMS_H
#define TARVO_SIM_PLIST_ITEMS_H

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace tarvosim {

/// The node's string, or nullopt when it is null or of another type.
inline std::optional<std::string> string_value(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    char *text = nullptr;
    plist_get_string_val(node, &text);
    std::string value = text ? text : "";
    std::free(text);
    return value;
}

/// The string under `key`, or nullopt when absent or of another type.
inline std::optional<std::string> string_item(plist_t dict, const char *key) {
    return string_value(dict ? plist_dict_get_item(dict, key) : nullptr);
}

/// The data under `key`, or nullopt when absent or of another type.
inline std::optional<std::vector<uint8_t>> data_bytes_item(plist_t dict, const char *key) {
    plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_DATA) {
        return std::nullopt;
    }
    char *data = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &data, &length);
    std::vector<uint8_t> bytes(data, data + (data ? length : 0));
    std::free(data);
    return bytes;
}

}  // namespace tarvosim

#endif
