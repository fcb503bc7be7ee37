/*
 * The diagnostics relay's client: one request and its answer at a time, and
 * the goodbye that ends the device's side of the session.
 */
#include "libtarvo/diagnostics_relay.h"

#include <mutex>
#include <string>

#include "debug.h"
#include "diagnostics_relay_private.h"
#include "plist_channel.h"
#include "plist_items.h"
#include "service_connection.h"

struct diagnostics_relay_client_private {
    std::unique_ptr<libtarvo::PlistChannel> channel;
    libtarvo::DiagnosticsRelayWaits waits;
    // One request and its answer at a time.
    std::mutex mutex;
    bool said_goodbye = false;
};

namespace libtarvo {
namespace {

constexpr const char *kServiceName = "com.apple.mobile.diagnostics_relay";

// An answer that comes late would meet the next request, so every failure
// that may leave bytes in flight ends the client's use of the connection.
diagnostics_relay_error_t fail_broken(diagnostics_relay_client_t client) {
    client->channel->connection().mark_broken();
    return DIAGNOSTICS_RELAY_E_MUX_ERROR;
}

diagnostics_relay_error_t exchange(diagnostics_relay_client_t client, plist_t request, int reply_ms,
                                   PlistPtr *reply) {
    if (client->channel->connection().broken()) {
        return DIAGNOSTICS_RELAY_E_MUX_ERROR;
    }
    if (Status s = client->channel->send(request, PlistFormat::kXml, client->waits.send_ms);
        s != Status::kOk) {
        return s == Status::kTooLarge ? DIAGNOSTICS_RELAY_E_PLIST_ERROR : fail_broken(client);
    }
    switch (client->channel->receive(reply, reply_ms)) {
        case Status::kOk:
            break;
        case Status::kMalformed:
        case Status::kTooLarge:
            return DIAGNOSTICS_RELAY_E_PLIST_ERROR;  // the channel broke itself where it must
        default:
            return fail_broken(client);
    }
    return plist_get_node_type(reply->get()) == PLIST_DICT ? DIAGNOSTICS_RELAY_E_SUCCESS
                                                           : DIAGNOSTICS_RELAY_E_PLIST_ERROR;
}

// The answer's outer "Status".
diagnostics_relay_error_t status_error(diagnostics_relay_client_t client, plist_t reply) {
    const std::string status = tarvo::string_item(reply, "Status").value_or("");
    if (status == "Success") {
        return DIAGNOSTICS_RELAY_E_SUCCESS;
    }
    debug_note(client->channel->name(), "the device refused the request: " + status);
    return status == "UnknownRequest" ? DIAGNOSTICS_RELAY_E_UNKNOWN_REQUEST
                                      : DIAGNOSTICS_RELAY_E_UNKNOWN_ERROR;
}

diagnostics_relay_error_t goodbye(diagnostics_relay_client_t client, int reply_ms) {
    client->said_goodbye = true;
    PlistPtr request(plist_new_dict());
    plist_dict_set_item(request.get(), "Request", plist_new_string("Goodbye"));
    PlistPtr reply;
    if (diagnostics_relay_error_t e = exchange(client, request.get(), reply_ms, &reply)) {
        return e;
    }
    return status_error(client, reply.get());
}

bool is_string_array(plist_t keys) {
    if (!keys || plist_get_node_type(keys) != PLIST_ARRAY) {
        return false;
    }
    const uint32_t count = plist_array_get_size(keys);
    for (uint32_t i = 0; i < count; ++i) {
        if (plist_get_node_type(plist_array_get_item(keys, i)) != PLIST_STRING) {
            return false;
        }
    }
    return true;
}

}  // namespace

diagnostics_relay_error_t diagnostics_relay_client_new_on(std::unique_ptr<Connection> connection,
                                                          std::string name,
                                                          const DiagnosticsRelayWaits &waits,
                                                          diagnostics_relay_client_t *client) {
    if (!connection || !client) {
        return DIAGNOSTICS_RELAY_E_INVALID_ARG;
    }
    auto made = new diagnostics_relay_client_private;
    made->channel = std::make_unique<PlistChannel>(std::move(connection), std::move(name));
    made->waits = waits;
    *client = made;
    return DIAGNOSTICS_RELAY_E_SUCCESS;
}

}  // namespace libtarvo

