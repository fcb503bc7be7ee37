/*
 * The home-screen service's client: one request and its answer at a time.
 */
#include "libtarvo/springboard_services.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "debug.h"
#include "plist_channel.h"
#include "service_connection.h"
#include "springboard_services_private.h"

struct sbservices_client_private {
    std::unique_ptr<libtarvo::PlistChannel> channel;
    libtarvo::SpringboardServicesWaits waits;
    // One request and its answer at a time.
    std::mutex mutex;
};

namespace libtarvo {
namespace {

constexpr const char *kServiceName = "com.apple.springboardservices";

// An answer that comes late would meet the next request, so every failure
// that may leave bytes in flight ends the client's use of the connection.
sbservices_error_t fail_broken(sbservices_client_t client) {
    client->channel->connection().mark_broken();
    return SBSERVICES_E_CONN_FAILED;
}

sbservices_error_t exchange(sbservices_client_t client, plist_t request, PlistPtr *reply) {
    if (client->channel->connection().broken()) {
        return SBSERVICES_E_CONN_FAILED;
    }
    if (Status s = client->channel->send(request, PlistFormat::kXml, client->waits.send_ms);
        s != Status::kOk) {
        return s == Status::kTooLarge ? SBSERVICES_E_PLIST_ERROR : fail_broken(client);
    }
    switch (client->channel->receive(reply, client->waits.reply_ms)) {
        case Status::kOk:
            return SBSERVICES_E_SUCCESS;
        case Status::kMalformed:
        case Status::kTooLarge:
            return SBSERVICES_E_PLIST_ERROR;  // the channel broke itself where it must
        default:
            return fail_broken(client);
    }
}

}  // namespace

sbservices_error_t sbservices_client_new_on(std::unique_ptr<Connection> connection,
                                            std::string name, const SpringboardServicesWaits &waits,
                                            sbservices_client_t *client) {
    if (!connection || !client) {
        return SBSERVICES_E_INVALID_ARG;
    }
    auto made = new sbservices_client_private;
    made->channel = std::make_unique<PlistChannel>(std::move(connection), std::move(name));
    made->waits = waits;
    *client = made;
    return SBSERVICES_E_SUCCESS;
}

}  // namespace libtarvo

sbservices_error_t sbservices_client_new(tarvo_t device, lockdownd_service_descriptor_t service,
                                         sbservices_client_t *client) {
    if (!device || !service || !client) {
        return SBSERVICES_E_INVALID_ARG;
    }
    std::unique_ptr<libtarvo::Connection> connection;
    if (libtarvo::Status s = libtarvo::service_connect(device, service, &connection);
        s != libtarvo::Status::kOk) {
        return s == libtarvo::Status::kInvalidArg ? SBSERVICES_E_INVALID_ARG
                                                  : SBSERVICES_E_CONN_FAILED;
    }
    std::string name = service->identifier ? service->identifier : libtarvo::kServiceName;
    return libtarvo::sbservices_client_new_on(std::move(connection), std::move(name),
                                              libtarvo::SpringboardServicesWaits{}, client);
}

sbservices_error_t sbservices_client_start_service(tarvo_t device, sbservices_client_t *client,
                                                   const char *label) {
    if (!device || !client) {
        return SBSERVICES_E_INVALID_ARG;
    }
    sbservices_error_t e = SBSERVICES_E_CONN_FAILED;
    libtarvo::with_started_service(device, libtarvo::kServiceName, label,
                                   [&](lockdownd_service_descriptor_t service) {
                                       e = sbservices_client_new(device, service, client);
                                   });
    return e;
}

sbservices_error_t sbservices_client_free(sbservices_client_t client) {
    if (!client) {
        return SBSERVICES_E_INVALID_ARG;
    }
    delete client;
    return SBSERVICES_E_SUCCESS;
}

sbservices_error_t sbservices_get_icon_pngdata(sbservices_client_t client, const char *bundle_id,
                                               char **pngdata, uint64_t *pngsize) {
    if (!client || !bundle_id || !pngdata || !pngsize) {
        return SBSERVICES_E_INVALID_ARG;
    }
    std::lock_guard<std::mutex> lock(client->mutex);
    PlistPtr request(plist_new_dict());
    plist_dict_set_item(request.get(), "command", plist_new_string("getIconPNGData"));
    plist_dict_set_item(request.get(), "bundleId", plist_new_string(bundle_id));
    PlistPtr reply;
    if (sbservices_error_t e = libtarvo::exchange(client, request.get(), &reply)) {
        return e;
    }
    if (plist_get_node_type(reply.get()) != PLIST_DICT) {
        return SBSERVICES_E_PLIST_ERROR;
    }
    plist_t png = plist_dict_get_item(reply.get(), "pngData");
    if (!png || plist_get_node_type(png) != PLIST_DATA) {
        libtarvo::debug_note(client->channel->name(), std::string("no icon for ") + bundle_id);
        return SBSERVICES_E_UNKNOWN_ERROR;
    }
    char *raw = nullptr;
    uint64_t length = 0;
    plist_get_data_val(png, &raw, &length);
    // An empty image still gets a block of its own, so that success always
    // hands the caller something to free.
    if (!raw && length == 0) {
        raw = static_cast<char *>(std::malloc(1));
    }
    if (!raw) {
        return SBSERVICES_E_UNKNOWN_ERROR;
    }
    *pngdata = raw;
    *pngsize = length;
    return SBSERVICES_E_SUCCESS;
}

const char *sbservices_strerror(sbservices_error_t err) {
    switch (err) {
        case SBSERVICES_E_SUCCESS:
            return "Success";
        case SBSERVICES_E_INVALID_ARG:
            return "Invalid argument";
        case SBSERVICES_E_PLIST_ERROR:
            return "Malformed or oversized answer from the device";
        case SBSERVICES_E_CONN_FAILED:
            return "Connection to the device failed";
        case SBSERVICES_E_UNKNOWN_ERROR:
            break;
    }
    return "Unknown error";
}
