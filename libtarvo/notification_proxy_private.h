/*
 * Inside the notification-proxy client: its waits, and a way to run it over
 * any connection (the tests' scripted peers use it).
 */
#ifndef LIBTARVO_NOTIFICATION_PROXY_PRIVATE_H
#define LIBTARVO_NOTIFICATION_PROXY_PRIVATE_H

#include <memory>
#include <string>

#include "connection.h"
#include "libtarvo/notification_proxy.h"

namespace libtarvo {

// Alike in shape to the backup client's waits, but each client waits for different things.
struct NotificationProxyWaits {
    /// How long the relay thread waits for a message to begin before it
    /// looks at its stop flag again. Senders and stops wake it at once, so
    /// this only bounds a wake-up that was lost.
    int relay_slice_ms = 1000;
    /// The rest of a message once it has begun.
    int completion_ms = 10000;
    /// How long free waits for the device's ProxyDeath after Shutdown.
    int proxy_death_ms = 2000;
};

np_error_t np_client_new_on(std::unique_ptr<Connection> connection, std::string name,
                            const NotificationProxyWaits &waits, np_client_t *client);

}  // namespace libtarvo

#endif
