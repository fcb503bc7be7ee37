/*
 * Items of one pair record: the HostID string and the PEM keys and
 * certificates held as data items.
 */
#include <cstdlib>
#include <cstring>
#include <limits>

#include "userpref.h"

namespace {

bool is_dict(plist_t node) {
    return node && plist_get_node_type(node) == PLIST_DICT;
}

}  // namespace

int pair_record_get_host_id(plist_t pair_record, char **host_id) {
    // Reports nothing by design: the caller clears host_id first and tests it.
    if (!is_dict(pair_record) || !host_id) {
        return USERPREF_E_SUCCESS;
    }
    plist_t item = plist_dict_get_item(pair_record, "HostID");
    if (item && plist_get_node_type(item) == PLIST_STRING) {
        plist_get_string_val(item, host_id);
    }
    return USERPREF_E_SUCCESS;
}

int pair_record_set_host_id(plist_t pair_record, const char *host_id) {
    if (!is_dict(pair_record) || !host_id) {
        return USERPREF_E_INVALID_ARG;
    }
    plist_dict_set_item(pair_record, "HostID", plist_new_string(host_id));
    return USERPREF_E_SUCCESS;
}

int pair_record_set_item_from_key_data(plist_t pair_record, const char *name, key_data_t *key) {
    if (!is_dict(pair_record) || !name || !key || (!key->data && key->size > 0)) {
        return USERPREF_E_INVALID_ARG;
    }
    plist_dict_set_item(pair_record, name,
                        plist_new_data(reinterpret_cast<const char *>(key->data), key->size));
    return USERPREF_E_SUCCESS;
}

int pair_record_get_item_as_key_data(plist_t pair_record, const char *name, key_data_t *key) {
    if (!pair_record || !name || !key) {
        return USERPREF_E_INVALID_ARG;
    }
    plist_t item = is_dict(pair_record) ? plist_dict_get_item(pair_record, name) : nullptr;
    if (!item || plist_get_node_type(item) != PLIST_DATA) {
        return USERPREF_E_INVALID_CONF;
    }
    uint64_t length = 0;
    const char *bytes = plist_get_data_ptr(item, &length);
    // The size field must also hold the terminating NUL.
    if (length >= std::numeric_limits<uint32_t>::max()) {
        return USERPREF_E_INVALID_CONF;
    }
    auto *copy = static_cast<unsigned char *>(std::malloc(length + 1));
    if (!copy) {
        return USERPREF_E_INVALID_CONF;
    }
    if (length > 0) {
        std::memcpy(copy, bytes, length);
    }
    copy[length] = '\0';
    key->data = copy;
    key->size = static_cast<uint32_t>(length + 1);
    return USERPREF_E_SUCCESS;
}

int pair_record_import_crt_with_name(plist_t pair_record, const char *name, key_data_t *key) {
    if (!key) {
        return USERPREF_E_SUCCESS;
    }
    return pair_record_get_item_as_key_data(pair_record, name, key);
}

int pair_record_import_key_with_name(plist_t pair_record, const char *name, key_data_t *key) {
    return pair_record_import_crt_with_name(pair_record, name, key);
}
