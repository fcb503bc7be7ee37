/*
 * The lockdown service: the device's gatekeeper on port 62078. A client is
 * either plain (lockdownd_client_new) or paired and in session with TLS when
 * the device asks for it (lockdownd_client_new_with_handshake, which pairs
 * first when the host holds no pair record for the device).
 */
#ifndef LIBTARVO_LOCKDOWN_H
#define LIBTARVO_LOCKDOWN_H

#include <plist/plist.h>
#include <stdint.h>

#include "libtarvo/device.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    LOCKDOWN_E_SUCCESS = 0,
    LOCKDOWN_E_INVALID_ARG = -1,
    LOCKDOWN_E_INVALID_CONF = -2, /* no usable pair record on the host */
    LOCKDOWN_E_PLIST_ERROR = -3,
    LOCKDOWN_E_PAIRING_FAILED = -4,
    LOCKDOWN_E_SSL_ERROR = -5,
    LOCKDOWN_E_DICT_ERROR = -6,
    LOCKDOWN_E_RECEIVE_TIMEOUT = -7,
    LOCKDOWN_E_MUX_ERROR = -8,
    LOCKDOWN_E_NO_RUNNING_SESSION = -9,
    LOCKDOWN_E_INVALID_RESPONSE = -10,
    LOCKDOWN_E_MISSING_KEY = -11,
    LOCKDOWN_E_MISSING_VALUE = -12,
    LOCKDOWN_E_GET_PROHIBITED = -13,
    LOCKDOWN_E_SET_PROHIBITED = -14,
    LOCKDOWN_E_REMOVE_PROHIBITED = -15,
    LOCKDOWN_E_IMMUTABLE_VALUE = -16,
    LOCKDOWN_E_PASSWORD_PROTECTED = -17,
    LOCKDOWN_E_USER_DENIED_PAIRING = -18,
    LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING = -19,
    LOCKDOWN_E_MISSING_HOST_ID = -20,
    LOCKDOWN_E_INVALID_HOST_ID = -21,
    LOCKDOWN_E_SESSION_ACTIVE = -22,
    LOCKDOWN_E_SESSION_INACTIVE = -23,
    LOCKDOWN_E_MISSING_SESSION_ID = -24,
    LOCKDOWN_E_INVALID_SESSION_ID = -25,
    LOCKDOWN_E_MISSING_SERVICE = -26,
    LOCKDOWN_E_INVALID_SERVICE = -27,
    LOCKDOWN_E_SERVICE_LIMIT = -28,
    LOCKDOWN_E_MISSING_PAIR_RECORD = -29,
    LOCKDOWN_E_SAVE_PAIR_RECORD_FAILED = -30,
    LOCKDOWN_E_INVALID_PAIR_RECORD = -31,
    LOCKDOWN_E_INVALID_ACTIVATION_RECORD = -32,
    LOCKDOWN_E_MISSING_ACTIVATION_RECORD = -33,
    LOCKDOWN_E_SERVICE_PROHIBITED = -34,
    LOCKDOWN_E_ESCROW_LOCKED = -35,
    LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION = -36,
    LOCKDOWN_E_FMIP_PROTECTED = -37,
    LOCKDOWN_E_MC_PROTECTED = -38,
    LOCKDOWN_E_MC_CHALLENGE_REQUIRED = -39,
    LOCKDOWN_E_DEVICE_LOCKED = -40,
    LOCKDOWN_E_UNKNOWN_ERROR = -256,
} lockdownd_error_t;

typedef struct lockdownd_client_private *lockdownd_client_t;

/* What StartService answers: the port to connect to and whether that
 * connection must run TLS. A port of 0 means not started. */
struct lockdownd_service_descriptor {
    uint16_t port;
    uint8_t ssl_enabled;
    char *identifier;
};
typedef struct lockdownd_service_descriptor *lockdownd_service_descriptor_t;

/* The host's side of a pairing, for callers that bring their own. Null in
 * lockdownd_pair / lockdownd_unpair means: use (or create) the host's record. */
