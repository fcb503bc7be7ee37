/*
 * Inside the home-screen service's client: its waits, and a way to run it
 * over any connection (the tests' scripted peers use it).
 */
#ifndef LIBTARVO_SPRINGBOARD_SERVICES_PRIVATE_H
#define LIBTARVO_SPRINGBOARD_SERVICES_PRIVATE_H

#include <memory>
#include <string>

#include "connection.h"
#include "libtarvo/springboard_services.h"

namespace libtarvo {

struct SpringboardServicesWaits {
    /// Sending a request.
    int send_ms = kDefaultSendTimeoutMs;
    /// The whole answer to a request; the device renders an icon first.
    int reply_ms = 10000;
};

sbservices_error_t sbservices_client_new_on(std::unique_ptr<Connection> connection,
                                            std::string name, const SpringboardServicesWaits &waits,
                                            sbservices_client_t *client);

}  // namespace libtarvo

#endif
