/*
 * The file conduit ("com.apple.afc"): files and folders of the device's
 * media area, in AFC's own packet format.
 */
#ifndef LIBTARVO_AFC_H
#define LIBTARVO_AFC_H

#include <stdint.h>

#include "libtarvo/device.h"
#include "libtarvo/lockdown.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The device's status codes (1 to 23) are returned as they come; 19, would
 * block, means a lock held by someone else. The library adds its own: 7 for
 * bad arguments, 2 for a reply whose header is wrong (magic, lengths, or the
 * packet number of another request), 13 for a reply above the size cap or
 * larger than asked for, 6 for a reply of the wrong kind, 32 for a reply
 * missing a field, 12 when the device did not answer in time, 30 when the
 * connection failed. When the library gives 2, 12, 13 or 30 itself the
 * connection is out of step, and every later call returns 30 at once. */
typedef enum {
    AFC_E_SUCCESS = 0,
    AFC_E_UNKNOWN_ERROR = 1,
    AFC_E_OP_HEADER_INVALID = 2,
    AFC_E_NO_RESOURCES = 3,
    AFC_E_READ_ERROR = 4,
    AFC_E_WRITE_ERROR = 5,
    AFC_E_UNKNOWN_PACKET_TYPE = 6,
    AFC_E_INVALID_ARG = 7,
    AFC_E_OBJECT_NOT_FOUND = 8,
    AFC_E_OBJECT_IS_DIR = 9,
    AFC_E_PERM_DENIED = 10,
    AFC_E_SERVICE_NOT_CONNECTED = 11,
    AFC_E_OP_TIMEOUT = 12,
    AFC_E_TOO_MUCH_DATA = 13,
    AFC_E_END_OF_DATA = 14,
    AFC_E_OP_NOT_SUPPORTED = 15,
    AFC_E_OBJECT_EXISTS = 16,
    AFC_E_OBJECT_BUSY = 17,
    AFC_E_NO_SPACE_LEFT = 18,
    AFC_E_OP_WOULD_BLOCK = 19,
    AFC_E_IO_ERROR = 20,
    AFC_E_OP_INTERRUPTED = 21,
    AFC_E_OP_IN_PROGRESS = 22,
    AFC_E_INTERNAL_ERROR = 23,
    AFC_E_MUX_ERROR = 30,
    AFC_E_NO_MEM = 31,
    AFC_E_NOT_ENOUGH_DATA = 32,
    AFC_E_DIR_NOT_EMPTY = 33,
    AFC_E_FORCE_SIGNED_TYPE = -1,
} afc_error_t;

typedef enum {
    AFC_FOPEN_RDONLY = 0x00000001,   /* r */
    AFC_FOPEN_RW = 0x00000002,       /* r+ */
    AFC_FOPEN_WRONLY = 0x00000003,   /* w */
    AFC_FOPEN_WR = 0x00000004,       /* w+: create or truncate */
    AFC_FOPEN_APPEND = 0x00000005,   /* a */
    AFC_FOPEN_RDAPPEND = 0x00000006, /* a+ */
} afc_file_mode_t;

typedef enum {
    AFC_LOCK_SH = 1 | 4, /* shared */
    AFC_LOCK_EX = 2 | 4, /* exclusive */
    AFC_LOCK_UN = 8 | 4, /* unlock */
} afc_lock_op_t;

typedef struct afc_client_private *afc_client_t;

afc_error_t afc_client_new(tarvo_t device, lockdownd_service_descriptor_t service,
                           afc_client_t *client);
afc_error_t afc_client_free(afc_client_t client);

afc_error_t afc_file_open(afc_client_t client, const char *filename, afc_file_mode_t file_mode,
                          uint64_t *handle);
afc_error_t afc_file_close(afc_client_t client, uint64_t handle);
afc_error_t afc_file_lock(afc_client_t client, uint64_t handle, afc_lock_op_t operation);
/* Reads in chunks the device accepts, into `data`, until `length`
 * bytes or the end of the file; *bytes_read 0 is the end. */
afc_error_t afc_file_read(afc_client_t client, uint64_t handle, char *data, uint32_t length,
                          uint32_t *bytes_read);
afc_error_t afc_file_write(afc_client_t client, uint64_t handle, const char *data, uint32_t length,
                           uint32_t *bytes_written);

/* file_information: name/value pairs ended by a null pointer; free with
 * afc_dictionary_free. */
afc_error_t afc_get_file_info(afc_client_t client, const char *path, char ***file_information);
afc_error_t afc_read_directory(afc_client_t client, const char *path,
                               char ***directory_information);
afc_error_t afc_dictionary_free(char **dictionary);
afc_error_t afc_make_directory(afc_client_t client, const char *path);
afc_error_t afc_remove_path(afc_client_t client, const char *path);

#ifdef __cplusplus
}
#endif

#endif
