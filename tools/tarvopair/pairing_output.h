/*
 * What tarvopair tells the user about a pairing: the device's result codes
 * in words, and the wireless-pairing callback (PIN entry at the terminal,
 * the device's info and its errors).
 */
#ifndef TARVO_TOOLS_PAIRING_OUTPUT_H
#define TARVO_TOOLS_PAIRING_OUTPUT_H

#include <stdint.h>

#include "tarvo.h"

/* The device the messages name: a heap string or null, owned by main. */
extern char *udid;

/* One message on standard output for a lockdown result code. */
void print_error_message(lockdownd_error_t code);

/* The wireless-pairing callback handed to lockdownd_cu_pairing_create. */
void pairing_cb(lockdownd_cu_pairing_cb_type_t type, void *user_data, void *data,
                uint32_t *data_size);

#endif
