/*
 * The backup service ("com.apple.mobilebackup2"): device-link messages
 * (arrays whose element 0 names the message) over the length-prefixed
 * binary property-list framing, plus raw bytes for file contents.
 */
#ifndef LIBTARVO_MOBILEBACKUP2_H
#define LIBTARVO_MOBILEBACKUP2_H

#include <plist/plist.h>
#include <stdint.h>

#include "libtarvo/device.h"
#include "libtarvo/lockdown.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    MOBILEBACKUP2_E_SUCCESS = 0,
    MOBILEBACKUP2_E_INVALID_ARG = -1,
    MOBILEBACKUP2_E_PLIST_ERROR = -2,
    MOBILEBACKUP2_E_MUX_ERROR = -3,
    MOBILEBACKUP2_E_SSL_ERROR = -4,
    MOBILEBACKUP2_E_RECEIVE_TIMEOUT = -5, /* no message within the wait: not a failure */
    MOBILEBACKUP2_E_BAD_VERSION = -6,     /* device-link or protocol version refused */
    MOBILEBACKUP2_E_REPLY_NOT_OK = -7,    /* the device refused the request */
    MOBILEBACKUP2_E_NO_COMMON_VERSION = -8,
    MOBILEBACKUP2_E_UNKNOWN_ERROR = -256,
} mobilebackup2_error_t;

typedef struct mobilebackup2_client_private *mobilebackup2_client_t;

/* Connects and runs the device-link version handshake. */
mobilebackup2_error_t mobilebackup2_client_new(tarvo_t device,
                                               lockdownd_service_descriptor_t service,
                                               mobilebackup2_client_t *client);
mobilebackup2_error_t mobilebackup2_client_free(mobilebackup2_client_t client);

/* A DLMessageProcessMessage whose dictionary is `options` with
 * "MessageName" = message (message may be null when options has it). */
mobilebackup2_error_t mobilebackup2_send_message(mobilebackup2_client_t client, const char *message,
                                                 plist_t options);
/* Waits about a second for a message to begin (-5 when none did; the
 * connection stays usable), then up to 30 s for the rest of it: a message
 * is never returned half-read. message: the whole array (caller frees);
 * dlmessage: heap copy of element 0 (caller frees), may be null. A message
 * that is not an array led by a string is -2 and is skipped. */
mobilebackup2_error_t mobilebackup2_receive_message(mobilebackup2_client_t client, plist_t *message,
                                                    char **dlmessage);
mobilebackup2_error_t mobilebackup2_send_raw(mobilebackup2_client_t client, const char *data,
                                             uint32_t length, uint32_t *bytes);
/* Blocks (bounded) until `length` bytes or the stream ends; *bytes says how
 * many arrived. Nothing within about 5 s: -5 with *bytes 0. Once bytes flow,
 * a stall of 30 s or the end of the stream is -3, *bytes counting the bytes
 * known to be in `data`. */
mobilebackup2_error_t mobilebackup2_receive_raw(mobilebackup2_client_t client, char *data,
                                                uint32_t length, uint32_t *bytes);
/* -8 when the device finds no common version (or picks one not offered),
 * -2 when its answer is malformed. */
mobilebackup2_error_t mobilebackup2_version_exchange(mobilebackup2_client_t client,
                                                     double local_versions[], char count,
                                                     double *remote_version);
/* source_identifier null: the target's own. The device answers only
 * through the messages that follow, so a refusal arrives as the final
 * Response that receive_message delivers; this call fails only on bad
 * arguments and a failed send. */
mobilebackup2_error_t mobilebackup2_send_request(mobilebackup2_client_t client, const char *request,
                                                 const char *target_identifier,
                                                 const char *source_identifier, plist_t options);
/* status1 null: the empty parameter; status2 (copied, the caller keeps it)
 * null: an empty dictionary. */
mobilebackup2_error_t mobilebackup2_send_status_response(mobilebackup2_client_t client,
                                                         int status_code, const char *status1,
                                                         plist_t status2);

#ifdef __cplusplus
}
#endif

#endif
