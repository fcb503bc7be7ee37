/*
 * Connection: bounded sends and receives on a non-blocking socket, plain or
 * through OpenSSL. TLS runs over a small socket adapter of our own rather
 * than OpenSSL's socket BIO so that writes never raise SIGPIPE in the host
 * program and so that a reset socket can be told apart from a TLS failure.
 */
#include "connection.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "debug.h"

namespace libtarvo {

namespace {

Status socket_errno_status(int err) {
    switch (err) {
        case ECONNRESET:
        case EPIPE:
        case ENOTCONN:
            return Status::kReset;
        default:
            return Status::kIo;
    }
}

bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace

// The TLS layer's view of the socket. Its data pointer is the Connection, so
// that socket failures land in Connection::socket_error_.
struct SocketBio {
    static Connection *owner(BIO *bio) { return static_cast<Connection *>(BIO_get_data(bio)); }

    static int write(BIO *bio, const char *data, size_t length, size_t *written) {
        BIO_clear_retry_flags(bio);
        ssize_t n = ::send(owner(bio)->fd_, data, length, MSG_NOSIGNAL);
        if (n >= 0) {
            *written = static_cast<size_t>(n);
            return 1;
        }
        if (would_block(errno)) {
            BIO_set_retry_write(bio);
        } else {
            owner(bio)->socket_error_ = socket_errno_status(errno);
        }
        return 0;
    }

    static int read(BIO *bio, char *data, size_t length, size_t *got) {
        BIO_clear_retry_flags(bio);
        ssize_t n = ::recv(owner(bio)->fd_, data, length, 0);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return 1;
        }
        if (n == 0) {
            owner(bio)->socket_error_ = Status::kClosed;
        } else if (would_block(errno)) {
            BIO_set_retry_read(bio);
        } else {
            owner(bio)->socket_error_ = socket_errno_status(errno);
        }
        return 0;
    }

    static long control(BIO *, int command, long, void *) {
        // The TLS layer flushes after each flight; there is nothing buffered here.
        return command == BIO_CTRL_FLUSH ? 1 : 0;
    }

    static int create(BIO *bio) {
        BIO_set_init(bio, 1);
        return 1;
    }

    // Host and device sides are written apart on purpose, so that each checks the other.
    static const BIO_METHOD *method() {
        static BIO_METHOD *shared = [] {
            BIO_METHOD *m =
                BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarvo-socket");
            if (m) {
                BIO_meth_set_write_ex(m, write);
                BIO_meth_set_read_ex(m, read);
                BIO_meth_set_ctrl(m, control);
                BIO_meth_set_create(m, create);
            }
            return m;
        }();
        return shared;
    }
};

Connection::Connection(int fd) : fd_(fd) {
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    }
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
}

