/*
 * Wireless pairing as a simulated network device plays it.
 */
#include "cu_pairing_server.h"

#include <openssl/rand.h>

#include <cstdio>
#include <optional>
#include <span>

#include "global_domain.h"
#include "libtarvo/cu_protocol.h"
#include "plist_items.h"
#include "plist_untrusted.h"

namespace tarvosim {
namespace {

using libtarvo::CuChannel;
using libtarvo::CuChannelResult;
using libtarvo::SecretBytes;
using libtarvo::SrpResult;
using libtarvo::Tlv8Item;
using libtarvo::Tlv8Result;
using libtarvo::Tlv8Writer;
namespace cu = libtarvo::cu;

constexpr std::string_view kChannel = "lockdown";
constexpr std::size_t kEscrowBagSize = 32;

std::span<const uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

std::vector<uint8_t> binary_plist(plist_t node) {
    char *raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &raw, &length);
    std::vector<uint8_t> bytes(raw, raw ? raw + length : raw);
    plist_to_bin_free(raw);
    return bytes;
}

/// A dictionary from a decrypted item; null for anything else.
PlistPtr dictionary_from(const Tlv8Item *item) {
    if (!item) {
        return nullptr;
    }
    PlistPtr owned(tarvo::plist_from_untrusted_memory(item->value));
    return plist_get_node_type(owned.get()) == PLIST_DICT ? std::move(owned) : nullptr;
}

std::string xml_of(plist_t node) {
    char *xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(node, &xml, &size);
    std::string text = xml ? std::string(xml, size) : std::string();
    plist_to_xml_free(xml);
    return text;
}

void copy_item(plist_t from, plist_t to, const char *from_key, const char *to_key) {
    if (plist_t item = plist_dict_get_item(from, from_key)) {
        plist_dict_set_item(to, to_key, plist_copy(item));
    }
}

// Shown on the simulator's standard output, where a person (or a test
// driving tarvosim) reads it, as they would read a television's screen.
void show_pin(const std::string &udid, const std::string &pin) {
    std::fprintf(stdout, "tarvosim: %s shows PIN %s\n", udid.c_str(), pin.c_str());
    std::fflush(stdout);
}

}  // namespace

CuPairingServer::CuPairingServer(const Fixture &fixture, DeviceState &state, const MessageLog &log)
    : fixture_(fixture), state_(state), log_(log) {}

void CuPairingServer::reset() {
    stage_ = Stage::kIdle;
    srp_.reset();
    channel_.reset();
    host_info_xml_.clear();
}

CuAnswer CuPairingServer::refuse(std::string error, std::string description) {
    reset();
    log_.note(kChannel, "wireless pairing refused: " + error);
    return CuAnswer{{}, std::move(error), std::move(description)};
}

bool CuPairingServer::read_message(plist_t request, uint8_t state, std::vector<Tlv8Item> *items,
                                   CuAnswer *refusal) {
    std::optional<std::vector<uint8_t>> data = tarvo::data_item(request, cu::kPairingDataKey);
    if (!data || libtarvo::tlv8_decode(*data, cu::kMaxTlvItem, items) != Tlv8Result::kOk) {
        *refusal = refuse("MalformedCommand", "The pairing message could not be read");
        return false;
    }
    const Tlv8Item *number = libtarvo::tlv8_find_unique(*items, cu::kTlvState);
    if (!number || number->value.size() != 1 || number->value[0] != state) {
        *refusal = refuse(cu::kErrorOutOfSequence, "The pairing message came out of sequence");
        return false;
    }
    return true;
}

bool CuPairingServer::read_sealed(plist_t request, uint8_t state, std::vector<Tlv8Item> *items,
                                  CuAnswer *refusal) {
    std::vector<Tlv8Item> outer;
    if (!read_message(request, state, &outer, refusal)) {
        return false;
    }
    const Tlv8Item *sealed = libtarvo::tlv8_find_unique(outer, cu::kTlvEncryptedData);
    if (!sealed) {
        *refusal = refuse("MalformedCommand", "The pairing message carries no encrypted data");
        return false;
    }
    SecretBytes opened;
    const CuChannelResult result = channel_->open(sealed->value, &opened);
    if (result != CuChannelResult::kOk) {
        *refusal = refuse(cu::kErrorMessageRejected,
                          std::string("The encrypted pairing message was refused (") +
                              libtarvo::cu_channel_result_name(result) + ")");
        return false;
    }
    if (libtarvo::tlv8_decode(opened, cu::kMaxTlvItem, items) != Tlv8Result::kOk) {
        *refusal = refuse("MalformedCommand", "The encrypted pairing message could not be read");
        return false;
    }
    return true;
}

