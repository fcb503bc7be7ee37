/*
 * The paired client the tools use: connect, check the service type, take the
 * host's pair record (pairing first when there is none), start a session and
 * switch to TLS when the device asks. A record the device refuses is
 * reported, never replaced by a silent new pairing: that would need the
 * user's consent on the device again.
 */
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "debug.h"
#include "lockdown_private.h"
#include "userpref.h"

namespace libtarvo {
namespace {

// The host's record for the device, or a new one made by pairing.
lockdownd_error_t host_record_or_pair(lockdownd_client_t client, PlistPtr *record) {
    plist_t raw = nullptr;
    int r = userpref_read_pair_record(client->udid.c_str(), &raw);
    PlistPtr existing(raw);
    if (r == USERPREF_E_NOENT) {
        debug_note(client->channel->name(), "no pair record on this host; pairing");
        return lockdown_pair_new_host(client, record);
    }
    if (r != USERPREF_E_SUCCESS || !existing || plist_get_node_type(existing.get()) != PLIST_DICT) {
        return LOCKDOWN_E_INVALID_CONF;
    }
    *record = std::move(existing);
    return LOCKDOWN_E_SUCCESS;
}

struct ClientGuard {
    lockdownd_client_t client = nullptr;
    ~ClientGuard() { lockdownd_client_free(client); }
};

}  // namespace

}  // namespace libtarvo

using namespace libtarvo;

// Checks its arguments as lockdownd_client_new does, so that each entry point stands on its own.
lockdownd_error_t lockdownd_client_new_with_handshake(tarvo_t device, lockdownd_client_t *client,
                                                      const char *label) {
    if (!device || !client) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    ClientGuard guard;
    if (lockdownd_error_t r = lockdownd_client_new(device, &guard.client, label)) {
        return r;
    }
    char *type = nullptr;
    if (lockdownd_error_t r = lockdownd_query_type(guard.client, &type)) {
        return r;
    }
    CString owned_type(type);
    if (std::string_view(type) != kLockdownServiceType) {
        debug_note(guard.client->channel->name(), std::string("unexpected service type ") + type);
    }

    PlistPtr record;
    if (lockdownd_error_t r = host_record_or_pair(guard.client, &record)) {
        return r;
    }
    char *raw_host_id = nullptr;
    pair_record_get_host_id(record.get(), &raw_host_id);
    CString host_id(raw_host_id);
    if (!host_id) {
        return LOCKDOWN_E_INVALID_CONF;
    }
    if (lockdownd_error_t r = lockdown_start_session_with_record(guard.client, record.get(),
                                                                 host_id.get(), nullptr, nullptr)) {
        return r;
    }
    *client = std::exchange(guard.client, nullptr);
    return LOCKDOWN_E_SUCCESS;
}
