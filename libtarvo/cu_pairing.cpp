/*
 * Wireless pairing with the PIN a network device shows. The PIN only ever
 * feeds SRP on this host; once both sides have proved that they know it,
 * the rest runs over the encrypted channel: the host's info goes to the
 * device, the device's info and identity (its public key) come back, and the
 * host's new pair record goes over for the device to trust. The device's
 * key is taken from that channel rather than from a plain GetValue, so the
 * certificates are made for the device that knows the PIN.
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "cu_channel.h"
#include "cu_protocol.h"
#include "debug.h"
#include "lockdown_private.h"
#include "pairing_inputs.h"
#include "plist_frame.h"
#include "plist_items.h"
#include "srp6a.h"
#include "tlv8.h"
#include "userpref.h"

namespace libtarvo {

struct CuPairingState {
    CuPairingState(const CuChannelKeys &keys, lockdownd_cu_pairing_cb_t callback, void *user_data)
        : channel(CuChannel::Side::kHost, keys), callback(callback), user_data(user_data) {}

    CuChannel channel;
    lockdownd_cu_pairing_cb_t callback;
    void *user_data;
    std::string device_public_key;  // PEM, as the device sent it
    std::string product_version;
    std::string wifi_address;
};

void CuPairingStateFree::operator()(CuPairingState *state) const {
    delete state;
}

namespace {

using namespace cu;

/// What the PIN callback is offered: far more than any PIN needs.
constexpr uint32_t kPinBufferSize = 128;
constexpr std::size_t kMaxSaltSize = 64;
constexpr std::size_t kMaxEscrowBagSize = 4096;
constexpr const char *kDecryptedName = "lockdown (wireless pairing, decrypted)";

using CuStatePtr = std::unique_ptr<CuPairingState, CuPairingStateFree>;

struct Callback {
    lockdownd_cu_pairing_cb_t function;
    void *user_data;

    /// The PIN the user typed: at most capacity - 1 bytes, up to the first NUL.
    SecretBytes ask_pin() const {
        SecretBytes buffer(kPinBufferSize, 0);
        uint32_t size = kPinBufferSize;
        function(LOCKDOWN_CU_PAIRING_PIN_REQUESTED, user_data, buffer.data(), &size);
        const std::size_t typed = strnlen(reinterpret_cast<const char *>(buffer.data()),
                                          std::min<std::size_t>(size, kPinBufferSize - 1));
        buffer.resize(typed);
        return buffer;
    }
    void device_info(plist_t info) const {
        uint32_t size = 0;
        function(LOCKDOWN_CU_PAIRING_DEVICE_INFO, user_data, info, &size);
    }
    void error(const std::string &text) const {
        std::string copy = text;
        uint32_t size = static_cast<uint32_t>(copy.size());
        function(LOCKDOWN_CU_PAIRING_ERROR, user_data, copy.data(), &size);
    }
};

std::span<const uint8_t> bytes_of(const std::string &text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

/// The device's refusal as a code: its own lockdown code where it has one,
/// else a failed pairing. The user sees the device's sentence through the
/// callback either way.
lockdownd_error_t refusal(lockdownd_error_t code, plist_t reply, const Callback &callback) {
    const std::optional<std::string> error = tarvo::string_item(reply, "Error");
    if (!error) {
        return code;
    }
    const std::optional<std::string> description = tarvo::string_item(reply, kErrorDescriptionKey);
    callback.error(description && !description->empty() ? *description : *error);
    return code == LOCKDOWN_E_UNKNOWN_ERROR ? LOCKDOWN_E_PAIRING_FAILED : code;
}

/// One round trip: {"Request": name, "PairingData": message}; the answer's
/// TLV8 items, whose State must be `expected_state`.
lockdownd_error_t exchange_step(lockdownd_client_t client, const char *name,
                                const std::vector<uint8_t> &message, uint8_t expected_state,
                                const Callback &callback, std::vector<Tlv8Item> *items) {
    items->clear();
    PlistPtr request = lockdown_new_request(client, name);
    plist_dict_set_item(
        request.get(), kPairingDataKey,
        plist_new_data(reinterpret_cast<const char *>(message.data()), message.size()));
    PlistPtr reply;
    if (lockdownd_error_t r = lockdown_exchange(client, request.get(), &reply)) {
        return reply ? refusal(r, reply.get(), callback) : r;
    }
    const std::optional<std::string> data = dict_data(reply.get(), kPairingDataKey);
    if (!data || tlv8_decode(bytes_of(*data), kMaxTlvItem, items) != Tlv8Result::kOk) {
        debug_note(client->channel->name(), std::string(name) + ": no readable PairingData");
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    const Tlv8Item *state = tlv8_find_unique(*items, kTlvState);
    if (!state || state->value.size() != 1 || state->value[0] != expected_state) {
        debug_note(client->channel->name(), std::string(name) + ": answer out of step");
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    return LOCKDOWN_E_SUCCESS;
}

// The device side and the host side are written apart on purpose, so that each checks the other.
std::vector<uint8_t> binary_plist(plist_t node) {
    char *raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &raw, &length);
    std::vector<uint8_t> bytes(raw, raw ? raw + length : raw);
    plist_to_bin_free(raw);
    return bytes;
}

/// A dictionary from a decrypted item; null when it is anything else.
PlistPtr dictionary_from(const Tlv8Item *item) {
    PlistPtr node;
    if (!item || parse_plist_body(item->value, &node) != Status::kOk ||
        plist_get_node_type(node.get()) != PLIST_DICT) {
        return nullptr;
    }
    return node;
}

/// Seals `plaintext` items and sends them as message `state`; opens the
/// answer (message state + 1) and decodes what it carries.
lockdownd_error_t encrypted_step(lockdownd_client_t client, CuPairingState &pairing,
                                 const char *name, uint8_t state, const Tlv8Writer &plaintext,
                                 std::vector<Tlv8Item> *answer) {
    answer->clear();
    std::vector<uint8_t> sealed;
    if (pairing.channel.seal(plaintext.bytes(), &sealed) != CuChannelResult::kOk) {
        return LOCKDOWN_E_UNKNOWN_ERROR;
    }
    Tlv8Writer message;
    message.add_byte(kTlvState, state);
    message.add(kTlvEncryptedData, sealed);
    std::vector<Tlv8Item> items;
    const Callback callback{pairing.callback, pairing.user_data};
    if (lockdownd_error_t r = exchange_step(client, name, message.bytes(),
                                            static_cast<uint8_t>(state + 1), callback, &items)) {
        return r;
    }
    const Tlv8Item *encrypted = tlv8_find_unique(items, kTlvEncryptedData);
    if (!encrypted) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    SecretBytes opened;
    const CuChannelResult result = pairing.channel.open(encrypted->value, &opened);
    if (result != CuChannelResult::kOk) {
        debug_note(client->channel->name(),
                   std::string(name) + ": answer refused (" + cu_channel_result_name(result) + ")");
        return LOCKDOWN_E_PAIRING_FAILED;
    }
    if (tlv8_decode(opened, kMaxTlvItem, answer) != Tlv8Result::kOk) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    return LOCKDOWN_E_SUCCESS;
}

/// M1 -> M2 -> PIN -> M3 -> M4: the channel keys, once the device proved
/// that it knows the PIN too.
lockdownd_error_t authenticate_with_pin(lockdownd_client_t client, const Callback &callback,
                                        CuChannelKeys *keys) {
    Tlv8Writer m1;
    m1.add_byte(kTlvState, 1);
    m1.add_byte(kTlvMethod, kMethodPin);
    std::vector<Tlv8Item> m2;
    if (lockdownd_error_t r = exchange_step(client, kRequestStart, m1.bytes(), 2, callback, &m2)) {
        return r;
    }
    const Tlv8Item *salt = tlv8_find_unique(m2, kTlvSalt);
    const Tlv8Item *server_public = tlv8_find_unique(m2, kTlvPublicKey);
    if (!salt || salt->value.empty() || salt->value.size() > kMaxSaltSize || !server_public) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }

    const SecretBytes pin = callback.ask_pin();
    SrpClient srp(SrpGroup::pairing_group());
    if (!srp.ok()) {
        return LOCKDOWN_E_UNKNOWN_ERROR;
    }
    switch (srp.compute(kSrpIdentity, pin, salt->value, server_public->value)) {
        case SrpResult::kOk:
            break;
        case SrpResult::kBadPublicValue:
            return LOCKDOWN_E_INVALID_RESPONSE;
        case SrpResult::kWrongProof:
        case SrpResult::kFailed:
            return LOCKDOWN_E_UNKNOWN_ERROR;
    }

    Tlv8Writer m3;
    m3.add_byte(kTlvState, 3);
    m3.add(kTlvPublicKey, srp.public_value());
    m3.add(kTlvProof, srp.proof());
    std::vector<Tlv8Item> m4;
    if (lockdownd_error_t r = exchange_step(client, kRequestVerify, m3.bytes(), 4, callback, &m4)) {
        return r;
    }
    const Tlv8Item *device_proof = tlv8_find_unique(m4, kTlvProof);
    if (!device_proof || !srp.server_proof_matches(device_proof->value)) {
        // Someone answered who does not know the PIN.
        debug_note(client->channel->name(), "the device's PIN proof does not match");
        return LOCKDOWN_E_PAIRING_FAILED;
    }
    return derive_cu_channel_keys(srp.session_key(), keys) ? LOCKDOWN_E_SUCCESS
                                                           : LOCKDOWN_E_UNKNOWN_ERROR;
}

/// M5 -> M6: host info out; the device's info and identity back.
lockdownd_error_t exchange_info(lockdownd_client_t client, CuPairingState &pairing,
                                plist_t host_info, PlistPtr *device_info) {
    PlistPtr empty(plist_new_dict());
    plist_t sent = host_info ? host_info : empty.get();
    debug_plist(Direction::kSent, kDecryptedName, sent);
    Tlv8Writer plaintext;
    plaintext.add(kTlvInfo, binary_plist(sent));
    std::vector<Tlv8Item> answer;
    if (lockdownd_error_t r =
            encrypted_step(client, pairing, kRequestExchange, 5, plaintext, &answer)) {
        return r;
    }
    PlistPtr info = dictionary_from(tlv8_find_unique(answer, kTlvInfo));
    PlistPtr identity = dictionary_from(tlv8_find_unique(answer, kTlvDeviceIdentity));
    if (!info || !identity) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    debug_plist(Direction::kReceived, kDecryptedName, info.get());
    debug_plist(Direction::kReceived, kDecryptedName, identity.get());
    std::optional<std::string> key = dict_data(identity.get(), kIdentityPublicKey);
    if (!key || key->empty()) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    pairing.device_public_key = std::move(*key);
    pairing.product_version =
        tarvo::string_item(identity.get(), kIdentityProductVersion).value_or("");
    pairing.wifi_address = tarvo::string_item(identity.get(), kIdentityWiFiAddress).value_or("");
    *device_info = std::move(info);
    return LOCKDOWN_E_SUCCESS;
}

/// A complete host record (keys, certificates, HostID, SystemBUID) for the
/// device whose key came over the channel.
lockdownd_error_t generate_host_record(const CuPairingState &pairing, PlistPtr *record) {
    std::string spki_pem;
    if (device_public_key_as_spki_pem(bytes_of(pairing.device_public_key), &spki_pem) !=
        Status::kOk) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    return lockdown_generate_host_record(spki_pem, pack_product_version(pairing.product_version),
                                         record);
}

PlistPtr public_part_of(plist_t record) {
    PlistPtr part(plist_new_dict());
    for (const char *key :
         {"DeviceCertificate", "HostCertificate", "HostID", "RootCertificate", "SystemBUID"}) {
        if (plist_t item = plist_dict_get_item(record, key)) {
            plist_dict_set_item(part.get(), key, plist_copy(item));
        }
    }
    return part;
}

/// M7 -> M8: the record goes to the device, its escrow bag comes back.
lockdownd_error_t send_pair_record(lockdownd_client_t client, CuPairingState &pairing,
                                   plist_t record, std::vector<uint8_t> *escrow_bag) {
    PlistPtr shown = public_part_of(record);
    debug_plist(Direction::kSent, kDecryptedName, shown.get());
    Tlv8Writer plaintext;
    plaintext.add(kTlvPairRecord, binary_plist(shown.get()));
    std::vector<Tlv8Item> answer;
    if (lockdownd_error_t r =
            encrypted_step(client, pairing, kRequestFinish, 7, plaintext, &answer)) {
        return r;
    }
    const Tlv8Item *bag = tlv8_find_unique(answer, kTlvEscrowBag);
    if (!bag || bag->value.empty() || bag->value.size() > kMaxEscrowBagSize) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    *escrow_bag = bag->value;
    return LOCKDOWN_E_SUCCESS;
}

}  // namespace
}  // namespace libtarvo

using namespace libtarvo;

lockdownd_error_t lockdownd_cu_pairing_create(lockdownd_client_t client,
                                              lockdownd_cu_pairing_cb_t pairing_callback,
                                              void *cb_user_data, plist_t host_info, plist_t acl) {
    if (!client || !pairing_callback || acl ||
        (host_info && plist_get_node_type(host_info) != PLIST_DICT)) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    client->cu_pairing.reset();
    const Callback callback{pairing_callback, cb_user_data};
    CuChannelKeys keys;
    if (lockdownd_error_t r = authenticate_with_pin(client, callback, &keys)) {
        return r;
    }
    CuStatePtr pairing(new (std::nothrow) CuPairingState(keys, pairing_callback, cb_user_data));
    if (!pairing) {
        return LOCKDOWN_E_UNKNOWN_ERROR;
    }
    PlistPtr device_info;
    if (lockdownd_error_t r = exchange_info(client, *pairing, host_info, &device_info)) {
        return r;
    }
    callback.device_info(device_info.get());
    client->cu_pairing = std::move(pairing);
    return LOCKDOWN_E_SUCCESS;
}

lockdownd_error_t lockdownd_pair_cu(lockdownd_client_t client) {
    if (!client) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    // One pairing per channel: the device forgets its side after this
    // attempt, whatever comes of it.
    CuStatePtr pairing = std::move(client->cu_pairing);
    if (!pairing) {
        return LOCKDOWN_E_NO_RUNNING_SESSION;
    }
    PlistPtr record;
    if (lockdownd_error_t r = generate_host_record(*pairing, &record)) {
        return r;
    }
    std::vector<uint8_t> escrow_bag;
    if (lockdownd_error_t r = send_pair_record(client, *pairing, record.get(), &escrow_bag)) {
        return r;
    }
    plist_dict_set_item(
        record.get(), "EscrowBag",
        plist_new_data(reinterpret_cast<const char *>(escrow_bag.data()), escrow_bag.size()));
    if (!pairing->wifi_address.empty()) {
        plist_dict_set_item(record.get(), "WiFiMACAddress",
                            plist_new_string(pairing->wifi_address.c_str()));
    }
    if (userpref_save_pair_record(client->udid.c_str(), client->device_handle, record.get()) != 0) {
        return LOCKDOWN_E_SAVE_PAIR_RECORD_FAILED;
    }
    debug_note(client->channel->name(), "paired wirelessly; pair record saved");
    return LOCKDOWN_E_SUCCESS;
}
