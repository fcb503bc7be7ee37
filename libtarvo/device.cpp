/*
 * Device handles: lookup through the multiplexer daemon (libusbmuxd, which
 * also honours USBMUXD_SOCKET_ADDRESS), and connections to device ports.
 */
#include <usbmuxd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include <unistd.h>

#include "debug.h"
#include "device_private.h"

namespace {

enum usbmux_lookup_options lookup_mask(enum tarvo_options options) {
    int mask = 0;
    if (options & TARVO_LOOKUP_USBMUX) {
        mask |= DEVICE_LOOKUP_USBMUX;
    }
    if (options & TARVO_LOOKUP_NETWORK) {
        mask |= DEVICE_LOOKUP_NETWORK;
    }
    return static_cast<enum usbmux_lookup_options>(mask ? mask : DEVICE_LOOKUP_USBMUX);
}

}  // namespace

tarvo_error_t tarvo_new_with_options(tarvo_t *device, const char *udid,
                                     enum tarvo_options options) {
    if (!device) {
        return TARVO_E_INVALID_ARG;
    }
    usbmuxd_device_info_t info;
    std::memset(&info, 0, sizeof(info));
    if (usbmuxd_get_device(udid, &info, lookup_mask(options)) != 1) {
        return TARVO_E_NO_DEVICE;
    }
    auto *created = new (std::nothrow) tarvo_private;
    if (!created) {
        return TARVO_E_UNKNOWN_ERROR;
    }
    created->udid.assign(info.udid, strnlen(info.udid, sizeof(info.udid)));
    created->handle = info.handle;
    created->network = info.conn_type == CONNECTION_TYPE_NETWORK;
    *device = created;
    return TARVO_E_SUCCESS;
}

tarvo_error_t tarvo_new(tarvo_t *device, const char *udid) {
    return tarvo_new_with_options(device, udid, TARVO_LOOKUP_USBMUX);
}

tarvo_error_t tarvo_free(tarvo_t device) {
    if (!device) {
        return TARVO_E_INVALID_ARG;
    }
    delete device;
    return TARVO_E_SUCCESS;
}

tarvo_error_t tarvo_get_udid(tarvo_t device, char **udid) {
    if (!device || !udid) {
        return TARVO_E_INVALID_ARG;
    }
    *udid = strdup(device->udid.c_str());
    return *udid ? TARVO_E_SUCCESS : TARVO_E_UNKNOWN_ERROR;
}

tarvo_error_t tarvo_get_handle(tarvo_t device, uint32_t *handle) {
    if (!device || !handle) {
        return TARVO_E_INVALID_ARG;
    }
    *handle = device->handle;
    return TARVO_E_SUCCESS;
}

namespace libtarvo {

Status device_connect(tarvo_t device, uint16_t port, std::unique_ptr<Connection> *out) {
    out->reset();
    if (!device) {
        return Status::kInvalidArg;
    }
    int fd = usbmuxd_connect(device->handle, port);
    if (fd < 0) {
        debug_note(device->udid,
                   "the multiplexer could not connect to port " + std::to_string(port));
        return fd == -ECONNREFUSED ? Status::kRefused : Status::kIo;
    }
    out->reset(new (std::nothrow) Connection(fd));
    if (!*out) {
        ::close(fd);
        return Status::kIo;
    }
    return Status::kOk;
}

void device_set_session_credentials(tarvo_t device,
                                    std::shared_ptr<const TlsCredentials> credentials) {
    std::lock_guard<std::mutex> lock(device->credentials_mutex);
    device->session_credentials = std::move(credentials);
}

std::shared_ptr<const TlsCredentials> device_session_credentials(tarvo_t device) {
    std::lock_guard<std::mutex> lock(device->credentials_mutex);
    return device->session_credentials;
}

}  // namespace libtarvo
