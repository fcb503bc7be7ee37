/*
 * Connection: one byte stream to a device port through the multiplexer,
 * owning the socket. Every send and receive waits at most until its deadline
 * and reports the peer closing, stalling and resetting as distinct results.
 * TLS can be started and stopped on the same stream (lockdown switches to TLS
 * inside a session and back to plain framing after it).
 */
#ifndef LIBTARVO_CONNECTION_H
#define LIBTARVO_CONNECTION_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "deadline.h"
#include "owners.h"
#include "status.h"
#include "tls_credentials.h"

namespace libtarvo {

inline constexpr int kDefaultSendTimeoutMs = 10000;
inline constexpr int kTlsHandshakeTimeoutMs = 10000;
/// How long a TLS stop waits for the peer's close_notify.
inline constexpr int kTlsShutdownTimeoutMs = 1000;

class Connection {
  public:
    /// Takes ownership of a connected stream socket.
    explicit Connection(int fd);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    Status send_all(std::span<const uint8_t> bytes, int timeout_ms = kDefaultSendTimeoutMs);
    Status send_all(std::span<const uint8_t> bytes, const Deadline &deadline);
    /// Fills `out` completely or fails. *filled (when given) counts the
    /// bytes that arrived, also those before a failure.
    Status receive_exact(std::span<uint8_t> out, int timeout_ms, std::size_t *filled = nullptr);
    Status receive_exact(std::span<uint8_t> out, const Deadline &deadline,
                         std::size_t *filled = nullptr);

    /// Waits until a read can make progress (bytes buffered here or in the
    /// TLS layer, or the socket readable, closed or failed): kOk. kTimeout
    /// when the deadline passes first, or as soon as `wake_fd` (when >= 0)
    /// becomes readable, so that another thread can end the wait at once.
    /// Nothing is read: the stream stays in step either way.
    Status wait_readable(const Deadline &deadline, int wake_fd = -1) const;

    /// Runs the client handshake and checks that the peer is the paired
    /// device. On failure TLS is off and the stream should be dropped.
    Status start_tls(const TlsCredentials &credentials, int timeout_ms = kTlsHandshakeTimeoutMs);
    /// Sends close_notify and waits (bounded) for the peer's, then continues
    /// in plain. A peer that never answers is tolerated: it has stopped TLS
    /// too, or the stream will fail on the next read anyway.
    Status stop_tls(int timeout_ms = kTlsShutdownTimeoutMs);
    bool tls_active() const { return ssl_ != nullptr; }

    /// Plain streams only: reads take whatever the socket holds (up to
    /// `capacity`) and serve later reads from it, so a stream of many small
    /// frames costs one system call per buffer instead of two per frame. A
    /// stream with read-ahead never starts TLS (bytes meant for the TLS
    /// layer could sit in the buffer).
    void enable_read_ahead(std::size_t capacity);

    /// Set after an error that leaves the stream's framing unknown.
    bool broken() const { return broken_; }
    void mark_broken() { broken_ = true; }

  private:
    enum class Want { kRead, kWrite };

    Status read_some(std::span<uint8_t> out, std::size_t *got);
    Status read_plain(std::span<uint8_t> out, std::size_t *got);
    Status read_through_buffer(std::span<uint8_t> out, std::size_t *got);
    Status write_some(std::span<const uint8_t> bytes, std::size_t *sent);
    Status tls_failure(int ssl_result, Want *want);
    Status wait_for(Want want, const Deadline &deadline) const;
    void drop_tls();

    int fd_;
    SslPtr ssl_;
    // Filled by the TLS socket adapter when the socket itself failed.
    Status socket_error_ = Status::kOk;
    Want pending_ = Want::kRead;
    bool broken_ = false;
    std::vector<uint8_t> read_ahead_;
    std::size_t read_ahead_pos_ = 0;
    std::size_t read_ahead_len_ = 0;

    friend struct SocketBio;
};

}  // namespace libtarvo

#endif
