/*
 * Inside the installation-proxy client: its waits and caps, and a way to run
 * it over any connection (the tests' scripted peers use it).
 */
#ifndef LIBTARVO_INSTALLATION_PROXY_PRIVATE_H
#define LIBTARVO_INSTALLATION_PROXY_PRIVATE_H

#include <cstddef>
#include <memory>
#include <string>

#include "connection.h"
#include "libtarvo/installation_proxy.h"

namespace libtarvo {

struct InstallationProxyWaits {
    /// Sending a request.
    int send_ms = kDefaultSendTimeoutMs;
    /// Each page of a listing, counted from the request or the page before.
    /// Generous: the device gathers its applications before the first page.
    int page_ms = 30000;
};

/// What one listing may bring, far above any real device's: each page is a
/// frame of at most the lockdown cap, so without a cap on their number and
/// total size a hostile device could make the host gather without end.
struct InstallationProxyLimits {
    std::size_t max_apps = 100000;
    std::size_t max_pages = 10000;
    std::size_t max_bytes = 128u * 1024 * 1024;
};

instproxy_error_t instproxy_client_new_on(std::unique_ptr<Connection> connection, std::string name,
                                          const InstallationProxyWaits &waits,
                                          const InstallationProxyLimits &limits,
                                          instproxy_client_t *client);

}  // namespace libtarvo

#endif
