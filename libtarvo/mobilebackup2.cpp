/*
 * The backup service's client: the device-link handshake at connect, the
 * protocol version exchange, requests and status responses, messages with a
 * bounded wait, and raw file data between them.
 */
#include "libtarvo/mobilebackup2.h"

#include <cstring>

#include "debug.h"
#include "device_link.h"
#include "libtarvo/device_link_protocol.h"
#include "mobilebackup2_private.h"
#include "plist_items.h"
#include "secrets.h"
#include "service_connection.h"

using libtarvo::DeviceLinkChannel;
using libtarvo::MobileBackup2Waits;
using libtarvo::Status;

struct mobilebackup2_client_private {
    std::unique_ptr<DeviceLinkChannel> channel;
    MobileBackup2Waits waits;
};

namespace libtarvo {
namespace {

constexpr const char *kServiceName = "com.apple.mobilebackup2";

// Device-link majors the host speaks: 300 on older devices, 400 on current ones.
bool is_supported_device_link_major(uint64_t major) {
    return major == 300 || major == 400;
}

bool uint_item(plist_t array, uint32_t index, uint64_t *value) {
    const std::optional<uint64_t> item = tarvo::uint_value(tarvo::array_item(array, index));
    *value = item.value_or(0);
    return item.has_value();
}

// A timeout is "nothing yet" only while the channel is in step; one that
// cut a message or raw data short is a broken connection.
mobilebackup2_error_t error_after_receive(mobilebackup2_client_t client, Status status) {
    if (status == Status::kTimeout && client->channel->connection().broken()) {
        return MOBILEBACKUP2_E_MUX_ERROR;
    }
    return mobilebackup2_error_from_status(status);
}

mobilebackup2_error_t receive_within(mobilebackup2_client_t client, PlistPtr *message,
                                     std::string *name, int first_byte_ms) {
    return error_after_receive(client, client->channel->receive(message, name, first_byte_ms,
                                                                client->waits.completion_ms));
}

// -5 means "no message yet" to callers; a send that could not finish is a
// failed connection.
mobilebackup2_error_t error_after_send(Status status) {
    return status == Status::kTimeout ? MOBILEBACKUP2_E_MUX_ERROR
                                      : mobilebackup2_error_from_status(status);
}

mobilebackup2_error_t send_node(mobilebackup2_client_t client, plist_t message) {
    return error_after_send(client->channel->send(message));
}

// Device → ["DLMessageVersionExchange", major, minor]; host → DLVersionsOk
// with the device's major; device → ["DLMessageDeviceReady"].
mobilebackup2_error_t device_link_handshake(mobilebackup2_client_t client) {
    PlistPtr message;
    std::string name;
    if (auto r = receive_within(client, &message, &name, client->waits.handshake_ms)) {
        return r;
    }
    uint64_t major = 0;
    uint64_t minor = 0;
    if (name != dl::kVersionExchange || !uint_item(message.get(), 1, &major) ||
        !uint_item(message.get(), 2, &minor)) {
        debug_note(client->channel->name(), "expected the device-link version exchange");
        return MOBILEBACKUP2_E_PLIST_ERROR;
    }
    if (!is_supported_device_link_major(major)) {
        debug_note(client->channel->name(),
                   "unsupported device-link version " + std::to_string(major));
        return MOBILEBACKUP2_E_BAD_VERSION;
    }
    PlistPtr ok = make_versions_ok(major);
    if (auto r = send_node(client, ok.get())) {
        return r;
    }
    if (auto r = receive_within(client, &message, &name, client->waits.handshake_ms)) {
        return r;
    }
    if (name == dl::kDisconnect) {
        return MOBILEBACKUP2_E_REPLY_NOT_OK;
    }
    return name == dl::kDeviceReady ? MOBILEBACKUP2_E_SUCCESS : MOBILEBACKUP2_E_PLIST_ERROR;
}

// The dictionary of a ["DLMessageProcessMessage", {...}] message, or null.
plist_t process_message_dictionary(plist_t message, const std::string &name) {
    if (name != dl::kProcessMessage) {
        return nullptr;
    }
    plist_t dictionary = plist_array_get_item(message, 1);
    return dictionary && plist_get_node_type(dictionary) == PLIST_DICT ? dictionary : nullptr;
}

bool dictionary_string_is(plist_t dictionary, const char *key, const char *expected) {
    return tarvo::string_item(dictionary, key) == expected;
}

// Reads the answer to Hello: ProcessMessage {"MessageName": "Response",
// "ErrorCode": 0, "ProtocolVersion": <real>}.
mobilebackup2_error_t read_version_answer(mobilebackup2_client_t client,
                                          std::span<const double> offered, double *chosen) {
    PlistPtr message;
    std::string name;
    if (auto r = receive_within(client, &message, &name, client->waits.handshake_ms)) {
        if (r == MOBILEBACKUP2_E_RECEIVE_TIMEOUT) {
            // A late answer would reach the message loop as the end of a request.
            client->channel->connection().mark_broken();
        }
        return r;
    }
    plist_t answer = process_message_dictionary(message.get(), name);
    if (!answer || !dictionary_string_is(answer, "MessageName", "Response")) {
        return MOBILEBACKUP2_E_PLIST_ERROR;
    }
    plist_t code = plist_dict_get_item(answer, "ErrorCode");
    if (!code || plist_get_node_type(code) != PLIST_UINT) {
        return MOBILEBACKUP2_E_PLIST_ERROR;
    }
    uint64_t error_code = 0;
    plist_get_uint_val(code, &error_code);
    if (error_code != 0) {
        return MOBILEBACKUP2_E_NO_COMMON_VERSION;
    }
    plist_t version = plist_dict_get_item(answer, "ProtocolVersion");
    if (!version || plist_get_node_type(version) != PLIST_REAL) {
        return MOBILEBACKUP2_E_PLIST_ERROR;
    }
    double value = 0;
    plist_get_real_val(version, &value);
    // The device picks from what was offered; anything else is no agreement.
    bool offered_it = false;
    for (double v : offered) {
        offered_it = offered_it || v == value;
    }
    if (!offered_it) {
        return MOBILEBACKUP2_E_NO_COMMON_VERSION;
    }
    *chosen = value;
    return MOBILEBACKUP2_E_SUCCESS;
}

}  // namespace

mobilebackup2_error_t mobilebackup2_error_from_status(Status status) {
    switch (status) {
        case Status::kOk:
            return MOBILEBACKUP2_E_SUCCESS;
        case Status::kInvalidArg:
            return MOBILEBACKUP2_E_INVALID_ARG;
        case Status::kTimeout:
            return MOBILEBACKUP2_E_RECEIVE_TIMEOUT;
        case Status::kTls:
        case Status::kBadCredentials:
            return MOBILEBACKUP2_E_SSL_ERROR;
        case Status::kTooLarge:
        case Status::kMalformed:
            return MOBILEBACKUP2_E_PLIST_ERROR;
        case Status::kClosed:
        case Status::kReset:
        case Status::kRefused:
        case Status::kIo:
            return MOBILEBACKUP2_E_MUX_ERROR;
    }
    return MOBILEBACKUP2_E_UNKNOWN_ERROR;
}

mobilebackup2_error_t mobilebackup2_client_new_on(std::unique_ptr<Connection> connection,
                                                  std::string name, const MobileBackup2Waits &waits,
                                                  mobilebackup2_client_t *client) {
    if (!connection || !client) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    auto made = std::make_unique<mobilebackup2_client_private>();
    made->channel = std::make_unique<DeviceLinkChannel>(std::move(connection), std::move(name));
    made->waits = waits;
    mobilebackup2_error_t r = device_link_handshake(made.get());
    if (r == MOBILEBACKUP2_E_RECEIVE_TIMEOUT) {
        // At connect, silence is a failure, not "no message yet".
        r = MOBILEBACKUP2_E_MUX_ERROR;
    }
    if (r != MOBILEBACKUP2_E_SUCCESS) {
        return r;
    }
    *client = made.release();
    return MOBILEBACKUP2_E_SUCCESS;
}

void mobilebackup2_set_waits(mobilebackup2_client_t client, const MobileBackup2Waits &waits) {
    if (client) {
        client->waits = waits;
    }
}

}  // namespace libtarvo

