/*
 * Device handles: lookup through the multiplexer daemon (libusbmuxd, which
 * also honours USBMUXD_SOCKET_ADDRESS), and connections to device ports.
 */
#include <usbmuxd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
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

tarvo_error_t tarvo_list_udids(enum tarvo_options options, char ***udids, int *count) {
    if (!udids || !count) {
        return TARVO_E_INVALID_ARG;
    }
    *udids = nullptr;
    *count = 0;
    usbmuxd_device_info_t *list = nullptr;
    const int found = usbmuxd_get_device_list(&list);
    if (found < 0) {
        return TARVO_E_CONNREFUSED;
    }
    const int mask = lookup_mask(options);
    auto *names =
        static_cast<char **>(std::calloc(static_cast<std::size_t>(found) + 1, sizeof(char *)));
    if (!names) {
        usbmuxd_device_list_free(&list);
        return TARVO_E_UNKNOWN_ERROR;
    }
    int kept = 0;
    for (int i = 0; i < found; ++i) {
        const usbmuxd_device_info_t &info = list[i];
        const bool selected = info.conn_type == CONNECTION_TYPE_NETWORK
                                  ? (mask & DEVICE_LOOKUP_NETWORK) != 0
                                  : (mask & DEVICE_LOOKUP_USBMUX) != 0;
        if (selected) {
            if (char *copy = strndup(info.udid, sizeof(info.udid))) {
                names[kept++] = copy;
            }
        }
    }
    usbmuxd_device_list_free(&list);
    *udids = names;
    *count = kept;
    return TARVO_E_SUCCESS;
}

namespace {

// What the daemon's event thread hands to the waiting caller.
struct DeviceWait {
    int mask = 0;
    std::mutex mutex;
    std::condition_variable arrived;
    std::string udid;
};

void on_device_event(const usbmuxd_event_t *event, void *user_data) {
    auto *wait = static_cast<DeviceWait *>(user_data);
    if (event->event != UE_DEVICE_ADD) {
        return;
    }
    const bool network = event->device.conn_type == CONNECTION_TYPE_NETWORK;
    if ((wait->mask & (network ? DEVICE_LOOKUP_NETWORK : DEVICE_LOOKUP_USBMUX)) == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(wait->mutex);
    if (wait->udid.empty()) {
        wait->udid.assign(event->device.udid,
                          strnlen(event->device.udid, sizeof(event->device.udid)));
        wait->arrived.notify_all();
    }
}

}  // namespace

tarvo_error_t tarvo_wait_for_device(enum tarvo_options options, int timeout_ms, char **udid) {
    if (!udid || timeout_ms < 0) {
        return TARVO_E_INVALID_ARG;
    }
    *udid = nullptr;
    // The daemon's Listen reports every device already attached before any
    // later one, but only once it is reachable: ask it directly first, so
    // that a daemon that is not there is an error, not a wait.
    char **present = nullptr;
    int count = 0;
    const tarvo_error_t listed = tarvo_list_udids(options, &present, &count);
    if (listed != TARVO_E_SUCCESS) {
        return listed;
    }
    if (count > 0) {
        *udid = strdup(present[0]);
        tarvo_udid_list_free(present);
        return *udid ? TARVO_E_SUCCESS : TARVO_E_UNKNOWN_ERROR;
    }
    tarvo_udid_list_free(present);

    DeviceWait wait;
    wait.mask = lookup_mask(options);
    usbmuxd_subscription_context_t context = nullptr;
    if (usbmuxd_events_subscribe(&context, on_device_event, &wait) != 0) {
        return TARVO_E_CONNREFUSED;
    }
    std::string found;
    {
        std::unique_lock<std::mutex> lock(wait.mutex);
        wait.arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return !wait.udid.empty(); });
        found = wait.udid;
    }
    usbmuxd_events_unsubscribe(context);
    if (found.empty()) {
        return TARVO_E_TIMEOUT;
    }
    *udid = strdup(found.c_str());
    return *udid ? TARVO_E_SUCCESS : TARVO_E_UNKNOWN_ERROR;
}

void tarvo_udid_list_free(char **udids) {
    if (!udids) {
        return;
    }
    for (char **name = udids; *name; ++name) {
        std::free(*name);
    }
    std::free(udids);
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