CuAnswer CuPairingServer::sealed_answer(uint8_t state, const Tlv8Writer &plaintext) {
    std::vector<uint8_t> sealed;
    if (channel_->seal(plaintext.bytes(), &sealed) != CuChannelResult::kOk) {
        return refuse("InternalError", "The device could not encrypt its answer");
    }
    Tlv8Writer message;
    message.add_byte(cu::kTlvState, state);
    message.add(cu::kTlvEncryptedData, sealed);
    return CuAnswer{message.bytes(), {}, {}};
}

CuAnswer CuPairingServer::start(plist_t request) {
    reset();
    if (!fixture_.is_network()) {
        return refuse("PairingProhibitedOverThisConnection",
                      "Wireless pairing is only for network devices; this one pairs over USB");
    }
    if (fixture_.pairing_pin.empty()) {
        return refuse(cu::kErrorPairingModeInactive,
                      "The device is not in pairing mode: it shows no PIN");
    }
    std::vector<Tlv8Item> items;
    CuAnswer refusal;
    if (!read_message(request, 1, &items, &refusal)) {
        return refusal;
    }
    const Tlv8Item *method = libtarvo::tlv8_find_unique(items, cu::kTlvMethod);
    if (!method || method->value.size() != 1 || method->value[0] != cu::kMethodPin) {
        return refuse(cu::kErrorUnsupportedMethod, "The device pairs only with its PIN");
    }
    std::vector<uint8_t> salt(cu::kSaltSize);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
        return refuse("InternalError", "The device could not start pairing");
    }
    srp_ =
        std::make_unique<libtarvo::SrpServer>(libtarvo::SrpGroup::pairing_group(), cu::kSrpIdentity,
                                              bytes_of(fixture_.pairing_pin), salt);
    if (!srp_->ok()) {
        return refuse("InternalError", "The device could not start pairing");
    }
    show_pin(fixture_.udid, fixture_.pairing_pin);
    log_.note(kChannel, "wireless pairing started; the PIN is on the screen");
    stage_ = Stage::kAwaitingProof;
    Tlv8Writer answer;
    answer.add_byte(cu::kTlvState, 2);
    answer.add(cu::kTlvSalt, salt);
    answer.add(cu::kTlvPublicKey, srp_->public_value());
    return CuAnswer{answer.bytes(), {}, {}};
}

CuAnswer CuPairingServer::verify(plist_t request) {
    if (stage_ != Stage::kAwaitingProof) {
        return refuse(cu::kErrorOutOfSequence, "No wireless pairing is waiting for a PIN");
    }
    std::vector<Tlv8Item> items;
    CuAnswer refusal;
    if (!read_message(request, 3, &items, &refusal)) {
        return refusal;
    }
    const Tlv8Item *client_public = libtarvo::tlv8_find_unique(items, cu::kTlvPublicKey);
    const Tlv8Item *proof = libtarvo::tlv8_find_unique(items, cu::kTlvProof);
    if (!client_public || !proof) {
        return refuse("MalformedCommand", "The PIN proof is incomplete");
    }
    switch (srp_->verify_client(client_public->value, proof->value)) {
        case SrpResult::kOk:
            break;
        case SrpResult::kWrongProof:
            return refuse(cu::kErrorWrongPin, "The PIN is not correct");
        case SrpResult::kBadPublicValue:
            return refuse("MalformedCommand", "The PIN proof is malformed");
        case SrpResult::kFailed:
            return refuse("InternalError", "The device could not check the PIN");
    }
    libtarvo::CuChannelKeys keys;
    if (!libtarvo::derive_cu_channel_keys(srp_->session_key(), &keys)) {
        return refuse("InternalError", "The device could not check the PIN");
    }
    channel_ = std::make_unique<CuChannel>(CuChannel::Side::kDevice, keys);
    Tlv8Writer answer;
    answer.add_byte(cu::kTlvState, 4);
    answer.add(cu::kTlvProof, srp_->proof());
    srp_.reset();
    stage_ = Stage::kAwaitingInfo;
    log_.note(kChannel, "wireless pairing: PIN proved; channel encrypted");
    return CuAnswer{answer.bytes(), {}, {}};
}

