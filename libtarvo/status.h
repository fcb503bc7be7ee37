/*
 * The result of the library's inner layers (connection, TLS, framing). Each
 * public family turns it into its own result code next to that family's
 * code, so that this header depends on none of them.
 */
#ifndef LIBTARVO_STATUS_H
#define LIBTARVO_STATUS_H

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

}  // namespace libtarvo

#endif
