/*
 * Owners for the C resources tarvobackup2 holds: property-list nodes, heap
 * strings, and the strings and messages that carry passwords (wiped before
 * they are freed).
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_OWNERS_H
#define TARVO_TOOLS_TARVOBACKUP2_OWNERS_H

#include <plist/plist.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <type_traits>

#include "secrets.h"

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

struct MallocFree {
    void operator()(void *p) const { free(p); }
};
using CString = std::unique_ptr<char, MallocFree>;

struct SecretFree {
    void operator()(char *p) const {
        if (p) {
            tarvo::wipe_secret(p, strlen(p));
            free(p);
        }
    }
};
/// A password: its bytes are cleared before the block goes back to the heap.
using SecretString = std::unique_ptr<char, SecretFree>;

struct SecretPlistFree {
    void operator()(plist_t node) const {
        tarvo::plist_wipe_secrets(node);
        plist_free(node);
    }
};
/// A message or options dictionary that carries a password: the strings of
/// its secret items are cleared before the nodes go back to the heap.
using SecretPlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, SecretPlistFree>;

#endif
