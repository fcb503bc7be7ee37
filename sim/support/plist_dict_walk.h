/*
 * for_each_dict_item: the key/value pairs of a libplist dictionary in order,
 * the key handed over as a std::string so that no caller frees it.
 */
#ifndef TARVO_SIM_PLIST_DICT_WALK_H
#define TARVO_SIM_PLIST_DICT_WALK_H

#include <plist/plist.h>

#include <string>

#include "owners.h"

namespace tarvosim {

/// Calls `visit(key, value)` for each item until it returns false. False
/// when a visit stopped the walk.
template <typename Visit>
bool for_each_dict_item(plist_t dict, Visit visit) {
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    const MallocPtr<void> iter_owner(iter);
    bool went_on = true;
    while (went_on) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        if (!key) {
            break;
        }
        const std::string name = CString(key).get();
        went_on = visit(name, value);
    }
    return went_on;
}

}  // namespace tarvosim

#endif