using libtarvo::mobilebackup2_error_from_status;

mobilebackup2_error_t mobilebackup2_client_new(tarvo_t device,
                                               lockdownd_service_descriptor_t service,
                                               mobilebackup2_client_t *client) {
    if (!device || !service || !client) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    std::unique_ptr<libtarvo::Connection> connection;
    if (Status s = libtarvo::service_connect(device, service, &connection); s != Status::kOk) {
        return mobilebackup2_error_from_status(s);
    }
    std::string name = service->identifier ? service->identifier : libtarvo::kServiceName;
    return libtarvo::mobilebackup2_client_new_on(std::move(connection), std::move(name),
                                                 MobileBackup2Waits{}, client);
}

mobilebackup2_error_t mobilebackup2_client_free(mobilebackup2_client_t client) {
    if (!client) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    if (!client->channel->connection().broken()) {
        // A courtesy to the device; a failure changes nothing for us.
        PlistPtr bye = libtarvo::make_disconnect();
        client->channel->send(bye.get(), client->waits.disconnect_ms);
    }
    delete client;
    return MOBILEBACKUP2_E_SUCCESS;
}

mobilebackup2_error_t mobilebackup2_send_message(mobilebackup2_client_t client, const char *message,
                                                 plist_t options) {
    if (!client || (!message && !options) ||
        (options && plist_get_node_type(options) != PLIST_DICT)) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    PlistPtr dictionary(options ? plist_copy(options) : plist_new_dict());
    if (message) {
        plist_dict_set_item(dictionary.get(), "MessageName", plist_new_string(message));
    } else {
        plist_t name = plist_dict_get_item(dictionary.get(), "MessageName");
        if (!name || plist_get_node_type(name) != PLIST_STRING) {
            return MOBILEBACKUP2_E_INVALID_ARG;
        }
    }
    PlistPtr wrapped = libtarvo::make_process_message(std::move(dictionary));
    const mobilebackup2_error_t sent = libtarvo::send_node(client, wrapped.get());
    // Our copy of the caller's options may hold a backup password.
    tarvo::plist_wipe_secrets(wrapped.get());
    return sent;
}

