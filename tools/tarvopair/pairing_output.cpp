// Result-code messages and the wireless-pairing callback of tarvopair.
#include "pairing_output.h"

#include <ctype.h>
#include <stdio.h>

#include "hidden_char.h"
#include "plist_compat.h"
#include "secrets.h"

char *udid = nullptr;

void print_error_message(lockdownd_error_t code) {
    switch (code) {
        case LOCKDOWN_E_INVALID_CONF:
        case LOCKDOWN_E_INVALID_HOST_ID:
            printf("ERROR: Device %s is not paired with this host\n", udid);
            break;
        case LOCKDOWN_E_PAIRING_FAILED:
            printf("ERROR: Pairing with device %s failed.\n", udid);
            break;
        case LOCKDOWN_E_GET_PROHIBITED:
        case LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION:
            printf("ERROR: Pairing is not possible over this connection.\n");
            printf(
                "To perform a wireless pairing use the -w command line switch. See usage or man "
                "page for details.\n");
            break;
        case LOCKDOWN_E_PASSWORD_PROTECTED:
            printf(
                "ERROR: Could not validate with device %s because a passcode is set. Please "
                "enter the passcode on the device and retry.\n",
                udid);
            break;
        case LOCKDOWN_E_USER_DENIED_PAIRING:
            printf("ERROR: Device %s said that the user denied the trust dialog.\n", udid);
            break;
        case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
            printf(
                "ERROR: Please accept the trust dialog on the screen of device %s, then attempt "
                "to pair again.\n",
                udid);
            break;
        default:
            printf("ERROR: Device %s returned unhandled error code %d\n", udid, code);
            break;
    }
}

namespace {

// At end of input the entry ends with what was typed so far: waiting for
// more would hang, and the device judges the PIN anyway. The buffer is the
// library's, wiped when it goes; the C library's input buffer is beyond
// reach, so the process stays private from the first key on.
void read_pin(char *buffer, uint32_t *data_size) {
    tarvo::keep_process_memory_private();
    // Quiet before the prompt shows, so that no key typed after it is echoed.
    QuietTerminal quiet;
    printf("Enter PIN: ");
    fflush(stdout);
    const uint32_t capacity = *data_size;
    const uint32_t max_chars = capacity > 0 ? capacity - 1 : 0;
    uint32_t count = 0;
    for (;;) {
        int c = read_hidden_char();
        if (c == EOF || c == '\n' || c == '\r' || c == 0) {
            break;
        }
        if (isprint(c)) {
            if (count < max_chars) {
                buffer[count++] = static_cast<char>(c);
            }
            fputc('*', stderr);
        } else if (c == 127 && count > 0) {
            fputs("\b \b", stderr);
            count--;
        }
    }
    if (capacity > 0) {
        buffer[count] = '\0';
    }
    *data_size = count;
    printf("\n");
}

}  // namespace

void pairing_cb(lockdownd_cu_pairing_cb_type_t type, void *user_data, void *data,
                uint32_t *data_size) {
    (void)user_data;
    switch (type) {
        case LOCKDOWN_CU_PAIRING_PIN_REQUESTED:
            if (data && data_size) {
                read_pin(static_cast<char *>(data), data_size);
            }
            break;
        case LOCKDOWN_CU_PAIRING_DEVICE_INFO:
            printf("Device info:\n");
            plist_write_to_stream(static_cast<plist_t>(data), stdout,
                                  static_cast<plist_format_t>(11),
                                  static_cast<plist_write_options_t>(0x2000008));
            break;
        case LOCKDOWN_CU_PAIRING_ERROR:
            printf("ERROR: %s\n", data ? static_cast<const char *>(data) : "(unknown)");
            break;
        default:
            break;
    }
}
