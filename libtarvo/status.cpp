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

}  // namespace libtarvo
