/*
 * The secret items of messages, redacted copies, wiping, and the process
 * guard.
 */
#include "secrets.h"

#include <openssl/crypto.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cstdlib>
#include <string>

namespace tarvo {
namespace {

constexpr std::string_view kSecretItems[] = {
    // backup passwords: Restore and Unback options, ChangePassword
    "Password",
    "OldPassword",
    "NewPassword",
    // the wireless pairing's SRP exchange (public values and the proofs of
    // the PIN) and, later, its sealed messages
    "PairingData",
    // what lets a host open the device's protected data
    "EscrowBag",
    "BackupKeyBag",
    "ClassKeys",
    // pair records and device state
    "HostPrivateKey",
    "RootPrivateKey",
    "DevicePrivateKey",
};

/// Calls visit(key, value) for each item of a dictionary.
template <typename Visit>
void for_each_item(plist_t dict, Visit visit) {
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    if (!iter) {
        return;
    }
    while (true) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        if (!key) {
            break;
        }
        visit(std::string_view(key), value);
        std::free(key);
    }
    std::free(iter);
}

// Everything below a secret item is secret.
void wipe_value(plist_t node) {
    uint64_t length = 0;
    switch (plist_get_node_type(node)) {
        case PLIST_STRING:
            // The node's own buffer: overwriting it in place is all freeing
            // it needs, and the length the node keeps stays valid.
            if (const char *text = plist_get_string_ptr(node, &length)) {
                wipe_secret(const_cast<char *>(text), length);
            }
            break;
        case PLIST_DATA:
            if (const char *bytes = plist_get_data_ptr(node, &length)) {
                wipe_secret(const_cast<char *>(bytes), length);
            }
            break;
        case PLIST_DICT:
            for_each_item(node, [](std::string_view, plist_t value) { wipe_value(value); });
            break;
        case PLIST_ARRAY:
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                wipe_value(plist_array_get_item(node, i));
            }
            break;
        default:
            break;
    }
}

}  // namespace

bool is_secret_item(std::string_view key) {
    for (std::string_view secret : kSecretItems) {
        if (key == secret) {
            return true;
        }
    }
    return false;
}

plist_t plist_copy_redacted(plist_t node) {
    if (!node) {
        return nullptr;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            plist_t copy = plist_new_dict();
            for_each_item(node, [copy](std::string_view key, plist_t value) {
                const std::string name(key);
                plist_dict_set_item(copy, name.c_str(),
                                    is_secret_item(key) ? plist_new_string(kRedactedValue)
                                                        : plist_copy_redacted(value));
            });
            return copy;
        }
        case PLIST_ARRAY: {
            plist_t copy = plist_new_array();
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                plist_array_append_item(copy, plist_copy_redacted(plist_array_get_item(node, i)));
            }
            return copy;
        }
        default:
            return plist_copy(node);
    }
}

void plist_wipe_secrets(plist_t node) {
    if (!node) {
        return;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_DICT:
            for_each_item(node, [](std::string_view key, plist_t value) {
                if (is_secret_item(key)) {
                    wipe_value(value);
                } else {
                    plist_wipe_secrets(value);
                }
            });
            break;
        case PLIST_ARRAY:
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                plist_wipe_secrets(plist_array_get_item(node, i));
            }
            break;
        default:
            break;
    }
}

void wipe_secret(void *data, std::size_t size) {
    if (data && size > 0) {
        OPENSSL_cleanse(data, size);
    }
}

void keep_process_memory_private() {
#ifdef __linux__
    // Not dumpable: no core file (or one only root may read), no ptrace
    // attach and no /proc/PID/mem for other processes of the same user.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    // Elsewhere the core limit is all there is; on Linux it also stops the
    // root-only core file of systems set to dump even undumpable processes.
    const struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
}

}  // namespace tarvo
