/*
 * What a device handle holds inside the library, and the one way to reach a
 * port on the device.
 */
#ifndef LIBTARVO_DEVICE_PRIVATE_H
#define LIBTARVO_DEVICE_PRIVATE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "connection.h"
#include "libtarvo/device.h"
#include "status.h"
#include "tls_credentials.h"

struct tarvo_private {
    std::string udid;
    uint32_t handle = 0;  // the multiplexer's DeviceID
    bool network = false;

    // The TLS identity of the last lockdown session, so that services started
    // in it connect with the same credentials without reading the record again.
    std::mutex credentials_mutex;
    std::shared_ptr<const libtarvo::TlsCredentials> session_credentials;
};

namespace libtarvo {

/// A plain connection to `port` on the device through the multiplexer.
Status device_connect(tarvo_t device, uint16_t port, std::unique_ptr<Connection> *out);

void device_set_session_credentials(tarvo_t device,
                                    std::shared_ptr<const TlsCredentials> credentials);
std::shared_ptr<const TlsCredentials> device_session_credentials(tarvo_t device);

}  // namespace libtarvo

#endif
