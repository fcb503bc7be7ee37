/*
 * ServiceSocket: the device's end of one connection, plain or inside TLS, with a
 * deadline on every wait. TLS can start and stop on the same socket, as
 * lockdown sessions do. The socket's blocking mode is left alone (the daemon
 * shares it): every call is non-blocking on its own and waits in poll().
 */
#ifndef TARVO_SIM_SERVICE_SOCKET_H
#define TARVO_SIM_SERVICE_SOCKET_H

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "owners.h"
#include "unique_fd.h"

namespace tarvosim {

using SteadyClock = std::chrono::steady_clock;

enum class SocketStatus {
    kOk,
    kTimeout,  // the deadline passed first
    kClosed,   // the peer closed (or the socket was shut down under us)
    kError,    // a socket or TLS failure
};

/// The device's side of a TLS connection: the certificate it presents (the
/// one the host made for it when pairing), its private key, and the root
/// certificate that the host's own certificate must chain to.
struct TlsServerIdentity {
    std::string certificate_pem;
    EVP_PKEY *private_key = nullptr;  // borrowed
    std::string client_root_pem;
};

class ServiceSocket {
  public:
    explicit ServiceSocket(UniqueFd fd);
    ~ServiceSocket();
    ServiceSocket(const ServiceSocket &) = delete;
    ServiceSocket &operator=(const ServiceSocket &) = delete;

    int fd() const { return fd_.get(); }
    bool tls_active() const { return ssl_ != nullptr; }

    /// Returns kOk once bytes (or the end of the stream) can be read.
    SocketStatus wait_readable(SteadyClock::time_point deadline);
    /// Fills all of `out`. kClosed when the stream ends first.
    SocketStatus read_exact(std::span<uint8_t> out, SteadyClock::time_point deadline);
    /// Reads and throws away whatever comes until the stream ends or the deadline.
    SocketStatus discard_until_closed(SteadyClock::time_point deadline);
    SocketStatus write_all(std::span<const uint8_t> data, SteadyClock::time_point deadline);

    /// Runs the TLS handshake as the server. False with *error on failure,
    /// after which the socket is unusable.
    bool start_tls_server(const TlsServerIdentity &identity, SteadyClock::time_point deadline,
                          std::string *error);
    /// Sends close_notify, waits (until the deadline) for the peer's, and
    /// goes back to plain bytes. False when the peer's never came.
    bool stop_tls(SteadyClock::time_point deadline);

    /// Shuts the socket down both ways, so the peer sees the end at once.
    void shut_down();

    /// From now on plain reads take whatever the socket holds (up to 64 KiB)
    /// and serve the following small reads from it: the raw file streams
    /// come as a 4-byte length, a code byte and a block per frame. Only for
    /// owners that never poll the socket themselves, since bytes already
    /// read are no longer visible to poll().
    void enable_read_ahead();

  private:
    SocketStatus wait_for(short events, SteadyClock::time_point deadline);
    SocketStatus read_some(std::span<uint8_t> out, std::size_t *got,
                           SteadyClock::time_point deadline);
    SocketStatus drive_tls(int result, SteadyClock::time_point deadline);
    SocketStatus recv_plain(std::span<uint8_t> out, std::size_t *got,
                            SteadyClock::time_point deadline);
    std::size_t take_read_ahead(std::span<uint8_t> out);

    UniqueFd fd_;
    std::vector<uint8_t> ahead_;  // empty unless read-ahead is on
    std::size_t ahead_start_ = 0;
    std::size_t ahead_end_ = 0;
    SslCtxPtr ctx_;
    SslPtr ssl_;
};

}  // namespace tarvosim

#endif
