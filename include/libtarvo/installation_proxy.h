/*
 * The installation proxy ("com.apple.mobile.installation_proxy"): the
 * applications installed on the device, listed page by page.
 */
#ifndef LIBTARVO_INSTALLATION_PROXY_H
#define LIBTARVO_INSTALLATION_PROXY_H

#include <plist/plist.h>

#include "libtarvo/device.h"
#include "libtarvo/lockdown.h"

#ifdef __cplusplus
extern "C" {
#endif

/* -4: another call is using the client right now. -5: the device answered
 * with an error. -6: the device did not answer in time; the connection is
 * then out of step and every later call returns -3 at once, as after any
 * failure that cuts a reply or a listing short. */
typedef enum {
    INSTPROXY_E_SUCCESS = 0,
    INSTPROXY_E_INVALID_ARG = -1,
    INSTPROXY_E_PLIST_ERROR = -2,
    INSTPROXY_E_CONN_FAILED = -3,
    INSTPROXY_E_OP_IN_PROGRESS = -4,
    INSTPROXY_E_OP_FAILED = -5,
    INSTPROXY_E_RECEIVE_TIMEOUT = -6,
    INSTPROXY_E_UNKNOWN_ERROR = -256,
} instproxy_error_t;

typedef struct instproxy_client_private *instproxy_client_t;

instproxy_error_t instproxy_client_new(tarvo_t device, lockdownd_service_descriptor_t service,
                                       instproxy_client_t *client);
/* Opens a lockdown session of its own (with `label`), starts the service,
 * connects to it and closes the session again. */
instproxy_error_t instproxy_client_start_service(tarvo_t device, instproxy_client_t *client,
                                                 const char *label);
instproxy_error_t instproxy_client_free(instproxy_client_t client);

/* Client options: a dictionary, freed with instproxy_client_options_free. */
plist_t instproxy_client_options_new(void);
/* Pairs of key and string value, ended by a null pointer. */
void instproxy_client_options_add(plist_t client_options, ...);
/* Attribute names ended by a null pointer; replaces "ReturnAttributes". */
void instproxy_client_options_set_return_attributes(plist_t client_options, ...);
void instproxy_client_options_free(plist_t client_options);

/* Lists the applications that match client_options (null: no options) as
 * one array of dictionaries; *result (caller frees) is set only on success.
 * A listing larger than the library accepts (100,000 applications, 10,000
 * pages, 128 MiB of messages) or a page that is not what the device sends
 * is -2. */
instproxy_error_t instproxy_browse(instproxy_client_t client, plist_t client_options,
                                   plist_t *result);

/* A short static text for every code; unknown codes get a generic text. */
const char *instproxy_strerror(instproxy_error_t err);

#ifdef __cplusplus
}
#endif

#endif
