/*
 * Pairing, validating and removing a pairing with the device. A pairing made
 * for the host (no caller-supplied record) generates the host's keys and
 * certificates, asks the device to trust them, and saves the record with the
 * device's escrow bag through the multiplexer.
 */
#include <cstdlib>
#include <cstring>

#include "debug.h"
#include "lockdown_private.h"
#include "pairing_inputs.h"
#include "plist_items.h"
#include "userpref.h"

namespace libtarvo {
namespace {

void copy_item(plist_t from, plist_t to, const char *key) {
    if (plist_t item = plist_dict_get_item(from, key)) {
        plist_dict_set_item(to, key, plist_copy(item));
    }
}

void set_pem_item(plist_t dict, const char *key, const char *pem) {
    if (pem) {
        plist_dict_set_item(dict, key, plist_new_data(pem, std::strlen(pem)));
    }
}

void set_string_item(plist_t dict, const char *key, const char *text) {
    if (text) {
        plist_dict_set_item(dict, key, plist_new_string(text));
    }
}

// The part of a host record that the device is shown.
PlistPtr public_part_of_host_record(plist_t record) {
    PlistPtr part(plist_new_dict());
    for (const char *key :
         {"DeviceCertificate", "HostCertificate", "HostID", "RootCertificate", "SystemBUID"}) {
        copy_item(record, part.get(), key);
    }
    return part;
}

PlistPtr public_part_of_caller_record(lockdownd_pair_record_t record) {
    PlistPtr part(plist_new_dict());
    set_pem_item(part.get(), "DeviceCertificate", record->device_certificate);
    set_pem_item(part.get(), "HostCertificate", record->host_certificate);
    set_string_item(part.get(), "HostID", record->host_id);
    set_pem_item(part.get(), "RootCertificate", record->root_certificate);
    set_string_item(part.get(), "SystemBUID", record->system_buid);
    return part;
}

// Sends a pairing request ("Pair", "ValidatePair" or "Unpair") carrying `pair_record`.
lockdownd_error_t send_pairing_request(lockdownd_client_t client, const char *name,
                                       PlistPtr pair_record, PlistPtr *reply) {
    PlistPtr request = lockdown_new_request(client, name);
    plist_dict_set_item(request.get(), "PairRecord", pair_record.release());
    if (std::strcmp(name, "Pair") == 0) {
        plist_t options = plist_new_dict();
        plist_dict_set_item(options, "ExtendedPairingErrors", plist_new_bool(1));
        plist_dict_set_item(request.get(), "PairingOptions", options);
    }
    return lockdown_exchange(client, request.get(), reply);
}

// A refusal the device explains with a string we do not know is still a refusal.
lockdownd_error_t pairing_refusal(lockdownd_error_t r) {
    return r == LOCKDOWN_E_UNKNOWN_ERROR ? LOCKDOWN_E_PAIRING_FAILED : r;
}

// GetValue of a global key; a missing value is not an error for optional keys.
lockdownd_error_t read_global_value(lockdownd_client_t client, const char *key, PlistPtr *value) {
    plist_t raw = nullptr;
    lockdownd_error_t r = lockdownd_get_value(client, nullptr, key, &raw);
    value->reset(raw);
    return r;
}

struct DeviceFacts {
    std::string spki_pem;
    std::string wifi_address;
    uint32_t version = 0;
};

lockdownd_error_t read_device_facts(lockdownd_client_t client, DeviceFacts *facts) {
    PlistPtr key;
    if (lockdownd_error_t r = read_global_value(client, "DevicePublicKey", &key)) {
        return r;
    }
    if (plist_get_node_type(key.get()) != PLIST_DATA) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    char *raw = nullptr;
    uint64_t length = 0;
    plist_get_data_val(key.get(), &raw, &length);
    CString pem(raw);
    if (!pem || device_public_key_as_spki_pem({reinterpret_cast<const uint8_t *>(pem.get()),
                                               static_cast<std::size_t>(length)},
                                              &facts->spki_pem) != Status::kOk) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }

    PlistPtr wifi;
    lockdownd_error_t r = read_global_value(client, "WiFiAddress", &wifi);
    if (r != LOCKDOWN_E_SUCCESS && r != LOCKDOWN_E_MISSING_VALUE) {
        return r;
    }
    if (std::optional<std::string> text = tarvo::string_value(wifi.get())) {
        facts->wifi_address = *text;
    }

    PlistPtr version;
    r = read_global_value(client, "ProductVersion", &version);
    if (r != LOCKDOWN_E_SUCCESS && r != LOCKDOWN_E_MISSING_VALUE) {
        return r;
    }
    if (std::optional<std::string> text = tarvo::string_value(version.get())) {
        facts->version = pack_product_version(text->c_str());
    }
    return LOCKDOWN_E_SUCCESS;
}

std::string host_id_of(plist_t record) {
    char *raw = nullptr;
    pair_record_get_host_id(record, &raw);
    CString id(raw);
    return id ? std::string(id.get()) : std::string();
}

}  // namespace

