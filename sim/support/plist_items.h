/*
 * Reading one item of a property-list dictionary as a C++ value, for the
 * simulated services that read what hosts send.
 */
#ifndef TARVO_SIM_PLIST_ITEMS_H
#define TARVO_SIM_PLIST_ITEMS_H

#include <plist/plist.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace tarvosim {

/// The string under `key`, or nullopt when absent or of another type.
inline std::optional<std::string> string_item(plist_t dict, const char *key) {
    plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    char *text = nullptr;
    plist_get_string_val(node, &text);
    std::string value = text ? text : "";
    std::free(text);
    return value;
}

}  // namespace tarvosim

#endif
