/*
 * Plain and TLS byte transport for simulated devices. TLS goes through a
 * small BIO of our own that uses send/recv with per-call flags, so neither
 * the shared socket's blocking mode nor the process's SIGPIPE disposition
 * is touched.
 */
#include "service_socket.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "device_keys.h"

namespace tarvosim {
namespace {

int bio_fd(BIO *bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

int socket_bio_write(BIO *bio, const char *data, int length) {
    BIO_clear_retry_flags(bio);
    const ssize_t sent =
        ::send(bio_fd(bio), data, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
        if (would_block(errno)) {
            BIO_set_retry_write(bio);
        }
        return -1;
    }
    return static_cast<int>(sent);
}

int socket_bio_read(BIO *bio, char *data, int length) {
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(bio_fd(bio), data, static_cast<size_t>(length), MSG_DONTWAIT);
    if (got < 0) {
        if (would_block(errno)) {
            BIO_set_retry_read(bio);
        }
        return -1;
    }
    return static_cast<int>(got);
}

long socket_bio_ctrl(BIO *, int command, long, void *) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int socket_bio_create(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD *socket_bio_method() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarvosim socket");
        if (m) {
            BIO_meth_set_write(m, socket_bio_write);
            BIO_meth_set_read(m, socket_bio_read);
            BIO_meth_set_ctrl(m, socket_bio_ctrl);
            BIO_meth_set_create(m, socket_bio_create);
        }
        return m;
    }();
    return method;
}

// The host must prove it holds the pairing: its certificate has to be
// signed by the root certificate it gave the device when pairing. Pair
// records' certificates carry empty names, so a name-based chain search
// would take the host's certificate for a self-signed one; the signature is
// checked directly instead.
int verify_host_certificate(int, X509_STORE_CTX *store) {
    SSL *ssl =
        static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    X509 *root = ssl ? static_cast<X509 *>(SSL_get_app_data(ssl)) : nullptr;
    X509 *presented = X509_STORE_CTX_get0_cert(store);
    if (!root || !presented || !certificate_signed_by(presented, root)) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_SIGNATURE_FAILURE);
        return 0;
    }
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
}

int remaining_ms(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    if (left <= 0) {
        return 0;
    }
    return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                  : static_cast<int>(left);
}

int clamp_to_int(std::size_t size) {
    return size > static_cast<std::size_t>(std::numeric_limits<int>::max())
               ? std::numeric_limits<int>::max()
               : static_cast<int>(size);
}

}  // namespace

