/*
 * Inside the backup-service client: how long it waits for what, and a way
 * to run it over any connection (the tests' scripted peers use it).
 */
#ifndef LIBTARVO_MOBILEBACKUP2_PRIVATE_H
#define LIBTARVO_MOBILEBACKUP2_PRIVATE_H

#include <memory>
#include <string>

#include "connection.h"
#include "libtarvo/mobilebackup2.h"
#include "status.h"

namespace libtarvo {

struct MobileBackup2Waits {
    /// How long receive_message waits for a message to begin: short, so that
    /// the caller's loop looks at its stop flag about once a second.
    int message_first_byte_ms = 1000;
    /// The rest of a message once it has begun, and each piece of raw data
    /// after the first byte of a receive_raw call.
    int completion_ms = 30000;
    /// How long one receive_raw call waits for the first byte. A caller that
    /// is ready to wait longer (devices do pause while reading their
    /// storage) calls again, and can look at its stop flag in between.
    int raw_first_byte_ms = 5000;
    /// The device-link handshake right after connecting, and the answer to
    /// the protocol version exchange.
    int handshake_ms = 10000;
    /// Sending the parting message at free, which nobody waits for.
    int disconnect_ms = 1000;
};

mobilebackup2_error_t mobilebackup2_error_from_status(Status status);

/// The same as mobilebackup2_client_new on a connection already made.
mobilebackup2_error_t mobilebackup2_client_new_on(std::unique_ptr<Connection> connection,
                                                  std::string name, const MobileBackup2Waits &waits,
                                                  mobilebackup2_client_t *client);
void mobilebackup2_set_waits(mobilebackup2_client_t client, const MobileBackup2Waits &waits);

}  // namespace libtarvo

#endif
