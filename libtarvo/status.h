/*
 * The result of the library's inner layers (connection, TLS, framing) and
 * how each public family turns it into its own result code.
 */
#ifndef LIBTARVO_STATUS_H
#define LIBTARVO_STATUS_H

#include "libtarvo/device.h"
#include "libtarvo/lockdown.h"

namespace libtarvo {

enum class Status {
    kOk,
    kInvalidArg,
    kClosed,          // the peer ended the stream (orderly EOF, also in the middle of a frame)
    kReset,           // the connection broke (reset, broken pipe)
    kTimeout,         // the bounded wait ran out
    kRefused,         // the multiplexer could not connect to the device port
    kTls,             // TLS handshake or record failure, or the wrong device key
    kBadCredentials,  // the pair record lacks usable keys or certificates
    kTooLarge,        // a length from the peer above the cap
    kMalformed,       // bytes that are not what the protocol allows
    kIo,              // any other system error
};

const char *status_name(Status status);
tarvo_error_t to_tarvo_error(Status status);
lockdownd_error_t to_lockdown_error(Status status);

}  // namespace libtarvo

#endif
