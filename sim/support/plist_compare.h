/*
 * Comparing property lists for scripted checks: the first place where a
 * received value differs from the wanted one, described for a person.
 */
#ifndef TARVO_SIM_PLIST_COMPARE_H
#define TARVO_SIM_PLIST_COMPARE_H

#include <optional>
#include <string>

#include "owners.h"

namespace tarvosim {

/// Nothing when `got` equals `wanted` (same types, same values, the same
/// keys in dictionaries, the same elements in order in arrays); otherwise
/// where and how they first differ, e.g.
/// `"Options" > "ForceFullBackup" is false, expected true`. `where` names
/// the values themselves (e.g. `"Options"`); `got` may be null (missing).
std::optional<std::string> first_difference(plist_t got, plist_t wanted, const std::string &where);

}  // namespace tarvosim

#endif
