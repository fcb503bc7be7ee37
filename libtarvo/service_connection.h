/*
 * Connecting to a service that lockdown started: a new multiplexer connection
 * to the port in the service descriptor, with TLS when the descriptor asks
 * for it, using the same credentials as the lockdown session.
 */
#ifndef LIBTARVO_SERVICE_CONNECTION_H
#define LIBTARVO_SERVICE_CONNECTION_H

#include <functional>
#include <memory>
#include <string>

#include "libtarvo/device.h"
#include "libtarvo/lockdown.h"
#include "plist_channel.h"
#include "status.h"

namespace libtarvo {

/// kInvalidArg for a missing device or descriptor, or a port of 0;
/// kBadCredentials when TLS is asked for and the host has no usable record.
Status service_connect(tarvo_t device, lockdownd_service_descriptor_t service,
                       std::unique_ptr<Connection> *out);

/// The same, wrapped in a channel named after the service (for debug output).
Status service_open_channel(tarvo_t device, lockdownd_service_descriptor_t service,
                            const std::string &fallback_name, std::unique_ptr<PlistChannel> *out);

/// Opens a lockdown session labelled `label`, starts `service_name` and
/// hands its descriptor to `connect` (which makes the family's client),
/// then releases descriptor and session. False when no session or no
/// service could be had; the reason goes to the debug output.
bool with_started_service(tarvo_t device, const char *service_name, const char *label,
                          const std::function<void(lockdownd_service_descriptor_t)> &connect);

/// The credentials from the host's pair record for this device.
Status load_pair_record_credentials(tarvo_t device, std::shared_ptr<const TlsCredentials> *out);

}  // namespace libtarvo

#endif
