// The device's error strings and the texts for lockdown result codes.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "libtarvo/lockdown.h"
#include "libtarvo/lockdown_private.h"

namespace libtarvo {
namespace {

TEST(LockdownErrors, DeviceStringsMapToTheirCodes) {
    struct Case {
        const char *text;
        lockdownd_error_t code;
    };
    const Case cases[] = {
        {"InvalidHostID", LOCKDOWN_E_INVALID_HOST_ID},
        {"SessionInactive", LOCKDOWN_E_SESSION_INACTIVE},
        {"GetProhibited", LOCKDOWN_E_GET_PROHIBITED},
        {"SetProhibited", LOCKDOWN_E_SET_PROHIBITED},
        {"PasswordProtected", LOCKDOWN_E_PASSWORD_PROTECTED},
        {"UserDeniedPairing", LOCKDOWN_E_USER_DENIED_PAIRING},
        {"PairingDialogResponsePending", LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING},
        {"PairingProhibitedOverThisConnection", LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION},
        {"InvalidService", LOCKDOWN_E_INVALID_SERVICE},
        {"ServiceProhibited", LOCKDOWN_E_SERVICE_PROHIBITED},
        {"MissingValue", LOCKDOWN_E_MISSING_VALUE},
        {"MissingKey", LOCKDOWN_E_MISSING_KEY},
        {"InvalidPairRecord", LOCKDOWN_E_INVALID_PAIR_RECORD},
        {"MissingHostID", LOCKDOWN_E_MISSING_HOST_ID},
        {"InvalidSessionID", LOCKDOWN_E_INVALID_SESSION_ID},
        {"MissingSessionID", LOCKDOWN_E_MISSING_SESSION_ID},
        {"SessionActive", LOCKDOWN_E_SESSION_ACTIVE},
        {"DeviceLocked", LOCKDOWN_E_DEVICE_LOCKED},
        {"EscrowLocked", LOCKDOWN_E_ESCROW_LOCKED},
        {"McChallengeRequired", LOCKDOWN_E_MC_CHALLENGE_REQUIRED},
        {"MalformedCommand", LOCKDOWN_E_PLIST_ERROR},
        // Unknown, and near misses: matching is exact.
        {"InternalError", LOCKDOWN_E_UNKNOWN_ERROR},
        {"invalidhostid", LOCKDOWN_E_UNKNOWN_ERROR},
        {"InvalidHostID ", LOCKDOWN_E_UNKNOWN_ERROR},
        {"", LOCKDOWN_E_UNKNOWN_ERROR},
        {nullptr, LOCKDOWN_E_UNKNOWN_ERROR},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(lockdown_error_from_string(c.text), c.code) << (c.text ? c.text : "(null)");
    }
}

TEST(LockdownErrors, EveryCodeHasItsOwnTextAndUnknownCodesAGenericOne) {
    const std::string generic = lockdownd_strerror(static_cast<lockdownd_error_t>(-12345));
    EXPECT_FALSE(generic.empty());
    EXPECT_EQ(generic, lockdownd_strerror(static_cast<lockdownd_error_t>(1)));
    std::set<std::string> seen;
    for (int code = 0; code >= -40; --code) {
        std::string text = lockdownd_strerror(static_cast<lockdownd_error_t>(code));
        EXPECT_NE(text, generic) << code;
        EXPECT_TRUE(seen.insert(text).second) << "duplicate text for " << code << ": " << text;
    }
    EXPECT_NE(std::string(lockdownd_strerror(LOCKDOWN_E_UNKNOWN_ERROR)), generic);
}

}  // namespace
}  // namespace libtarvo
