/*
 * Secrets in messages, traces and memory: which property-list items hold
 * one (backup passwords, the wireless pairing's PIN exchange, private keys,
 * escrow and backup key bags), a copy of a message that a debug trace may
 * show, the wiping of the copies we own, and a process that keeps its
 * memory to itself while it holds a password, and owners for the strings and
 * messages that carry a password (wiped before they are freed).
 */
#ifndef TARVO_COMMON_SECRETS_H
#define TARVO_COMMON_SECRETS_H

#include <plist/plist.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>

namespace tarvo {

/// What a trace shows in place of a secret value.
inline constexpr const char *kRedactedValue = "(redacted)";

/// True for the dictionary keys whose values are secrets, wherever they
/// appear in a message: "Password", "OldPassword", "NewPassword",
/// "PairingData", "EscrowBag", "HostPrivateKey", "RootPrivateKey",
/// "DevicePrivateKey", "BackupKeyBag" and "ClassKeys". Case matters.
bool is_secret_item(std::string_view key);

/// A deep copy of `node` in which the value of every secret item, at any
/// depth, is the string kRedactedValue. The secret bytes themselves are
/// never copied. Null for a null node; the caller frees the copy.
plist_t plist_copy_redacted(plist_t node);

/// Overwrites, in place, the bytes of every string and data node under a
/// secret item of `node` (at any depth), so that freeing the node leaves no
/// copy in the heap. Null is accepted.
void plist_wipe_secrets(plist_t node);

/// Overwrites `size` bytes at `data` in a way the compiler may not drop.
void wipe_secret(void *data, std::size_t size);

/// From now on the process leaves no core file and cannot be attached to or
/// read through /proc by other processes of its user. For the tools, once
/// they hold a password or PIN; it is never undone, since copies of the
/// secret that we cannot reach (the property-list encoder's buffers, TLS
/// records, the C library's input buffer) stay in freed memory.
void keep_process_memory_private();

}  // namespace tarvo

struct SecretFree {
    void operator()(char *p) const {
        if (p) {
            tarvo::wipe_secret(p, std::strlen(p));
            std::free(p);
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
