/*
 * The installation proxy's client: client options, and the listing of
 * applications, which the device sends as a series of pages that this
 * client gathers into one array.
 */
#include "libtarvo/installation_proxy.h"

#include <algorithm>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "debug.h"
#include "frame_receive.h"
#include "installation_proxy_private.h"
#include "plist_channel.h"
#include "plist_items.h"
#include "service_connection.h"

struct instproxy_client_private {
    std::unique_ptr<libtarvo::PlistChannel> channel;
    libtarvo::InstallationProxyWaits waits;
    libtarvo::InstallationProxyLimits limits;
    // A listing takes many messages; a second caller must not read its pages.
    std::mutex busy;
};

namespace libtarvo {
namespace {

constexpr const char *kServiceName = "com.apple.mobile.installation_proxy";

instproxy_error_t instproxy_error_from_status(Status status) {
    switch (status) {
        case Status::kOk:
            return INSTPROXY_E_SUCCESS;
        case Status::kInvalidArg:
            return INSTPROXY_E_INVALID_ARG;
        case Status::kTooLarge:
        case Status::kMalformed:
            return INSTPROXY_E_PLIST_ERROR;
        case Status::kTimeout:
            return INSTPROXY_E_RECEIVE_TIMEOUT;
        default:
            return INSTPROXY_E_CONN_FAILED;
    }
}

std::string string_item(plist_t dict, const char *key) {
    return tarvo::string_item(dict, key).value_or("");
}

// Pages still to come would meet the next request, so a listing cut short
// leaves the client unusable.
instproxy_error_t fail_broken(instproxy_client_t client, instproxy_error_t error) {
    client->channel->connection().mark_broken();
    return error;
}

// One page within the page wait. Its length is checked against what the
// listing may still bring before anything is allocated, and taken from it.
Status receive_page(instproxy_client_t client, std::size_t *bytes_left, PlistPtr *page) {
    const PlistFrameLimit limit{std::min(kMaxPlistFrameBody, *bytes_left),
                                "refused a page beyond what one listing may bring"};
    std::size_t body_size = 0;
    Status s = receive_plist_message(client->channel->connection(), client->channel->name(),
                                     FrameWaits{client->waits.page_ms}, page, limit, &body_size);
    if (s == Status::kOk) {
        *bytes_left -= body_size;
    }
    return s;
}

// Adds the page's applications to `apps`; *done once the device says the
// listing is complete.
instproxy_error_t take_page(instproxy_client_t client, plist_t page, plist_t apps, bool *done) {
    const std::string &name = client->channel->name();
    if (plist_get_node_type(page) != PLIST_DICT) {
        debug_note(name, "a page that is no dictionary");
        return INSTPROXY_E_PLIST_ERROR;
    }
    if (plist_dict_get_item(page, "Error")) {
        debug_note(name, "the device refused the listing: " + string_item(page, "Error") + " " +
                             string_item(page, "ErrorDescription"));
        return INSTPROXY_E_OP_FAILED;
    }
    const std::string status = string_item(page, "Status");
    plist_t list = plist_dict_get_item(page, "CurrentList");
    if (status == "Complete") {
        *done = true;
        if (!list) {
            return INSTPROXY_E_SUCCESS;
        }
    } else if (status != "BrowsingApplications") {
        debug_note(name, "a page of unknown status: " + status);
        return INSTPROXY_E_PLIST_ERROR;
    }
    if (!list || plist_get_node_type(list) != PLIST_ARRAY) {
        debug_note(name, "a page without a list of applications");
        return INSTPROXY_E_PLIST_ERROR;
    }
    const uint32_t count = plist_array_get_size(list);
    if (plist_array_get_size(apps) + std::size_t{count} > client->limits.max_apps) {
        debug_note(name, "refused a listing of more applications than the cap");
        return INSTPROXY_E_PLIST_ERROR;
    }
    for (uint32_t i = 0; i < count; ++i) {
        plist_array_append_item(apps, plist_copy(plist_array_get_item(list, i)));
    }
    return INSTPROXY_E_SUCCESS;
}

instproxy_error_t browse(instproxy_client_t client, plist_t client_options, plist_t *result) {
    PlistPtr request(plist_new_dict());
    plist_dict_set_item(request.get(), "Command", plist_new_string("Browse"));
    plist_dict_set_item(request.get(), "ClientOptions",
                        client_options ? plist_copy(client_options) : plist_new_dict());
    if (Status s = client->channel->send(request.get(), PlistFormat::kXml, client->waits.send_ms);
        s != Status::kOk) {
        // Options too large for a frame never reach the wire; any other
        // failure may have left part of the request there.
        return s == Status::kTooLarge ? INSTPROXY_E_PLIST_ERROR
                                      : fail_broken(client, INSTPROXY_E_CONN_FAILED);
    }
    PlistPtr apps(plist_new_array());
    std::size_t bytes_left = client->limits.max_bytes;
    for (std::size_t pages = 0; pages < client->limits.max_pages; ++pages) {
        PlistPtr page;
        if (Status s = receive_page(client, &bytes_left, &page); s != Status::kOk) {
            return fail_broken(client, instproxy_error_from_status(s));
        }
        bool done = false;
        instproxy_error_t e = take_page(client, page.get(), apps.get(), &done);
        if (e == INSTPROXY_E_OP_FAILED) {
            return e;  // the device's last word on this listing: still in step
        }
        if (e != INSTPROXY_E_SUCCESS) {
            return fail_broken(client, e);
        }
        if (done) {
            *result = apps.release();
            return INSTPROXY_E_SUCCESS;
        }
    }
    debug_note(client->channel->name(), "refused a listing of more pages than the cap");
    return fail_broken(client, INSTPROXY_E_PLIST_ERROR);
}

}  // namespace

instproxy_error_t instproxy_client_new_on(std::unique_ptr<Connection> connection, std::string name,
                                          const InstallationProxyWaits &waits,
                                          const InstallationProxyLimits &limits,
                                          instproxy_client_t *client) {
    if (!connection || !client) {
        return INSTPROXY_E_INVALID_ARG;
    }
    auto made = new instproxy_client_private;
    made->channel = std::make_unique<PlistChannel>(std::move(connection), std::move(name));
    made->waits = waits;
    made->limits = limits;
    *client = made;
    return INSTPROXY_E_SUCCESS;
}

}  // namespace libtarvo

