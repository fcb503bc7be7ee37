/*
 * Inside the file-conduit client: its reply wait, and a way to run it over
 * any connection (the tests' scripted peers use it).
 */
#ifndef LIBTARVO_AFC_PRIVATE_H
#define LIBTARVO_AFC_PRIVATE_H

#include <cstddef>
#include <memory>
#include <string>

#include "connection.h"
#include "libtarvo/afc.h"

namespace libtarvo {

/// Reads and writes go to the device in pieces of this size at most: well
/// under the packet cap and small enough for the device's buffers.
inline constexpr std::size_t kAfcIoChunk = 64 * 1024;
/// Listings with more entries than this are refused (each costs the caller
/// an allocation).
inline constexpr std::size_t kAfcMaxListEntries = 1024 * 1024;
/// How long one request waits for its whole reply. Generous: removing a
/// large folder takes the device a while.
inline constexpr int kAfcDefaultReplyMs = 30000;

afc_error_t afc_client_new_on(std::unique_ptr<Connection> connection, std::string name,
                              int reply_ms, afc_client_t *client);

}  // namespace libtarvo

#endif
