/*
 * What a lockdown client holds, and the request/reply exchange that every
 * lockdown call goes through.
 */
#ifndef LIBTARVO_LOCKDOWN_PRIVATE_H
#define LIBTARVO_LOCKDOWN_PRIVATE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "libtarvo/lockdown.h"
#include "owners.h"
#include "plist_channel.h"

namespace libtarvo {
struct CuPairingState;  // cu_pairing.cpp
struct CuPairingStateFree {
    void operator()(CuPairingState *state) const;
};
}  // namespace libtarvo

struct lockdownd_client_private {
    tarvo_t device = nullptr;  // not owned; the device outlives its clients
    std::unique_ptr<libtarvo::PlistChannel> channel;
    std::string label;
    std::string udid;
    uint32_t device_handle = 0;
    std::string session_id;  // empty outside a session
    /// The wireless pairing's secure channel, from lockdownd_cu_pairing_create
    /// until lockdownd_pair_cu uses it up.
    std::unique_ptr<libtarvo::CuPairingState, libtarvo::CuPairingStateFree> cu_pairing;
};

namespace libtarvo {

inline constexpr uint16_t kLockdownPort = 62078;
inline constexpr int kLockdownReplyTimeoutMs = 5000;
/// Goodbye is a courtesy; the device closes the connection after answering.
inline constexpr int kGoodbyeReplyTimeoutMs = 1000;
inline constexpr const char *kLockdownServiceType = "com.apple.mobile.lockdown";

/// {"Request": name, "Label": label (when the client has one), "ProtocolVersion": "2"}.
PlistPtr lockdown_new_request(lockdownd_client_t client, const char *name);

/// Sends `request` (which must carry "Request") and receives the reply. The
/// reply must be a dictionary whose "Request", when present, echoes ours; an
/// "Error" string becomes its code. A transport failure breaks the client's
/// connection, since a late reply would answer the next request.
lockdownd_error_t lockdown_exchange(lockdownd_client_t client, plist_t request, PlistPtr *reply,
                                    int timeout_ms = kLockdownReplyTimeoutMs);

/// The inner layers' result as a lockdown code.
lockdownd_error_t to_lockdown_error(Status status);

/// The device's error string as a code; LOCKDOWN_E_UNKNOWN_ERROR for others.
lockdownd_error_t lockdown_error_from_string(const char *error);

/// A data item's bytes, or nothing.
std::optional<std::string> dict_data(plist_t dict, const char *key);

/// The host's pair record for the client's device: LOCKDOWN_E_INVALID_CONF
/// when there is none or it cannot be read.
lockdownd_error_t lockdown_read_host_pair_record(lockdownd_client_t client, PlistPtr *record);

/// StartSession as `host_id` and TLS with the credentials of `record` when
/// the device asks for it.
lockdownd_error_t lockdown_start_session_with_record(lockdownd_client_t client, plist_t record,
                                                     const char *host_id, char **session_id,
                                                     int *ssl_enabled);

/// Pairs with a newly generated host record, saves it through the
/// multiplexer and hands it back.
lockdownd_error_t lockdown_pair_new_host(lockdownd_client_t client, PlistPtr *record);

/// A complete new host record (keys, certificates, a fresh HostID, the
/// system BUID) for the device whose SubjectPublicKeyInfo PEM is given;
/// `version` is its packed ProductVersion. Shared by wired and wireless pairing.
lockdownd_error_t lockdown_generate_host_record(const std::string &device_spki_pem,
                                                uint32_t version, PlistPtr *record);

}  // namespace libtarvo

#endif