mobilebackup2_error_t mobilebackup2_send_request(mobilebackup2_client_t client, const char *request,
                                                 const char *target_identifier,
                                                 const char *source_identifier, plist_t options) {
    if (!client || !request || !target_identifier ||
        (options && plist_get_node_type(options) != PLIST_DICT)) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    PlistPtr dictionary(plist_new_dict());
    plist_dict_set_item(dictionary.get(), "TargetIdentifier", plist_new_string(target_identifier));
    // Without a source the backup read is the target's own.
    plist_dict_set_item(
        dictionary.get(), "SourceIdentifier",
        plist_new_string(source_identifier ? source_identifier : target_identifier));
    if (options) {
        plist_dict_set_item(dictionary.get(), "Options", plist_copy(options));
    }
    // The device answers a request only through the messages that follow, so
    // a refusal shows in the final Response that receive_message delivers.
    const mobilebackup2_error_t sent =
        mobilebackup2_send_message(client, request, dictionary.get());
    tarvo::plist_wipe_secrets(dictionary.get());  // the Options copy: a password, maybe
    return sent;
}

mobilebackup2_error_t mobilebackup2_receive_message(mobilebackup2_client_t client, plist_t *message,
                                                    char **dlmessage) {
    if (message) {
        *message = nullptr;
    }
    if (dlmessage) {
        *dlmessage = nullptr;
    }
    if (!client || !message) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    PlistPtr received;
    std::string name;
    if (auto r = libtarvo::receive_within(client, &received, &name,
                                          client->waits.message_first_byte_ms)) {
        return r;
    }
    if (dlmessage) {
        *dlmessage = strdup(name.c_str());
        if (!*dlmessage) {
            return MOBILEBACKUP2_E_UNKNOWN_ERROR;
        }
    }
    *message = received.release();
    return MOBILEBACKUP2_E_SUCCESS;
}

mobilebackup2_error_t mobilebackup2_send_raw(mobilebackup2_client_t client, const char *data,
                                             uint32_t length, uint32_t *bytes) {
    if (bytes) {
        *bytes = 0;
    }
    if (!client || (!data && length > 0)) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    if (length == 0) {
        return MOBILEBACKUP2_E_SUCCESS;
    }
    std::span<const uint8_t> view(reinterpret_cast<const uint8_t *>(data), length);
    if (Status s = client->channel->send_raw(view); s != Status::kOk) {
        return libtarvo::error_after_send(s);
    }
    if (bytes) {
        *bytes = length;
    }
    return MOBILEBACKUP2_E_SUCCESS;
}

mobilebackup2_error_t mobilebackup2_receive_raw(mobilebackup2_client_t client, char *data,
                                                uint32_t length, uint32_t *bytes) {
    if (bytes) {
        *bytes = 0;
    }
    if (!client || (!data && length > 0)) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    std::size_t got = 0;
    Status s = client->channel->receive_raw(
        std::span<uint8_t>(reinterpret_cast<uint8_t *>(data), length), &got,
        client->waits.raw_first_byte_ms, client->waits.completion_ms);
    if (bytes) {
        *bytes = static_cast<uint32_t>(got);
    }
    return libtarvo::error_after_receive(client, s);
}

mobilebackup2_error_t mobilebackup2_version_exchange(mobilebackup2_client_t client,
                                                     double local_versions[], char count,
                                                     double *remote_version) {
    if (!client || !local_versions || static_cast<int>(count) <= 0) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    std::span<const double> offered(local_versions, static_cast<std::size_t>(count));
    PlistPtr versions(plist_new_array());
    for (double v : offered) {
        plist_array_append_item(versions.get(), plist_new_real(v));
    }
    PlistPtr hello(plist_new_dict());
    plist_dict_set_item(hello.get(), "SupportedProtocolVersions", versions.release());
    if (auto r = mobilebackup2_send_message(client, "Hello", hello.get())) {
        return r;
    }
    double chosen = 0;
    if (auto r = libtarvo::read_version_answer(client, offered, &chosen)) {
        return r;
    }
    if (remote_version) {
        *remote_version = chosen;
    }
    return MOBILEBACKUP2_E_SUCCESS;
}

mobilebackup2_error_t mobilebackup2_send_status_response(mobilebackup2_client_t client,
                                                         int status_code, const char *status1,
                                                         plist_t status2) {
    if (!client) {
        return MOBILEBACKUP2_E_INVALID_ARG;
    }
    PlistPtr response = libtarvo::make_status_response(status_code, status1, status2);
    return libtarvo::send_node(client, response.get());
}
