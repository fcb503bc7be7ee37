/*
 * The lockdown client: connection, the request/reply exchange, values,
 * sessions and service start.
 */
#include <cstdlib>
#include <cstring>
#include <new>

#include "debug.h"
#include "device_private.h"
#include "lockdown_private.h"
#include "plist_items.h"
#include "userpref.h"

namespace libtarvo {

PlistPtr lockdown_new_request(lockdownd_client_t client, const char *name) {
    PlistPtr request(plist_new_dict());
    plist_dict_set_item(request.get(), "Request", plist_new_string(name));
    if (!client->label.empty()) {
        plist_dict_set_item(request.get(), "Label", plist_new_string(client->label.c_str()));
    }
    plist_dict_set_item(request.get(), "ProtocolVersion", plist_new_string("2"));
    return request;
}

std::optional<std::string> dict_data(plist_t dict, const char *key) {
    plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!item || plist_get_node_type(item) != PLIST_DATA) {
        return std::nullopt;
    }
    char *raw = nullptr;
    uint64_t length = 0;
    plist_get_data_val(item, &raw, &length);
    CString value(raw);
    if (!value) {
        return length == 0 ? std::optional<std::string>(std::string()) : std::nullopt;
    }
    return std::string(value.get(), length);
}

lockdownd_error_t lockdown_exchange(lockdownd_client_t client, plist_t request, PlistPtr *reply,
                                    int timeout_ms) {
    reply->reset();
    if (!client->channel || client->channel->connection().broken()) {
        return LOCKDOWN_E_MUX_ERROR;
    }
    const std::optional<std::string> name = tarvo::string_item(request, "Request");
    Status s = client->channel->send(request, PlistFormat::kXml);
    if (s == Status::kOk) {
        s = client->channel->receive(reply, timeout_ms);
    }
    if (s != Status::kOk) {
        client->channel->connection().mark_broken();
        return to_lockdown_error(s);
    }
    if (plist_get_node_type(reply->get()) != PLIST_DICT) {
        return LOCKDOWN_E_PLIST_ERROR;
    }
    const std::optional<std::string> echoed = tarvo::string_item(reply->get(), "Request");
    if (echoed && name && *echoed != *name) {
        // An answer to some other request: the exchange is out of step.
        client->channel->connection().mark_broken();
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    if (plist_dict_get_item(reply->get(), "Error")) {
        const std::optional<std::string> text = tarvo::string_item(reply->get(), "Error");
        return text ? lockdown_error_from_string(text->c_str()) : LOCKDOWN_E_INVALID_RESPONSE;
    }
    return LOCKDOWN_E_SUCCESS;
}

lockdownd_error_t lockdown_read_host_pair_record(lockdownd_client_t client, PlistPtr *record) {
    record->reset();
    plist_t raw = nullptr;
    int r = userpref_read_pair_record(client->udid.c_str(), &raw);
    PlistPtr owned(raw);
    if (r != USERPREF_E_SUCCESS || !owned || plist_get_node_type(owned.get()) != PLIST_DICT) {
        return LOCKDOWN_E_INVALID_CONF;
    }
    *record = std::move(owned);
    return LOCKDOWN_E_SUCCESS;
}

lockdownd_error_t lockdown_start_session_with_record(lockdownd_client_t client, plist_t record,
                                                     const char *host_id, char **session_id,
                                                     int *ssl_enabled) {
    if (!client->session_id.empty()) {
        lockdownd_stop_session(client, client->session_id.c_str());
    }
    char *raw_buid = nullptr;
    if (userpref_read_system_buid(&raw_buid) != 0 || !raw_buid) {
        std::free(raw_buid);
        return LOCKDOWN_E_INVALID_CONF;
    }
    CString buid(raw_buid);

    PlistPtr request = lockdown_new_request(client, "StartSession");
    plist_dict_set_item(request.get(), "HostID", plist_new_string(host_id));
    plist_dict_set_item(request.get(), "SystemBUID", plist_new_string(buid.get()));
    PlistPtr reply;
    if (lockdownd_error_t r = lockdown_exchange(client, request.get(), &reply)) {
        return r;
    }
    std::optional<std::string> id = tarvo::string_item(reply.get(), "SessionID");
    if (!id || id->empty()) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    const bool use_tls = tarvo::bool_item(reply.get(), "EnableSessionSSL").value_or(false);
    std::shared_ptr<const TlsCredentials> credentials;
    Status s = TlsCredentials::from_pair_record(record, &credentials);
    if (use_tls) {
        if (s == Status::kOk) {
            s = client->channel->connection().start_tls(*credentials);
        }
        if (s != Status::kOk) {
            // The device now expects TLS; without it the stream is useless.
            client->channel->connection().mark_broken();
            debug_note(client->channel->name(), std::string("TLS start failed: ") + status_name(s));
            return to_lockdown_error(s);
        }
        debug_note(client->channel->name(), "session TLS started");
    }
    if (credentials) {
        device_set_session_credentials(client->device, credentials);
    }
    client->session_id = *id;
    if (session_id) {
        *session_id = strdup(id->c_str());
    }
    if (ssl_enabled) {
        *ssl_enabled = use_tls ? 1 : 0;
    }
    return LOCKDOWN_E_SUCCESS;
}

}  // namespace libtarvo

