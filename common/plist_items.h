/*
 * One item of a property list as a C++ value: a node, the item of a
 * dictionary under a key, or the item of an array at an index. Each answers
 * nullopt when the node is missing or of another type, so that a caller
 * reading what a peer sent checks the type and the presence in one step.
 * Nothing here allocates through libplist: values are read in place.
 */
#ifndef TARVO_COMMON_PLIST_ITEMS_H
#define TARVO_COMMON_PLIST_ITEMS_H

#include <plist/plist.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {

/// The dictionary's item under `key`; null when `dict` is null or no
/// dictionary, or the key is absent.
inline plist_t dict_item(plist_t dict, const char *key) {
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) {
        return nullptr;
    }
    return plist_dict_get_item(dict, key);
}

/// The array's item at `index`; null when `array` is null or no array, or
/// the index is past its end.
inline plist_t array_item(plist_t array, uint32_t index) {
    if (!array || plist_get_node_type(array) != PLIST_ARRAY ||
        index >= plist_array_get_size(array)) {
        return nullptr;
    }
    return plist_array_get_item(array, index);
}

inline std::optional<std::string> string_value(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    // Up to the first NUL, as every C caller of the node's string sees it.
    const char *text = plist_get_string_ptr(node, nullptr);
    return text ? std::string(text) : std::string();
}

inline std::optional<std::string> string_item(plist_t dict, const char *key) {
    return string_value(dict_item(dict, key));
}

inline std::optional<std::string> string_at(plist_t array, uint32_t index) {
    return string_value(array_item(array, index));
}

inline std::optional<uint64_t> uint_value(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_UINT) {
        return std::nullopt;
    }
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

inline std::optional<uint64_t> uint_item(plist_t dict, const char *key) {
    return uint_value(dict_item(dict, key));
}

inline std::optional<bool> bool_value(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_BOOLEAN) {
        return std::nullopt;
    }
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

inline std::optional<bool> bool_item(plist_t dict, const char *key) {
    return bool_value(dict_item(dict, key));
}

inline std::optional<std::vector<uint8_t>> data_value(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_DATA) {
        return std::nullopt;
    }
    uint64_t length = 0;
    const auto *bytes = reinterpret_cast<const uint8_t *>(plist_get_data_ptr(node, &length));
    return bytes ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>();
}

inline std::optional<std::vector<uint8_t>> data_item(plist_t dict, const char *key) {
    return data_value(dict_item(dict, key));
}

}  // namespace tarvo

#endif