lockdownd_error_t lockdown_generate_host_record(const std::string &device_spki_pem,
                                                uint32_t version, PlistPtr *record) {
    PlistPtr created(plist_new_dict());
    key_data_t key = {reinterpret_cast<unsigned char *>(const_cast<char *>(device_spki_pem.data())),
                      static_cast<uint32_t>(device_spki_pem.size())};
    if (pair_record_generate_keys_and_certs(created.get(), key, version) != 0) {
        return LOCKDOWN_E_PAIRING_FAILED;
    }
    const std::string host_id = random_host_id();
    char *raw_buid = nullptr;
    if (host_id.empty() || userpref_read_system_buid(&raw_buid) != 0 || !raw_buid) {
        std::free(raw_buid);
        return LOCKDOWN_E_INVALID_CONF;
    }
    CString buid(raw_buid);
    pair_record_set_host_id(created.get(), host_id.c_str());
    plist_dict_set_item(created.get(), "SystemBUID", plist_new_string(buid.get()));
    *record = std::move(created);
    return LOCKDOWN_E_SUCCESS;
}

lockdownd_error_t lockdown_pair_new_host(lockdownd_client_t client, PlistPtr *record) {
    record->reset();
    DeviceFacts facts;
    if (lockdownd_error_t r = read_device_facts(client, &facts)) {
        return r;
    }
    PlistPtr created;
    if (lockdownd_error_t r =
            lockdown_generate_host_record(facts.spki_pem, facts.version, &created)) {
        return r;
    }
    PlistPtr reply;
    lockdownd_error_t r =
        send_pairing_request(client, "Pair", public_part_of_host_record(created.get()), &reply);
    if (r != LOCKDOWN_E_SUCCESS) {
        return pairing_refusal(r);
    }
    if (std::optional<std::string> bag = dict_data(reply.get(), "EscrowBag")) {
        plist_dict_set_item(created.get(), "EscrowBag", plist_new_data(bag->data(), bag->size()));
    }
    if (!facts.wifi_address.empty()) {
        plist_dict_set_item(created.get(), "WiFiMACAddress",
                            plist_new_string(facts.wifi_address.c_str()));
    }
    if (userpref_save_pair_record(client->udid.c_str(), client->device_handle, created.get()) !=
        0) {
        return LOCKDOWN_E_SAVE_PAIR_RECORD_FAILED;
    }
    debug_note(client->channel->name(), "paired; pair record saved");
    *record = std::move(created);
    return LOCKDOWN_E_SUCCESS;
}

}  // namespace libtarvo

using namespace libtarvo;

lockdownd_error_t lockdownd_pair(lockdownd_client_t client, lockdownd_pair_record_t pair_record) {
    if (!client) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    if (!pair_record) {
        PlistPtr record;
        return lockdown_pair_new_host(client, &record);
    }
    if (!pair_record->host_id) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    // A caller's record holds no private keys, so it is theirs to keep; nothing is saved.
    PlistPtr reply;
    return pairing_refusal(
        send_pairing_request(client, "Pair", public_part_of_caller_record(pair_record), &reply));
}

lockdownd_error_t lockdownd_validate_pair(lockdownd_client_t client,
                                          lockdownd_pair_record_t pair_record) {
    if (!client) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    PlistPtr shown;
    if (pair_record) {
        if (!pair_record->host_id) {
            return LOCKDOWN_E_INVALID_ARG;
        }
        shown = public_part_of_caller_record(pair_record);
    } else {
        PlistPtr record;
        if (lockdownd_error_t r = lockdown_read_host_pair_record(client, &record)) {
            return r;
        }
        shown = public_part_of_host_record(record.get());
    }
    PlistPtr reply;
    return send_pairing_request(client, "ValidatePair", std::move(shown), &reply);
}

lockdownd_error_t lockdownd_unpair(lockdownd_client_t client, lockdownd_pair_record_t pair_record) {
    if (!client) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    PlistPtr host_record;
    lockdownd_error_t host_read = lockdown_read_host_pair_record(client, &host_record);
    std::string host_id;
    if (pair_record) {
        if (!pair_record->host_id) {
            return LOCKDOWN_E_INVALID_ARG;
        }
        host_id = pair_record->host_id;
    } else {
        if (host_read != LOCKDOWN_E_SUCCESS) {
            return host_read;
        }
        host_id = host_id_of(host_record.get());
        if (host_id.empty()) {
            return LOCKDOWN_E_INVALID_CONF;
        }
    }
    PlistPtr shown(plist_new_dict());
    plist_dict_set_item(shown.get(), "HostID", plist_new_string(host_id.c_str()));
    PlistPtr reply;
    if (lockdownd_error_t r = send_pairing_request(client, "Unpair", std::move(shown), &reply)) {
        return r;
    }
    // The host's record is now useless if it was the one the device forgot.
    if (host_read == LOCKDOWN_E_SUCCESS && host_id_of(host_record.get()) == host_id &&
        userpref_delete_pair_record(client->udid.c_str()) != 0) {
        return LOCKDOWN_E_UNKNOWN_ERROR;
    }
    return LOCKDOWN_E_SUCCESS;
}
