/*
 * PlistChannel: length-prefixed property-list messages over a Connection,
 * the layer that lockdown and the services started through it sit on. It
 * owns the connection; sends XML or binary; receives with a caller-given
 * timeout, checking the announced length against the cap before allocating;
 * and passes raw bytes through for services that mix frames with file data.
 * Every message is echoed to the debug output under the channel's name.
 */
#ifndef LIBTARVO_PLIST_CHANNEL_H
#define LIBTARVO_PLIST_CHANNEL_H

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "connection.h"
#include "owners.h"
#include "plist_frame.h"
#include "status.h"

namespace libtarvo {

class PlistChannel {
  public:
    PlistChannel(std::unique_ptr<Connection> connection, std::string name)
        : connection_(std::move(connection)), name_(std::move(name)) {}

    Status send(plist_t node, PlistFormat format = PlistFormat::kXml,
                int timeout_ms = kDefaultSendTimeoutMs);
    /// One whole message within `timeout_ms` (header and body together).
    /// kTimeout with nothing received leaves the channel usable; every other
    /// failure breaks it.
    Status receive(PlistPtr *node, int timeout_ms);

    Status send_raw(std::span<const uint8_t> bytes, int timeout_ms = kDefaultSendTimeoutMs);
    Status receive_raw(std::span<uint8_t> out, int timeout_ms);

    Connection &connection() { return *connection_; }
    const std::string &name() const { return name_; }

  private:
    std::unique_ptr<Connection> connection_;
    std::string name_;
};

}  // namespace libtarvo

#endif
