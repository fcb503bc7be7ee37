/*
 * Names and per-family result codes for the inner layers' Status.
 */
#include "status.h"

namespace libtarvo {

const char *status_name(Status status) {
    switch (status) {
        case Status::kOk:
            return "ok";
        case Status::kInvalidArg:
            return "invalid argument";
        case Status::kClosed:
            return "connection closed by peer";
        case Status::kReset:
            return "connection reset";
        case Status::kTimeout:
            return "timed out";
        case Status::kRefused:
            return "connection refused";
        case Status::kTls:
            return "TLS failure";
        case Status::kBadCredentials:
            return "unusable pair record credentials";
        case Status::kTooLarge:
            return "message too large";
        case Status::kMalformed:
            return "malformed message";
        case Status::kIo:
            return "I/O error";
    }
    return "unknown status";
}

tarvo_error_t to_tarvo_error(Status status) {
    switch (status) {
        case Status::kOk:
            return TARVO_E_SUCCESS;
        case Status::kInvalidArg:
            return TARVO_E_INVALID_ARG;
        case Status::kClosed:
            return TARVO_E_NOT_ENOUGH_DATA;
        case Status::kTimeout:
            return TARVO_E_TIMEOUT;
        case Status::kRefused:
            return TARVO_E_CONNREFUSED;
        case Status::kTls:
        case Status::kBadCredentials:
            return TARVO_E_SSL_ERROR;
        case Status::kTooLarge:
        case Status::kMalformed:
            return TARVO_E_BAD_MESSAGE;
        case Status::kReset:
        case Status::kIo:
            return TARVO_E_UNKNOWN_ERROR;
    }
    return TARVO_E_UNKNOWN_ERROR;
}

lockdownd_error_t to_lockdown_error(Status status) {
    switch (status) {
        case Status::kOk:
            return LOCKDOWN_E_SUCCESS;
        case Status::kInvalidArg:
            return LOCKDOWN_E_INVALID_ARG;
        case Status::kTimeout:
            return LOCKDOWN_E_RECEIVE_TIMEOUT;
        case Status::kTls:
            return LOCKDOWN_E_SSL_ERROR;
        case Status::kBadCredentials:
            return LOCKDOWN_E_INVALID_CONF;
        case Status::kTooLarge:
        case Status::kMalformed:
            return LOCKDOWN_E_PLIST_ERROR;
        case Status::kClosed:
        case Status::kReset:
        case Status::kRefused:
        case Status::kIo:
            return LOCKDOWN_E_MUX_ERROR;
    }
    return LOCKDOWN_E_UNKNOWN_ERROR;
}

}  // namespace libtarvo