using namespace libtarvo;

lockdownd_error_t lockdownd_client_new(tarvo_t device, lockdownd_client_t *client,
                                       const char *label) {
    if (!device || !client) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    std::unique_ptr<Connection> connection;
    if (Status s = device_connect(device, kLockdownPort, &connection); s != Status::kOk) {
        return s == Status::kInvalidArg ? LOCKDOWN_E_INVALID_ARG : LOCKDOWN_E_MUX_ERROR;
    }
    auto *created = new (std::nothrow) lockdownd_client_private;
    if (!created) {
        return LOCKDOWN_E_UNKNOWN_ERROR;
    }
    created->device = device;
    created->channel = std::make_unique<PlistChannel>(std::move(connection), kLockdownServiceType);
    created->label = label ? label : "";
    created->udid = device->udid;
    created->device_handle = device->handle;
    *client = created;
    return LOCKDOWN_E_SUCCESS;
}

lockdownd_error_t lockdownd_client_free(lockdownd_client_t client) {
    if (!client) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    lockdownd_error_t result = LOCKDOWN_E_SUCCESS;
    if (!client->session_id.empty()) {
        result = lockdownd_stop_session(client, client->session_id.c_str());
    }
    if (client->channel && !client->channel->connection().broken() &&
        !client->channel->connection().tls_active()) {
        PlistPtr request = lockdown_new_request(client, "Goodbye");
        PlistPtr reply;
        // The answer does not matter; waiting for it only lets the device finish cleanly.
        lockdown_exchange(client, request.get(), &reply, kGoodbyeReplyTimeoutMs);
    }
    delete client;
    return result;
}

lockdownd_error_t lockdownd_query_type(lockdownd_client_t client, char **type) {
    if (!client || !type) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    *type = nullptr;
    PlistPtr request = lockdown_new_request(client, "QueryType");
    PlistPtr reply;
    if (lockdownd_error_t r = lockdown_exchange(client, request.get(), &reply)) {
        return r;
    }
    std::optional<std::string> value = tarvo::string_item(reply.get(), "Type");
    if (!value) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    *type = strdup(value->c_str());
    return *type ? LOCKDOWN_E_SUCCESS : LOCKDOWN_E_UNKNOWN_ERROR;
}

namespace {

void set_domain_and_key(plist_t request, const char *domain, const char *key) {
    if (domain) {
        plist_dict_set_item(request, "Domain", plist_new_string(domain));
    }
    if (key) {
        plist_dict_set_item(request, "Key", plist_new_string(key));
    }
}

// The string value of a global-domain key.
lockdownd_error_t get_string_value(lockdownd_client_t client, const char *key, char **out) {
    if (!client || !out) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    *out = nullptr;
    plist_t raw = nullptr;
    if (lockdownd_error_t r = lockdownd_get_value(client, nullptr, key, &raw)) {
        return r;
    }
    PlistPtr value(raw);
    if (plist_get_node_type(value.get()) != PLIST_STRING) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    plist_get_string_val(value.get(), out);
    return *out ? LOCKDOWN_E_SUCCESS : LOCKDOWN_E_UNKNOWN_ERROR;
}

}  // namespace

lockdownd_error_t lockdownd_get_value(lockdownd_client_t client, const char *domain,
                                      const char *key, plist_t *value) {
    if (!client || !value) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    *value = nullptr;
    PlistPtr request = lockdown_new_request(client, "GetValue");
    set_domain_and_key(request.get(), domain, key);
    PlistPtr reply;
    if (lockdownd_error_t r = lockdown_exchange(client, request.get(), &reply)) {
        return r;
    }
    plist_t item = plist_dict_get_item(reply.get(), "Value");
    if (!item) {
        return LOCKDOWN_E_MISSING_VALUE;
    }
    *value = plist_copy(item);
    return *value ? LOCKDOWN_E_SUCCESS : LOCKDOWN_E_UNKNOWN_ERROR;
}

lockdownd_error_t lockdownd_set_value(lockdownd_client_t client, const char *domain,
                                      const char *key, plist_t value) {
    PlistPtr owned(value);
    if (!client || !owned) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    PlistPtr request = lockdown_new_request(client, "SetValue");
    set_domain_and_key(request.get(), domain, key);
    plist_dict_set_item(request.get(), "Value", owned.release());
    PlistPtr reply;
    return lockdown_exchange(client, request.get(), &reply);
}