Connection::~Connection() {
    // No close_notify here: a destructor must not wait on the peer.
    ssl_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

Status Connection::wait_for(Want want, const Deadline &deadline) const {
    for (;;) {
        struct pollfd p = {fd_, static_cast<short>(want == Want::kRead ? POLLIN : POLLOUT), 0};
        int n = ::poll(&p, 1, deadline.remaining_ms());
        if (n > 0) {
            return Status::kOk;  // readiness, hang-up or error: the next call tells which
        }
        if (n == 0) {
            return Status::kTimeout;
        }
        if (errno != EINTR) {
            return Status::kIo;
        }
    }
}

Status Connection::wait_readable(const Deadline &deadline, int wake_fd) const {
    if (read_ahead_pos_ < read_ahead_len_ || (ssl_ && SSL_has_pending(ssl_.get()))) {
        return Status::kOk;
    }
    for (;;) {
        struct pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        int n = ::poll(p, wake_fd >= 0 ? 2 : 1, deadline.remaining_ms());
        if (n > 0) {
            return p[0].revents != 0 ? Status::kOk : Status::kTimeout;
        }
        if (n == 0) {
            return Status::kTimeout;
        }
        if (errno != EINTR) {
            return Status::kIo;
        }
    }
}

Status Connection::tls_failure(int ssl_result, Want *want) {
    switch (SSL_get_error(ssl_.get(), ssl_result)) {
        case SSL_ERROR_WANT_READ:
            *want = Want::kRead;
            return Status::kOk;
        case SSL_ERROR_WANT_WRITE:
            *want = Want::kWrite;
            return Status::kOk;
        case SSL_ERROR_ZERO_RETURN:
            return Status::kClosed;
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            return socket_error_ != Status::kOk ? socket_error_ : Status::kClosed;
        default:
            ERR_clear_error();
            return socket_error_ != Status::kOk ? socket_error_ : Status::kTls;
    }
}

Status Connection::read_some(std::span<uint8_t> out, std::size_t *got) {
    *got = 0;
    pending_ = Want::kRead;
    if (ssl_) {
        socket_error_ = Status::kOk;
        ERR_clear_error();
        int r = SSL_read_ex(ssl_.get(), out.data(), out.size(), got);
        return r == 1 ? Status::kOk : tls_failure(r, &pending_);
    }
    return read_ahead_.empty() ? read_plain(out, got) : read_through_buffer(out, got);
}

Status Connection::read_plain(std::span<uint8_t> out, std::size_t *got) {
    ssize_t n = ::recv(fd_, out.data(), out.size(), 0);
    if (n > 0) {
        *got = static_cast<std::size_t>(n);
        return Status::kOk;
    }
    if (n == 0) {
        return Status::kClosed;
    }
    return would_block(errno) ? Status::kOk : socket_errno_status(errno);
}

void Connection::enable_read_ahead(std::size_t capacity) {
    if (!ssl_ && read_ahead_.empty() && capacity > 0) {
        read_ahead_.resize(capacity);
    }
}

Status Connection::read_through_buffer(std::span<uint8_t> out, std::size_t *got) {
    if (read_ahead_pos_ == read_ahead_len_) {
        // Large reads go straight to the caller; there is nothing to save.
        if (out.size() >= read_ahead_.size()) {
            return read_plain(out, got);
        }
        std::size_t filled = 0;
        Status s = read_plain(read_ahead_, &filled);
        if (s != Status::kOk || filled == 0) {
            return s;
        }
        read_ahead_pos_ = 0;
        read_ahead_len_ = filled;
    }
    const std::size_t n = std::min(out.size(), read_ahead_len_ - read_ahead_pos_);
    std::memcpy(out.data(), read_ahead_.data() + read_ahead_pos_, n);
    read_ahead_pos_ += n;
    *got = n;
    return Status::kOk;
}

Status Connection::write_some(std::span<const uint8_t> bytes, std::size_t *sent) {
    *sent = 0;
    pending_ = Want::kWrite;
    if (ssl_) {
        socket_error_ = Status::kOk;
        ERR_clear_error();
        int r = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), sent);
        return r == 1 ? Status::kOk : tls_failure(r, &pending_);
    }
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) {
        *sent = static_cast<std::size_t>(n);
        return Status::kOk;
    }
    return would_block(errno) ? Status::kOk : socket_errno_status(errno);
}

Status Connection::send_all(std::span<const uint8_t> bytes, int timeout_ms) {
    return send_all(bytes, Deadline(timeout_ms));
}

// The send loop mirrors receive_exact; kept apart so each reads straight through.
Status Connection::send_all(std::span<const uint8_t> bytes, const Deadline &deadline) {
    if (broken_) {
        return Status::kReset;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t sent = 0;
        Status s = write_some(bytes.subspan(done), &sent);
        if (s == Status::kOk && sent == 0) {
            s = wait_for(pending_, deadline);
        }
        if (s != Status::kOk) {
            broken_ = broken_ || done > 0 || s != Status::kTimeout;
            return s;
        }
        done += sent;
    }
    return Status::kOk;
}

