/*
 * The host's pair-record store and the operations on one pair record.
 *
 * Pair records and the system BUID belong to the USB multiplexer daemon and
 * are reached through libusbmuxd; the list of paired devices is read from the
 * daemon's configuration directory. All results are 0 on success and one of
 * the negative userpref_error_t values on failure.
 */
#ifndef TARVO_COMMON_USERPREF_H
#define TARVO_COMMON_USERPREF_H

#include <plist/plist.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    USERPREF_E_SUCCESS = 0,
    USERPREF_E_INVALID_ARG = -1,
    USERPREF_E_NOENT = -2,
    USERPREF_E_INVALID_CONF = -3,
    USERPREF_E_SSL_ERROR = -4,
    USERPREF_E_READ_ERROR = -5,
    USERPREF_E_UNKNOWN_ERROR = -256
} userpref_error_t;

typedef struct {
    unsigned char *data;
    uint32_t size;
} key_data_t;

/* The daemon's pair-record folder: TARVO_LOCKDOWN_DIR when set and not
 * empty, else the platform's default. Owned by the module. */
const char *userpref_get_config_dir(void);

int userpref_read_system_buid(char **system_buid);
int userpref_get_paired_udids(char ***list, unsigned int *count);
int userpref_save_pair_record(const char *udid, uint32_t device_id, plist_t pair_record);
/* A record the daemon hands back larger than 1 MiB is refused unparsed
 * (USERPREF_E_INVALID_CONF). The buffers that held it are wiped. */
int userpref_read_pair_record(const char *udid, plist_t *pair_record);
int userpref_delete_pair_record(const char *udid);

int pair_record_get_host_id(plist_t pair_record, char **host_id);
int pair_record_set_host_id(plist_t pair_record, const char *host_id);
int pair_record_generate_keys_and_certs(plist_t pair_record, key_data_t public_key,
                                        uint32_t version);
int pair_record_set_item_from_key_data(plist_t pair_record, const char *name, key_data_t *key);
int pair_record_get_item_as_key_data(plist_t pair_record, const char *name, key_data_t *key);
int pair_record_import_crt_with_name(plist_t pair_record, const char *name, key_data_t *key);
int pair_record_import_key_with_name(plist_t pair_record, const char *name, key_data_t *key);

#ifdef __cplusplus
}
#endif

#endif