lockdownd_error_t lockdownd_remove_value(lockdownd_client_t client, const char *domain,
                                         const char *key) {
    if (!client) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    PlistPtr request = lockdown_new_request(client, "RemoveValue");
    set_domain_and_key(request.get(), domain, key);
    PlistPtr reply;
    return lockdown_exchange(client, request.get(), &reply);
}

lockdownd_error_t lockdownd_get_device_name(lockdownd_client_t client, char **device_name) {
    return get_string_value(client, "DeviceName", device_name);
}

lockdownd_error_t lockdownd_get_device_udid(lockdownd_client_t client, char **udid) {
    return get_string_value(client, "UniqueDeviceID", udid);
}

lockdownd_error_t lockdownd_start_session(lockdownd_client_t client, const char *host_id,
                                          char **session_id, int *ssl_enabled) {
    if (!client || !host_id) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    if (session_id) {
        *session_id = nullptr;
    }
    if (ssl_enabled) {
        *ssl_enabled = 0;
    }
    PlistPtr record;
    if (lockdownd_error_t r = lockdown_read_host_pair_record(client, &record)) {
        return r;
    }
    return lockdown_start_session_with_record(client, record.get(), host_id, session_id,
                                              ssl_enabled);
}

lockdownd_error_t lockdownd_stop_session(lockdownd_client_t client, const char *session_id) {
    if (!client || !session_id) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    PlistPtr request = lockdown_new_request(client, "StopSession");
    plist_dict_set_item(request.get(), "SessionID", plist_new_string(session_id));
    PlistPtr reply;
    lockdownd_error_t r = lockdown_exchange(client, request.get(), &reply);
    client->session_id.clear();
    if (r != LOCKDOWN_E_SUCCESS) {
        return r;
    }
    if (client->channel->connection().tls_active()) {
        Status s = client->channel->connection().stop_tls();
        debug_note(client->channel->name(), "session TLS stopped");
        return to_lockdown_error(s);
    }
    return LOCKDOWN_E_SUCCESS;
}

namespace {

lockdownd_error_t start_service(lockdownd_client_t client, const char *identifier,
                                bool with_escrow_bag, lockdownd_service_descriptor_t *service) {
    if (!client || !identifier || !service) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    *service = nullptr;
    PlistPtr request = lockdown_new_request(client, "StartService");
    plist_dict_set_item(request.get(), "Service", plist_new_string(identifier));
    if (with_escrow_bag) {
        PlistPtr record;
        if (lockdownd_error_t r = lockdown_read_host_pair_record(client, &record)) {
            return r;
        }
        std::optional<std::string> bag = dict_data(record.get(), "EscrowBag");
        if (!bag || bag->empty()) {
            return LOCKDOWN_E_INVALID_CONF;
        }
        plist_dict_set_item(request.get(), "EscrowBag", plist_new_data(bag->data(), bag->size()));
    }
    PlistPtr reply;
    if (lockdownd_error_t r = lockdown_exchange(client, request.get(), &reply)) {
        return r;
    }
    plist_t port_node = plist_dict_get_item(reply.get(), "Port");
    uint64_t port = 0;
    if (port_node && plist_get_node_type(port_node) == PLIST_UINT) {
        plist_get_uint_val(port_node, &port);
    }
    if (port == 0 || port > UINT16_MAX) {
        return LOCKDOWN_E_INVALID_RESPONSE;
    }
    auto *descriptor = static_cast<lockdownd_service_descriptor_t>(
        std::calloc(1, sizeof(struct lockdownd_service_descriptor)));
    if (!descriptor) {
        return LOCKDOWN_E_UNKNOWN_ERROR;
    }
    descriptor->port = static_cast<uint16_t>(port);
    descriptor->ssl_enabled =
        tarvo::bool_item(reply.get(), "EnableServiceSSL").value_or(false) ? 1 : 0;
    descriptor->identifier = strdup(identifier);
    *service = descriptor;
    return LOCKDOWN_E_SUCCESS;
}

}  // namespace

lockdownd_error_t lockdownd_start_service(lockdownd_client_t client, const char *identifier,
                                          lockdownd_service_descriptor_t *service) {
    return start_service(client, identifier, false, service);
}

lockdownd_error_t lockdownd_start_service_with_escrow_bag(lockdownd_client_t client,
                                                          const char *identifier,
                                                          lockdownd_service_descriptor_t *service) {
    return start_service(client, identifier, true, service);
}

lockdownd_error_t lockdownd_service_descriptor_free(lockdownd_service_descriptor_t service) {
    if (!service) {
        return LOCKDOWN_E_INVALID_ARG;
    }
    std::free(service->identifier);
    std::free(service);
    return LOCKDOWN_E_SUCCESS;
}