struct lockdownd_pair_record {
    char *device_certificate;
    char *host_certificate;
    char *root_certificate;
    char *host_id;
    char *system_buid;
};
typedef struct lockdownd_pair_record *lockdownd_pair_record_t;

lockdownd_error_t lockdownd_client_new(tarvo_t device, lockdownd_client_t *client,
                                       const char *label);
lockdownd_error_t lockdownd_client_new_with_handshake(tarvo_t device, lockdownd_client_t *client,
                                                      const char *label);
lockdownd_error_t lockdownd_client_free(lockdownd_client_t client);

/* type: heap string, e.g. "com.apple.mobile.lockdown". */
lockdownd_error_t lockdownd_query_type(lockdownd_client_t client, char **type);
/* domain null: the global domain; key null: the whole domain. */
lockdownd_error_t lockdownd_get_value(lockdownd_client_t client, const char *domain,
                                      const char *key, plist_t *value);
/* Takes ownership of value, whatever the result. */
lockdownd_error_t lockdownd_set_value(lockdownd_client_t client, const char *domain,
                                      const char *key, plist_t value);
lockdownd_error_t lockdownd_remove_value(lockdownd_client_t client, const char *domain,
                                         const char *key);
lockdownd_error_t lockdownd_get_device_name(lockdownd_client_t client, char **device_name);
lockdownd_error_t lockdownd_get_device_udid(lockdownd_client_t client, char **udid);

lockdownd_error_t lockdownd_start_service(lockdownd_client_t client, const char *identifier,
                                          lockdownd_service_descriptor_t *service);
lockdownd_error_t lockdownd_start_service_with_escrow_bag(lockdownd_client_t client,
                                                          const char *identifier,
                                                          lockdownd_service_descriptor_t *service);
lockdownd_error_t lockdownd_service_descriptor_free(lockdownd_service_descriptor_t service);

lockdownd_error_t lockdownd_pair(lockdownd_client_t client, lockdownd_pair_record_t pair_record);
lockdownd_error_t lockdownd_validate_pair(lockdownd_client_t client,
                                          lockdownd_pair_record_t pair_record);
lockdownd_error_t lockdownd_unpair(lockdownd_client_t client, lockdownd_pair_record_t pair_record);

lockdownd_error_t lockdownd_start_session(lockdownd_client_t client, const char *host_id,
                                          char **session_id, int *ssl_enabled);
lockdownd_error_t lockdownd_stop_session(lockdownd_client_t client, const char *session_id);

/* Wireless pairing with the PIN the device shows ("CU" pairing). The
 * callback runs on the calling thread, inside the two calls below. */
typedef enum {
    LOCKDOWN_CU_PAIRING_PIN_REQUESTED =
        0, /* data: char buffer; *data_size: capacity in, length out */
    LOCKDOWN_CU_PAIRING_DEVICE_INFO = 1, /* data: plist_t dictionary describing the device */
    LOCKDOWN_CU_PAIRING_ERROR = 2,       /* data: the device's error text, or null */
} lockdownd_cu_pairing_cb_type_t;

typedef void (*lockdownd_cu_pairing_cb_t)(lockdownd_cu_pairing_cb_type_t cb_type, void *user_data,
                                          void *data, uint32_t *data_size);

/* Runs the PIN-authenticated key exchange with a network device and keeps the
 * resulting secure channel on the client. host_info (may be null) is sent to
 * the device; acl is reserved and must be null. */
lockdownd_error_t lockdownd_cu_pairing_create(lockdownd_client_t client,
                                              lockdownd_cu_pairing_cb_t pairing_callback,
                                              void *cb_user_data, plist_t host_info, plist_t acl);
/* Completes the pairing over that channel and saves the pair record through
 * the multiplexer. */
lockdownd_error_t lockdownd_pair_cu(lockdownd_client_t client);

/* A short static text for every code; unknown codes get a generic text. */
const char *lockdownd_strerror(lockdownd_error_t err);

#ifdef __cplusplus
}
#endif

#endif
