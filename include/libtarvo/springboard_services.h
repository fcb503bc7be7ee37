/*
 * The home-screen service ("com.apple.springboardservices"): the icons of
 * the device's applications as PNG images.
 */
#ifndef LIBTARVO_SPRINGBOARD_SERVICES_H
#define LIBTARVO_SPRINGBOARD_SERVICES_H

#include <stdint.h>

#include "libtarvo/device.h"
#include "libtarvo/lockdown.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Each service header spells out its own codes and calls, so that it reads whole. */

/* -3 also when the device did not answer in time: the connection is then
 * out of step, and every later call returns -3 at once. */
typedef enum {
    SBSERVICES_E_SUCCESS = 0,
    SBSERVICES_E_INVALID_ARG = -1,
    SBSERVICES_E_PLIST_ERROR = -2,
    SBSERVICES_E_CONN_FAILED = -3,
    SBSERVICES_E_UNKNOWN_ERROR = -256,
} sbservices_error_t;

typedef struct sbservices_client_private *sbservices_client_t;

sbservices_error_t sbservices_client_new(tarvo_t device, lockdownd_service_descriptor_t service,
                                         sbservices_client_t *client);
/* Opens a lockdown session of its own (with `label`), starts the service,
 * connects to it and closes the session again. */
sbservices_error_t sbservices_client_start_service(tarvo_t device, sbservices_client_t *client,
                                                   const char *label);
sbservices_error_t sbservices_client_free(sbservices_client_t client);

/* The icon of the application `bundle_id`: *pngdata a heap block (malloc;
 * the caller frees it with free()) of *pngsize bytes. An answer without an
 * image is -256 and leaves both outputs as they were. */
sbservices_error_t sbservices_get_icon_pngdata(sbservices_client_t client, const char *bundle_id,
                                               char **pngdata, uint64_t *pngsize);

/* A short static text for every code; unknown codes get a generic text. */
const char *sbservices_strerror(sbservices_error_t err);

#ifdef __cplusplus
}
#endif

#endif
