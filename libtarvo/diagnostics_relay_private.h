/*
 * Inside the diagnostics relay's client: its waits, and a way to run it over
 * any connection (the tests' scripted peers use it).
 */
#ifndef LIBTARVO_DIAGNOSTICS_RELAY_PRIVATE_H
#define LIBTARVO_DIAGNOSTICS_RELAY_PRIVATE_H

#include <memory>
#include <string>

#include "connection.h"
#include "libtarvo/diagnostics_relay.h"

namespace libtarvo {

struct DiagnosticsRelayWaits {
    /// Sending a request.
    int send_ms = kDefaultSendTimeoutMs;
    /// The whole answer to a request.
    int reply_ms = 10000;
    /// The answer to the goodbye that free sends, which only lets the
    /// device finish cleanly.
    int parting_ms = 2000;
};

diagnostics_relay_error_t diagnostics_relay_client_new_on(std::unique_ptr<Connection> connection,
                                                          std::string name,
                                                          const DiagnosticsRelayWaits &waits,
                                                          diagnostics_relay_client_t *client);

}  // namespace libtarvo

#endif
