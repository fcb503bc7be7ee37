/*
 * PlistPtr: owner of a libplist node tree, freed with plist_free.
 */
#ifndef TARVO_SIM_PLIST_PTR_H
#define TARVO_SIM_PLIST_PTR_H

#include <plist/plist.h>

#include <memory>
#include <type_traits>

namespace tarvosim {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

}  // namespace tarvosim

#endif