PlistPtr CuPairingServer::device_info() const {
    if (fixture_.device_info) {
        return PlistPtr(plist_copy(fixture_.device_info.get()));
    }
    PlistPtr global = device_global_domain(fixture_, state_);
    PlistPtr info(plist_new_dict());
    for (const char *key : {"DeviceName", "ProductType", "UniqueDeviceID", "WiFiAddress"}) {
        copy_item(global.get(), info.get(), key, key);
    }
    return info;
}

PlistPtr CuPairingServer::device_identity() const {
    PlistPtr global = device_global_domain(fixture_, state_);
    PlistPtr identity(plist_new_dict());
    copy_item(global.get(), identity.get(), "DevicePublicKey", cu::kIdentityPublicKey);
    copy_item(global.get(), identity.get(), "ProductVersion", cu::kIdentityProductVersion);
    copy_item(global.get(), identity.get(), "WiFiAddress", cu::kIdentityWiFiAddress);
    return identity;
}

CuAnswer CuPairingServer::exchange_info(plist_t request) {
    if (stage_ != Stage::kAwaitingInfo) {
        return refuse(cu::kErrorOutOfSequence, "The PIN has not been proved on this connection");
    }
    std::vector<Tlv8Item> items;
    CuAnswer refusal;
    if (!read_sealed(request, 5, &items, &refusal)) {
        return refusal;
    }
    PlistPtr host_info = dictionary_from(libtarvo::tlv8_find_unique(items, cu::kTlvInfo));
    if (!host_info) {
        return refuse("MalformedCommand", "The host's info is not a dictionary");
    }
    log_.note(kChannel, "wireless pairing: host info " + describe_plist(host_info.get()));
    host_info_xml_ = xml_of(host_info.get());

    Tlv8Writer plaintext;
    plaintext.add(cu::kTlvInfo, binary_plist(device_info().get()));
    plaintext.add(cu::kTlvDeviceIdentity, binary_plist(device_identity().get()));
    CuAnswer answer = sealed_answer(6, plaintext);
    if (answer.error.empty()) {
        stage_ = Stage::kAwaitingRecord;
    }
    return answer;
}

CuAnswer CuPairingServer::finish(plist_t request, const RecordCheck &check) {
    if (stage_ != Stage::kAwaitingRecord) {
        return refuse(cu::kErrorOutOfSequence, "The host's info has not been exchanged yet");
    }
    std::vector<Tlv8Item> items;
    CuAnswer refusal;
    if (!read_sealed(request, 7, &items, &refusal)) {
        return refusal;
    }
    PlistPtr record = dictionary_from(libtarvo::tlv8_find_unique(items, cu::kTlvPairRecord));
    if (!record) {
        return refuse("InvalidPairRecord", "The pair record is not a dictionary");
    }
    TrustedHost host;
    const std::string_view problem = check(record.get(), &host);
    if (!problem.empty()) {
        return refuse(std::string(problem), "The device refused the host's pair record");
    }
    host.escrow_bag.resize(kEscrowBagSize);
    host.host_info_xml = host_info_xml_;
    if (RAND_bytes(host.escrow_bag.data(), static_cast<int>(host.escrow_bag.size())) != 1 ||
        !state_.trust(host)) {
        return refuse("InternalError", "The device could not store the pairing");
    }
    log_.note(kChannel, "wireless pairing: host " + host.host_id + " trusted");
    Tlv8Writer plaintext;
    plaintext.add(cu::kTlvEscrowBag, host.escrow_bag);
    CuAnswer answer = sealed_answer(8, plaintext);
    reset();
    return answer;
}

}  // namespace tarvosim
