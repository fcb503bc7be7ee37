/*
 * The diagnostics relay ("com.apple.mobile.diagnostics_relay"): values the
 * device's gestalt answers, queried by key.
 */
#ifndef LIBTARVO_DIAGNOSTICS_RELAY_H
#define LIBTARVO_DIAGNOSTICS_RELAY_H

#include <plist/plist.h>

#include "libtarvo/device.h"
#include "libtarvo/lockdown.h"

#ifdef __cplusplus
extern "C" {
#endif

/* -3 also when the device did not answer in time: the connection is then
 * out of step, and every later call returns -3 at once. */
typedef enum {
    DIAGNOSTICS_RELAY_E_SUCCESS = 0,
    DIAGNOSTICS_RELAY_E_INVALID_ARG = -1,
    DIAGNOSTICS_RELAY_E_PLIST_ERROR = -2,
    DIAGNOSTICS_RELAY_E_MUX_ERROR = -3,
    DIAGNOSTICS_RELAY_E_UNKNOWN_REQUEST = -4,
    DIAGNOSTICS_RELAY_E_UNKNOWN_ERROR = -256,
} diagnostics_relay_error_t;

typedef struct diagnostics_relay_client_private *diagnostics_relay_client_t;

diagnostics_relay_error_t diagnostics_relay_client_new(tarvo_t device,
                                                       lockdownd_service_descriptor_t service,
                                                       diagnostics_relay_client_t *client);
/* Opens a lockdown session of its own (with `label`), starts the service,
 * connects to it and closes the session again. */
diagnostics_relay_error_t diagnostics_relay_client_start_service(tarvo_t device,
                                                                 diagnostics_relay_client_t *client,
                                                                 const char *label);
/* Says goodbye unless the caller already did (waiting at most 2 s for the
 * answer), then closes. */
diagnostics_relay_error_t diagnostics_relay_client_free(diagnostics_relay_client_t client);
/* Ends the device's side of the session; -256 when it does not agree. */
diagnostics_relay_error_t diagnostics_relay_goodbye(diagnostics_relay_client_t client);

/* keys: an array of strings. *result (caller frees; set only on success) is
 * the answer's "Diagnostics" dictionary, so a value lives at
 * "MobileGestalt" -> key. An inner status other than success (newer devices
 * say "MobileGestaltDeprecated") is left there for the caller to read. -4
 * when the device does not know the request, -256 for any other refusal. */
diagnostics_relay_error_t diagnostics_relay_query_mobilegestalt(diagnostics_relay_client_t client,
                                                                plist_t keys, plist_t *result);

/* A short static text for every code; unknown codes get a generic text. */
const char *diagnostics_relay_strerror(diagnostics_relay_error_t err);

#ifdef __cplusplus
}
#endif

#endif
