/*
 * Devices reached through the host's USB multiplexer daemon: lookup by UDID
 * over USB or the network, and the library's debug switch.
 */
#ifndef LIBTARVO_DEVICE_H
#define LIBTARVO_DEVICE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    TARVO_E_SUCCESS = 0,
    TARVO_E_INVALID_ARG = -1,
    TARVO_E_UNKNOWN_ERROR = -2,
    TARVO_E_NO_DEVICE = -3,
    TARVO_E_NOT_ENOUGH_DATA = -4,
    TARVO_E_CONNREFUSED = -5,
    TARVO_E_SSL_ERROR = -6,
    TARVO_E_TIMEOUT = -7,
    TARVO_E_BAD_MESSAGE = -8,
} tarvo_error_t;

/* Where tarvo_new_with_options looks for the device. */
enum tarvo_options {
    TARVO_LOOKUP_USBMUX = 1 << 1,  /* devices attached over USB (default) */
    TARVO_LOOKUP_NETWORK = 1 << 2, /* devices reached over the network */
};

typedef struct tarvo_private *tarvo_t;

/* Level 1 prints every message sent and received on standard error. */
void tarvo_set_debug_level(int level);

/* udid null: the first device found. Non-zero: no such device. */
tarvo_error_t tarvo_new_with_options(tarvo_t *device, const char *udid, enum tarvo_options options);
tarvo_error_t tarvo_new(tarvo_t *device, const char *udid);
tarvo_error_t tarvo_free(tarvo_t device);

/* The UDIDs of the devices the lookup selects, in the daemon's order, as a
 * null-terminated array in *udids (freed with tarvo_udid_list_free) and
 * their number in *count. TARVO_E_CONNREFUSED when the multiplexer daemon
 * cannot be reached. */
tarvo_error_t tarvo_list_udids(enum tarvo_options options, char ***udids, int *count);
void tarvo_udid_list_free(char **udids);

/* Waits up to timeout_ms for a device that the lookup selects to be
 * attached (one attached already counts) and gives its UDID, a heap string
 * freed by the caller. TARVO_E_TIMEOUT when none came, TARVO_E_CONNREFUSED
 * when the multiplexer daemon cannot be reached. */
tarvo_error_t tarvo_wait_for_device(enum tarvo_options options, int timeout_ms, char **udid);

/* Heap string, freed by the caller. */
tarvo_error_t tarvo_get_udid(tarvo_t device, char **udid);
/* The multiplexer's id for the device, needed to save its pair record. */
tarvo_error_t tarvo_get_handle(tarvo_t device, uint32_t *handle);

#ifdef __cplusplus
}
#endif

#endif