diagnostics_relay_error_t diagnostics_relay_client_new(tarvo_t device,
                                                       lockdownd_service_descriptor_t service,
                                                       diagnostics_relay_client_t *client) {
    if (!device || !service || !client) {
        return DIAGNOSTICS_RELAY_E_INVALID_ARG;
    }
    std::unique_ptr<libtarvo::Connection> connection;
    if (libtarvo::Status s = libtarvo::service_connect(device, service, &connection);
        s != libtarvo::Status::kOk) {
        return s == libtarvo::Status::kInvalidArg ? DIAGNOSTICS_RELAY_E_INVALID_ARG
                                                  : DIAGNOSTICS_RELAY_E_MUX_ERROR;
    }
    std::string name = service->identifier ? service->identifier : libtarvo::kServiceName;
    return libtarvo::diagnostics_relay_client_new_on(std::move(connection), std::move(name),
                                                     libtarvo::DiagnosticsRelayWaits{}, client);
}

diagnostics_relay_error_t diagnostics_relay_client_start_service(tarvo_t device,
                                                                 diagnostics_relay_client_t *client,
                                                                 const char *label) {
    if (!device || !client) {
        return DIAGNOSTICS_RELAY_E_INVALID_ARG;
    }
    diagnostics_relay_error_t e = DIAGNOSTICS_RELAY_E_MUX_ERROR;
    libtarvo::with_started_service(device, libtarvo::kServiceName, label,
                                   [&](lockdownd_service_descriptor_t service) {
                                       e = diagnostics_relay_client_new(device, service, client);
                                   });
    return e;
}

diagnostics_relay_error_t diagnostics_relay_client_free(diagnostics_relay_client_t client) {
    if (!client) {
        return DIAGNOSTICS_RELAY_E_INVALID_ARG;
    }
    {
        std::lock_guard<std::mutex> lock(client->mutex);
        if (!client->said_goodbye && !client->channel->connection().broken()) {
            // A courtesy to the device; its answer changes nothing for us.
            libtarvo::goodbye(client, client->waits.parting_ms);
        }
    }
    delete client;
    return DIAGNOSTICS_RELAY_E_SUCCESS;
}

diagnostics_relay_error_t diagnostics_relay_goodbye(diagnostics_relay_client_t client) {
    if (!client) {
        return DIAGNOSTICS_RELAY_E_INVALID_ARG;
    }
    std::lock_guard<std::mutex> lock(client->mutex);
    return libtarvo::goodbye(client, client->waits.reply_ms);
}

diagnostics_relay_error_t diagnostics_relay_query_mobilegestalt(diagnostics_relay_client_t client,
                                                                plist_t keys, plist_t *result) {
    if (!client || !result || !libtarvo::is_string_array(keys)) {
        return DIAGNOSTICS_RELAY_E_INVALID_ARG;
    }
    std::lock_guard<std::mutex> lock(client->mutex);
    PlistPtr request(plist_new_dict());
    plist_dict_set_item(request.get(), "Request", plist_new_string("MobileGestalt"));
    plist_dict_set_item(request.get(), "MobileGestaltKeys", plist_copy(keys));
    PlistPtr reply;
    if (diagnostics_relay_error_t e =
            libtarvo::exchange(client, request.get(), client->waits.reply_ms, &reply)) {
        return e;
    }
    if (diagnostics_relay_error_t e = libtarvo::status_error(client, reply.get())) {
        return e;
    }
    plist_t diagnostics = plist_dict_get_item(reply.get(), "Diagnostics");
    if (!diagnostics || plist_get_node_type(diagnostics) != PLIST_DICT) {
        return DIAGNOSTICS_RELAY_E_PLIST_ERROR;
    }
    *result = plist_copy(diagnostics);
    return DIAGNOSTICS_RELAY_E_SUCCESS;
}

const char *diagnostics_relay_strerror(diagnostics_relay_error_t err) {
    switch (err) {
        case DIAGNOSTICS_RELAY_E_SUCCESS:
            return "Success";
        case DIAGNOSTICS_RELAY_E_INVALID_ARG:
            return "Invalid argument";
        case DIAGNOSTICS_RELAY_E_PLIST_ERROR:
            return "Malformed or oversized answer from the device";
        case DIAGNOSTICS_RELAY_E_MUX_ERROR:
            return "Connection to the device failed";
        case DIAGNOSTICS_RELAY_E_UNKNOWN_REQUEST:
            return "The device does not know the request";
        case DIAGNOSTICS_RELAY_E_UNKNOWN_ERROR:
            break;
    }
    return "Unknown error";
}