instproxy_error_t instproxy_client_new(tarvo_t device, lockdownd_service_descriptor_t service,
                                       instproxy_client_t *client) {
    if (!device || !service || !client) {
        return INSTPROXY_E_INVALID_ARG;
    }
    std::unique_ptr<libtarvo::Connection> connection;
    if (libtarvo::Status s = libtarvo::service_connect(device, service, &connection);
        s != libtarvo::Status::kOk) {
        return s == libtarvo::Status::kInvalidArg ? INSTPROXY_E_INVALID_ARG
                                                  : INSTPROXY_E_CONN_FAILED;
    }
    std::string name = service->identifier ? service->identifier : libtarvo::kServiceName;
    return libtarvo::instproxy_client_new_on(std::move(connection), std::move(name),
                                             libtarvo::InstallationProxyWaits{},
                                             libtarvo::InstallationProxyLimits{}, client);
}

instproxy_error_t instproxy_client_start_service(tarvo_t device, instproxy_client_t *client,
                                                 const char *label) {
    if (!device || !client) {
        return INSTPROXY_E_INVALID_ARG;
    }
    instproxy_error_t e = INSTPROXY_E_CONN_FAILED;
    libtarvo::with_started_service(device, libtarvo::kServiceName, label,
                                   [&](lockdownd_service_descriptor_t service) {
                                       e = instproxy_client_new(device, service, client);
                                   });
    return e;
}

instproxy_error_t instproxy_client_free(instproxy_client_t client) {
    if (!client) {
        return INSTPROXY_E_INVALID_ARG;
    }
    delete client;
    return INSTPROXY_E_SUCCESS;
}

plist_t instproxy_client_options_new(void) {
    return plist_new_dict();
}

void instproxy_client_options_add(plist_t client_options, ...) {
    if (!client_options || plist_get_node_type(client_options) != PLIST_DICT) {
        return;
    }
    va_list args;
    va_start(args, client_options);
    for (;;) {
        const char *key = va_arg(args, const char *);
        if (!key) {
            break;
        }
        const char *value = va_arg(args, const char *);
        if (!value) {
            break;
        }
        plist_dict_set_item(client_options, key, plist_new_string(value));
    }
    va_end(args);
}

void instproxy_client_options_set_return_attributes(plist_t client_options, ...) {
    if (!client_options || plist_get_node_type(client_options) != PLIST_DICT) {
        return;
    }
    plist_t names = plist_new_array();
    va_list args;
    va_start(args, client_options);
    for (const char *name = va_arg(args, const char *); name; name = va_arg(args, const char *)) {
        plist_array_append_item(names, plist_new_string(name));
    }
    va_end(args);
    plist_dict_set_item(client_options, "ReturnAttributes", names);
}

void instproxy_client_options_free(plist_t client_options) {
    plist_free(client_options);
}

instproxy_error_t instproxy_browse(instproxy_client_t client, plist_t client_options,
                                   plist_t *result) {
    if (!client || !result ||
        (client_options && plist_get_node_type(client_options) != PLIST_DICT)) {
        return INSTPROXY_E_INVALID_ARG;
    }
    std::unique_lock<std::mutex> busy(client->busy, std::try_to_lock);
    if (!busy.owns_lock()) {
        return INSTPROXY_E_OP_IN_PROGRESS;
    }
    if (client->channel->connection().broken()) {
        return INSTPROXY_E_CONN_FAILED;
    }
    return libtarvo::browse(client, client_options, result);
}

const char *instproxy_strerror(instproxy_error_t err) {
    switch (err) {
        case INSTPROXY_E_SUCCESS:
            return "Success";
        case INSTPROXY_E_INVALID_ARG:
            return "Invalid argument";
        case INSTPROXY_E_PLIST_ERROR:
            return "Malformed or oversized answer from the device";
        case INSTPROXY_E_CONN_FAILED:
            return "Connection to the device failed";
        case INSTPROXY_E_OP_IN_PROGRESS:
            return "Another operation is in progress";
        case INSTPROXY_E_OP_FAILED:
            return "The device refused the operation";
        case INSTPROXY_E_RECEIVE_TIMEOUT:
            return "Timed out waiting for the device";
        case INSTPROXY_E_UNKNOWN_ERROR:
            break;
    }
    return "Unknown error";
}