Status Connection::receive_exact(std::span<uint8_t> out, int timeout_ms, std::size_t *filled) {
    return receive_exact(out, Deadline(timeout_ms), filled);
}

Status Connection::receive_exact(std::span<uint8_t> out, const Deadline &deadline,
                                 std::size_t *filled) {
    std::size_t ignored = 0;
    std::size_t &done = filled ? *filled : ignored;
    done = 0;
    if (broken_) {
        return Status::kReset;
    }
    while (done < out.size()) {
        std::size_t got = 0;
        Status s = read_some(out.subspan(done), &got);
        if (s == Status::kOk && got == 0) {
            s = wait_for(pending_, deadline);
        }
        if (s != Status::kOk) {
            // A timeout before the first byte leaves the stream in step; anything else does not.
            broken_ = broken_ || done > 0 || s != Status::kTimeout;
            return s;
        }
        done += got;
    }
    return Status::kOk;
}

Status Connection::start_tls(const TlsCredentials &credentials, int timeout_ms) {
    if (broken_ || ssl_ || !read_ahead_.empty()) {
        return broken_ ? Status::kReset : Status::kInvalidArg;
    }
    const BIO_METHOD *method = SocketBio::method();
    SslPtr ssl(SSL_new(credentials.context()));
    BIO *bio = method ? BIO_new(method) : nullptr;
    if (!ssl || !bio) {
        BIO_free(bio);
        ERR_clear_error();
        return Status::kTls;
    }
    BIO_set_data(bio, this);
    SSL_set_bio(ssl.get(), bio, bio);  // the SSL object owns the adapter now
    SSL_set_connect_state(ssl.get());
    ssl_ = std::move(ssl);

    Deadline deadline(timeout_ms);
    for (;;) {
        socket_error_ = Status::kOk;
        ERR_clear_error();
        int r = SSL_do_handshake(ssl_.get());
        if (r == 1) {
            break;
        }
        Status s = tls_failure(r, &pending_);
        if (s == Status::kOk) {
            s = wait_for(pending_, deadline);
        }
        if (s != Status::kOk) {
            drop_tls();
            broken_ = true;
            return s == Status::kClosed ? Status::kTls : s;
        }
    }
    if (!credentials.is_paired_device(ssl_.get())) {
        debug_note("tls", "the device's certificate does not carry the paired device key");
        drop_tls();
        broken_ = true;
        return Status::kTls;
    }
    return Status::kOk;
}

Status Connection::stop_tls(int timeout_ms) {
    if (!ssl_) {
        return Status::kOk;
    }
    Deadline deadline(timeout_ms);
    // Our close_notify first; 0 means sent and the peer's is still to come.
    for (;;) {
        socket_error_ = Status::kOk;
        ERR_clear_error();
        int r = SSL_shutdown(ssl_.get());
        if (r == 1) {
            drop_tls();
            return Status::kOk;
        }
        if (r == 0) {
            break;
        }
        Status s = tls_failure(r, &pending_);
        if (s == Status::kOk) {
            s = wait_for(pending_, deadline);
        }
        if (s != Status::kOk) {
            drop_tls();
            broken_ = true;
            return s;
        }
    }
    // Then read until the peer's close_notify, dropping anything before it.
    uint8_t scratch[512];
    for (;;) {
        std::size_t got = 0;
        Status s = read_some(scratch, &got);
        if (s == Status::kOk && got == 0) {
            s = wait_for(pending_, deadline);
        }
        if (s == Status::kClosed || s == Status::kTimeout) {
            // kClosed here is the peer's close_notify (or its socket closing,
            // which the next plain read will report).
            drop_tls();
            return Status::kOk;
        }
        if (s != Status::kOk) {
            drop_tls();
            broken_ = true;
            return s;
        }
    }
}

void Connection::drop_tls() {
    ssl_.reset();
    ERR_clear_error();
}

}  // namespace libtarvo
