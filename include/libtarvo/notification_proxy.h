/*
 * The notification proxy ("com.apple.mobile.notification_proxy"): post
 * notifications to the device and observe the ones it relays. The callback
 * runs on a library thread while the caller's thread goes on.
 */
#ifndef LIBTARVO_NOTIFICATION_PROXY_H
#define LIBTARVO_NOTIFICATION_PROXY_H

#include "libtarvo/device.h"
#include "libtarvo/lockdown.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    NP_E_SUCCESS = 0,
    NP_E_INVALID_ARG = -1,
    NP_E_PLIST_ERROR = -2,
    NP_E_CONN_FAILED = -3,
    NP_E_UNKNOWN_ERROR = -256,
} np_error_t;

typedef struct np_client_private *np_client_t;
typedef void (*np_notify_cb_t)(const char *notification, void *user_data);

np_error_t np_client_new(tarvo_t device, lockdownd_service_descriptor_t service,
                         np_client_t *client);
/* Stops the relay thread, sends Shutdown and waits (at most 2 s) for the
 * device's ProxyDeath. */
np_error_t np_client_free(np_client_t client);
np_error_t np_post_notification(np_client_t client, const char *notification);
np_error_t np_observe_notification(np_client_t client, const char *notification);
/* notification_spec: names ended by a null pointer. */
np_error_t np_observe_notifications(np_client_t client, const char **notification_spec);
/* Starts the relay thread, which calls notify_cb with each relayed name.
 * A null callback stops the thread and joins it (within a fraction of a
 * second unless a callback is running). Neither this nor np_client_free may
 * be called from inside the callback (-1). */
np_error_t np_set_notify_callback(np_client_t client, np_notify_cb_t notify_cb, void *user_data);

#ifdef __cplusplus
}
#endif

#endif