ServiceSocket::ServiceSocket(UniqueFd fd) : fd_(std::move(fd)) {
    const int size = 4 * 1024 * 1024;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

ServiceSocket::~ServiceSocket() = default;

void ServiceSocket::shut_down() {
    if (fd_) {
        ::shutdown(fd_.get(), SHUT_RDWR);
    }
}

SocketStatus ServiceSocket::wait_for(short events, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd entry{fd_.get(), events, 0};
        const int ready = ::poll(&entry, 1, remaining_ms(deadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return SocketStatus::kError;
        }
        if (ready == 0) {
            return SocketStatus::kTimeout;
        }
        // Hang-ups and errors count as ready: the next read or write reports them.
        return (entry.revents & POLLNVAL) ? SocketStatus::kError : SocketStatus::kOk;
    }
}

SocketStatus ServiceSocket::drive_tls(int result, SteadyClock::time_point deadline) {
    switch (SSL_get_error(ssl_.get(), result)) {
        case SSL_ERROR_WANT_READ:
            return wait_for(POLLIN, deadline);
        case SSL_ERROR_WANT_WRITE:
            return wait_for(POLLOUT, deadline);
        case SSL_ERROR_ZERO_RETURN:
            return SocketStatus::kClosed;
        case SSL_ERROR_SYSCALL:
            // An end of stream without close_notify: the peer just went away.
            return ERR_peek_error() == 0 ? SocketStatus::kClosed : SocketStatus::kError;
        default:
            return SocketStatus::kError;
    }
}

SocketStatus ServiceSocket::wait_readable(SteadyClock::time_point deadline) {
    if (ahead_start_ != ahead_end_ || (ssl_ && SSL_pending(ssl_.get()) > 0)) {
        return SocketStatus::kOk;
    }
    return wait_for(POLLIN, deadline);
}

SocketStatus ServiceSocket::read_some(std::span<uint8_t> out, std::size_t *got,
                                      SteadyClock::time_point deadline) {
    if (ssl_) {
        for (;;) {
            const int result = SSL_read_ex(ssl_.get(), out.data(), out.size(), got);
            if (result == 1) {
                return SocketStatus::kOk;
            }
            SocketStatus status = drive_tls(result, deadline);
            if (status != SocketStatus::kOk) {
                ERR_clear_error();
                return status;
            }
        }
    }
    if (ahead_.empty()) {
        return recv_plain(out, got, deadline);
    }
    if (ahead_start_ == ahead_end_) {
        // Large reads go straight into the caller's buffer; small ones
        // refill the read-ahead with whatever the socket holds.
        if (out.size() >= ahead_.size()) {
            return recv_plain(out, got, deadline);
        }
        std::size_t filled = 0;
        if (SocketStatus status = recv_plain(ahead_, &filled, deadline);
            status != SocketStatus::kOk) {
            return status;
        }
        ahead_start_ = 0;
        ahead_end_ = filled;
    }
    *got = take_read_ahead(out);
    return SocketStatus::kOk;
}

std::size_t ServiceSocket::take_read_ahead(std::span<uint8_t> out) {
    const std::size_t count = std::min(out.size(), ahead_end_ - ahead_start_);
    std::copy_n(ahead_.begin() + static_cast<std::ptrdiff_t>(ahead_start_), count, out.begin());
    ahead_start_ += count;
    return count;
}

SocketStatus ServiceSocket::recv_plain(std::span<uint8_t> out, std::size_t *got,
                                       SteadyClock::time_point deadline) {
    for (;;) {
        const ssize_t n = ::recv(fd_.get(), out.data(), out.size(), MSG_DONTWAIT);
        if (n > 0) {
            *got = static_cast<std::size_t>(n);
            return SocketStatus::kOk;
        }
        if (n == 0) {
            return SocketStatus::kClosed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (!would_block(errno)) {
            return errno == ECONNRESET ? SocketStatus::kClosed : SocketStatus::kError;
        }
        SocketStatus status = wait_for(POLLIN, deadline);
        if (status != SocketStatus::kOk) {
            return status;
        }
    }
}

void ServiceSocket::enable_read_ahead() {
    if (ahead_.empty()) {
        ahead_.resize(256 * 1024);
    }
}

SocketStatus ServiceSocket::read_exact(std::span<uint8_t> out, SteadyClock::time_point deadline) {
    while (!out.empty()) {
        std::size_t got = 0;
        SocketStatus status = read_some(out, &got, deadline);
        if (status != SocketStatus::kOk) {
            return status;
        }
        out = out.subspan(got);
    }
    return SocketStatus::kOk;
}

SocketStatus ServiceSocket::discard_until_closed(SteadyClock::time_point deadline) {
    uint8_t scratch[4096];
    for (;;) {
        std::size_t got = 0;
        SocketStatus status = read_some(scratch, &got, deadline);
        if (status != SocketStatus::kOk) {
            return status;
        }
    }
}

SocketStatus ServiceSocket::write_all(std::span<const uint8_t> data,
                                      SteadyClock::time_point deadline) {
    while (!data.empty()) {
        if (ssl_) {
            std::size_t sent = 0;
            const int result = SSL_write_ex(ssl_.get(), data.data(), data.size(), &sent);
            if (result == 1) {
                data = data.subspan(sent);
                continue;
            }
            SocketStatus status = drive_tls(result, deadline);
            if (status != SocketStatus::kOk) {
                ERR_clear_error();
                return status;
            }
            continue;
        }
        const ssize_t n =
            ::send(fd_.get(), data.data(), static_cast<size_t>(clamp_to_int(data.size())),
                   MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            data = data.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && !would_block(errno)) {
            return (errno == EPIPE || errno == ECONNRESET) ? SocketStatus::kClosed
                                                           : SocketStatus::kError;
        }
        SocketStatus status = wait_for(POLLOUT, deadline);
        if (status != SocketStatus::kOk) {
            return status;
        }
    }
    return SocketStatus::kOk;
}

bool ServiceSocket::start_tls_server(const TlsServerIdentity &identity,
                                     SteadyClock::time_point deadline, std::string *error) {
    if (ahead_start_ != ahead_end_) {
        // The handshake reads the socket itself; bytes we already took would be lost.
        *error = "the host sent bytes before the TLS handshake";
        return false;
    }
    ERR_clear_error();
    SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
        *error = "cannot create a TLS context: " + take_openssl_errors();
        return false;
    }
    // Level 0: hosts pairing with old devices sign with SHA-1. The device
    // offers TLS 1.2 or newer. No tickets: the socket goes back to plain
    // framing after the session, and unread tickets would be in the way.
    SSL_CTX_set_security_level(ctx.get(), 0);
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_num_tickets(ctx.get(), 0);
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);

    X509Ptr certificate = certificate_from_pem(as_bytes(identity.certificate_pem));
    X509Ptr root = certificate_from_pem(as_bytes(identity.client_root_pem));
    if (!certificate || !root) {
        *error = "the pairing's certificates are not PEM";
        return false;
    }
    if (SSL_CTX_use_certificate(ctx.get(), certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx.get(), identity.private_key) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1) {
        *error = "the device certificate does not fit the device key: " + take_openssl_errors();
        return false;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                       verify_host_certificate);

    SslPtr ssl(SSL_new(ctx.get()));
    BIO *bio = socket_bio_method() ? BIO_new(socket_bio_method()) : nullptr;
    if (!ssl || !bio) {
        BIO_free(bio);
        *error = "cannot create a TLS connection: " + take_openssl_errors();
        return false;
    }
    BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd_.get())));
    SSL_set_bio(ssl.get(), bio, bio);
    SSL_set_app_data(ssl.get(), root.get());  // read by verify_host_certificate
    ctx_ = std::move(ctx);
    ssl_ = std::move(ssl);
    for (;;) {
        const int result = SSL_accept(ssl_.get());
        if (result == 1) {
            SSL_set_app_data(ssl_.get(), nullptr);  // `root` goes with this call
            return true;
        }
        SocketStatus status = drive_tls(result, deadline);
        if (status != SocketStatus::kOk) {
            const long verify = SSL_get_verify_result(ssl_.get());
            std::string detail = take_openssl_errors();
            if (verify != X509_V_OK) {
                detail += std::string(detail.empty() ? "" : "; ") +
                          "host certificate: " + X509_verify_cert_error_string(verify);
            }
            *error = status == SocketStatus::kTimeout ? "TLS handshake timed out"
                                                      : "TLS handshake failed: " + detail;
            ssl_.reset();
            ctx_.reset();
            return false;
        }
    }
}

bool ServiceSocket::stop_tls(SteadyClock::time_point deadline) {
    if (!ssl_) {
        return true;
    }
    bool ok = false;
    int result = SSL_shutdown(ssl_.get());
    while (result < 0 && drive_tls(result, deadline) == SocketStatus::kOk) {
        result = SSL_shutdown(ssl_.get());
    }
    if (result == 1) {
        ok = true;  // the peer's close_notify had already arrived
    } else if (result == 0) {
        // Ours is sent; read until the peer's arrives, dropping stray data.
        uint8_t scratch[1024];
        for (;;) {
            std::size_t got = 0;
            const int read = SSL_read_ex(ssl_.get(), scratch, sizeof scratch, &got);
            if (read == 1) {
                continue;
            }
            if (SSL_get_error(ssl_.get(), read) == SSL_ERROR_ZERO_RETURN) {
                ok = true;
                break;
            }
            if (drive_tls(read, deadline) != SocketStatus::kOk) {
                break;
            }
        }
    }
    ERR_clear_error();
    ssl_.reset();
    ctx_.reset();
    return ok;
}

}  // namespace tarvosim
