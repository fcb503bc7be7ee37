// Sentences for the lockdown codes that a user can do something about.
#include "lockdown_hints.h"

#include <stdio.h>

#include <string>

void explain_lockdown_error(lockdownd_error_t code, const char *udid, bool network) {
    const std::string named = udid && *udid ? std::string("Device ") + udid : "The device";
    const char *device = named.c_str();
    switch (code) {
        case LOCKDOWN_E_PASSWORD_PROTECTED:
            fprintf(stderr, "%s has a passcode set: unlock it, enter the passcode and try again.\n",
                    device);
            break;
        case LOCKDOWN_E_USER_DENIED_PAIRING:
            fprintf(stderr,
                    "%s: its user denied the trust dialog. Unplug and plug it in again, then "
                    "choose Trust.\n",
                    device);
            break;
        case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
            fprintf(stderr,
                    "%s waits for its user to accept the trust dialog on its screen; then try "
                    "again.\n",
                    device);
            break;
        case LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION:
        case LOCKDOWN_E_INVALID_HOST_ID:
        case LOCKDOWN_E_INVALID_CONF:
            if (network) {
                fprintf(stderr,
                        "%s is not paired with this host over the network: pair it with "
                        "'tarvopair -w pair' first.\n",
                        device);
            } else if (code == LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION) {
                fprintf(stderr,
                        "Pairing is not possible over this connection; a network device pairs "
                        "with 'tarvopair -w pair'.\n");
            } else {
                fprintf(stderr, "%s is not paired with this host: pair it with 'tarvopair pair'.\n",
                        device);
            }
            break;
        case LOCKDOWN_E_RECEIVE_TIMEOUT:
            fprintf(stderr,
                    "%s did not answer in time: check that it is unlocked and still attached.\n",
                    device);
            break;
        case LOCKDOWN_E_MUX_ERROR:
            fprintf(stderr, "%s broke the connection: check that it is still attached.\n", device);
            break;
        default:
            break;
    }
}
