/*
 * Service connections: port, optional TLS, and the credentials behind it.
 */
#include "service_connection.h"

#include "debug.h"
#include "device_private.h"
#include "userpref.h"

namespace libtarvo {

Status load_pair_record_credentials(tarvo_t device, std::shared_ptr<const TlsCredentials> *out) {
    out->reset();
    plist_t raw = nullptr;
    if (userpref_read_pair_record(device->udid.c_str(), &raw) != USERPREF_E_SUCCESS) {
        plist_free(raw);
        return Status::kBadCredentials;
    }
    PlistPtr record(raw);
    return TlsCredentials::from_pair_record(record.get(), out);
}

Status service_connect(tarvo_t device, lockdownd_service_descriptor_t service,
                       std::unique_ptr<Connection> *out) {
    out->reset();
    if (!device || !service || service->port == 0) {
        return Status::kInvalidArg;
    }
    std::shared_ptr<const TlsCredentials> credentials;
    if (service->ssl_enabled) {
        credentials = device_session_credentials(device);
        if (!credentials) {
            if (Status s = load_pair_record_credentials(device, &credentials); s != Status::kOk) {
                return s;
            }
        }
    }
    std::unique_ptr<Connection> connection;
    if (Status s = device_connect(device, service->port, &connection); s != Status::kOk) {
        return s;
    }
    if (credentials) {
        if (Status s = connection->start_tls(*credentials); s != Status::kOk) {
            debug_note(service->identifier ? service->identifier : "service",
                       std::string("TLS start failed: ") + status_name(s));
            return s;
        }
    }
    *out = std::move(connection);
    return Status::kOk;
}

Status service_open_channel(tarvo_t device, lockdownd_service_descriptor_t service,
                            const std::string &fallback_name, std::unique_ptr<PlistChannel> *out) {
    out->reset();
    std::unique_ptr<Connection> connection;
    if (Status s = service_connect(device, service, &connection); s != Status::kOk) {
        return s;
    }
    std::string name = service->identifier ? service->identifier : fallback_name;
    *out = std::make_unique<PlistChannel>(std::move(connection), std::move(name));
    return Status::kOk;
}

bool with_started_service(tarvo_t device, const char *service_name, const char *label,
                          const std::function<void(lockdownd_service_descriptor_t)> &connect) {
    lockdownd_client_t lockdown = nullptr;
    lockdownd_error_t r = lockdownd_client_new_with_handshake(device, &lockdown, label);
    if (r != LOCKDOWN_E_SUCCESS) {
        debug_note(service_name, std::string("no lockdown session: ") + lockdownd_strerror(r));
        return false;
    }
    lockdownd_service_descriptor_t service = nullptr;
    r = lockdownd_start_service(lockdown, service_name, &service);
    if (r == LOCKDOWN_E_SUCCESS) {
        connect(service);
        lockdownd_service_descriptor_free(service);
    } else {
        debug_note(service_name, std::string("not started: ") + lockdownd_strerror(r));
    }
    lockdownd_client_free(lockdown);
    return r == LOCKDOWN_E_SUCCESS;
}

}  // namespace libtarvo
