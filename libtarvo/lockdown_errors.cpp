/*
 * Lockdown's result codes: the device's error strings mapped to codes, and a
 * short text for every code.
 */
#include <string_view>

#include "lockdown_private.h"

namespace libtarvo {
namespace {

struct DeviceError {
    std::string_view text;
    lockdownd_error_t code;
};

constexpr DeviceError kDeviceErrors[] = {
    {"MissingKey", LOCKDOWN_E_MISSING_KEY},
    {"MissingValue", LOCKDOWN_E_MISSING_VALUE},
    {"GetProhibited", LOCKDOWN_E_GET_PROHIBITED},
    {"SetProhibited", LOCKDOWN_E_SET_PROHIBITED},
    {"RemoveProhibited", LOCKDOWN_E_REMOVE_PROHIBITED},
    {"ImmutableValue", LOCKDOWN_E_IMMUTABLE_VALUE},
    {"PasswordProtected", LOCKDOWN_E_PASSWORD_PROTECTED},
    {"UserDeniedPairing", LOCKDOWN_E_USER_DENIED_PAIRING},
    {"PairingDialogResponsePending", LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING},
    {"MissingHostID", LOCKDOWN_E_MISSING_HOST_ID},
    {"InvalidHostID", LOCKDOWN_E_INVALID_HOST_ID},
    {"SessionActive", LOCKDOWN_E_SESSION_ACTIVE},
    {"SessionInactive", LOCKDOWN_E_SESSION_INACTIVE},
    {"MissingSessionID", LOCKDOWN_E_MISSING_SESSION_ID},
    {"InvalidSessionID", LOCKDOWN_E_INVALID_SESSION_ID},
    {"MissingService", LOCKDOWN_E_MISSING_SERVICE},
    {"InvalidService", LOCKDOWN_E_INVALID_SERVICE},
    {"ServiceLimit", LOCKDOWN_E_SERVICE_LIMIT},
    {"MissingPairRecord", LOCKDOWN_E_MISSING_PAIR_RECORD},
    {"SavePairRecordFailed", LOCKDOWN_E_SAVE_PAIR_RECORD_FAILED},
    {"InvalidPairRecord", LOCKDOWN_E_INVALID_PAIR_RECORD},
    {"InvalidActivationRecord", LOCKDOWN_E_INVALID_ACTIVATION_RECORD},
    {"MissingActivationRecord", LOCKDOWN_E_MISSING_ACTIVATION_RECORD},
    {"ServiceProhibited", LOCKDOWN_E_SERVICE_PROHIBITED},
    {"EscrowLocked", LOCKDOWN_E_ESCROW_LOCKED},
    {"PairingProhibitedOverThisConnection", LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION},
    {"FMiPProtected", LOCKDOWN_E_FMIP_PROTECTED},
    {"MCProtected", LOCKDOWN_E_MC_PROTECTED},
    {"McChallengeRequired", LOCKDOWN_E_MC_CHALLENGE_REQUIRED},
    {"DeviceLocked", LOCKDOWN_E_DEVICE_LOCKED},
    // The device could not read the request at all.
    {"MalformedCommand", LOCKDOWN_E_PLIST_ERROR},
};

}  // namespace

lockdownd_error_t lockdown_error_from_string(const char *error) {
    if (!error) {
        return LOCKDOWN_E_UNKNOWN_ERROR;
    }
    for (const DeviceError &e : kDeviceErrors) {
        if (e.text == error) {
            return e.code;
        }
    }
    return LOCKDOWN_E_UNKNOWN_ERROR;
}

// The inner layers' result as lockdown reports it.
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

extern "C" const char *lockdownd_strerror(lockdownd_error_t err) {
    switch (err) {
        case LOCKDOWN_E_SUCCESS:
            return "Success";
        case LOCKDOWN_E_INVALID_ARG:
            return "Invalid argument";
        case LOCKDOWN_E_INVALID_CONF:
            return "No usable pair record on this host";
        case LOCKDOWN_E_PLIST_ERROR:
            return "Malformed property list";
        case LOCKDOWN_E_PAIRING_FAILED:
            return "Pairing failed";
        case LOCKDOWN_E_SSL_ERROR:
            return "TLS error";
        case LOCKDOWN_E_DICT_ERROR:
            return "Unexpected dictionary contents";
        case LOCKDOWN_E_RECEIVE_TIMEOUT:
            return "Timed out waiting for the device";
        case LOCKDOWN_E_MUX_ERROR:
            return "Connection to the device failed";
        case LOCKDOWN_E_NO_RUNNING_SESSION:
            return "No running session";
        case LOCKDOWN_E_INVALID_RESPONSE:
            return "Invalid response from the device";
        case LOCKDOWN_E_MISSING_KEY:
            return "Missing key";
        case LOCKDOWN_E_MISSING_VALUE:
            return "Missing value";
        case LOCKDOWN_E_GET_PROHIBITED:
            return "Reading the value is prohibited";
        case LOCKDOWN_E_SET_PROHIBITED:
            return "Setting the value is prohibited";
        case LOCKDOWN_E_REMOVE_PROHIBITED:
            return "Removing the value is prohibited";
        case LOCKDOWN_E_IMMUTABLE_VALUE:
            return "Immutable value";
        case LOCKDOWN_E_PASSWORD_PROTECTED:
            return "Device is protected by a passcode";
        case LOCKDOWN_E_USER_DENIED_PAIRING:
            return "User denied pairing";
        case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
            return "Pairing dialog response pending";
        case LOCKDOWN_E_MISSING_HOST_ID:
            return "Missing host ID";
        case LOCKDOWN_E_INVALID_HOST_ID:
            return "Invalid host ID (not paired)";
        case LOCKDOWN_E_SESSION_ACTIVE:
            return "Session already active";
        case LOCKDOWN_E_SESSION_INACTIVE:
            return "Session inactive";
        case LOCKDOWN_E_MISSING_SESSION_ID:
            return "Missing session ID";
        case LOCKDOWN_E_INVALID_SESSION_ID:
            return "Invalid session ID";
        case LOCKDOWN_E_MISSING_SERVICE:
            return "Missing service";
        case LOCKDOWN_E_INVALID_SERVICE:
            return "Invalid service";
        case LOCKDOWN_E_SERVICE_LIMIT:
            return "Service limit reached";
        case LOCKDOWN_E_MISSING_PAIR_RECORD:
            return "Missing pair record";
        case LOCKDOWN_E_SAVE_PAIR_RECORD_FAILED:
            return "Saving the pair record failed";
        case LOCKDOWN_E_INVALID_PAIR_RECORD:
            return "Invalid pair record";
        case LOCKDOWN_E_INVALID_ACTIVATION_RECORD:
            return "Invalid activation record";
        case LOCKDOWN_E_MISSING_ACTIVATION_RECORD:
            return "Missing activation record";
        case LOCKDOWN_E_SERVICE_PROHIBITED:
            return "Service prohibited";
        case LOCKDOWN_E_ESCROW_LOCKED:
            return "Escrow bag locked";
        case LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION:
            return "Pairing prohibited over this connection";
        case LOCKDOWN_E_FMIP_PROTECTED:
            return "Protected by the device-finding lock";
        case LOCKDOWN_E_MC_PROTECTED:
            return "Protected by device management";
        case LOCKDOWN_E_MC_CHALLENGE_REQUIRED:
            return "Device management challenge required";
        case LOCKDOWN_E_DEVICE_LOCKED:
            return "Device is locked";
        case LOCKDOWN_E_UNKNOWN_ERROR:
            return "Unknown error";
    }
    return "Unknown error code";
}
