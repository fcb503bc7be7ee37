// A raw lockdown client for the simulator's tests: connects to a simulated
// device's port 62078 through libusbmuxd and speaks the framing itself, so
// that the tests see exactly what the device sends, bad bytes included.
// TLS sessions run on OpenSSL directly with the host's pair-record
// certificates. Every wait is bounded by kClientWait.
#ifndef TARVO_TESTS_SIM_LOCKDOWN_TEST_CLIENT_H
#define TARVO_TESTS_SIM_LOCKDOWN_TEST_CLIENT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <usbmuxd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "owners.h"
#include "plist_items.h"
#include "unique_fd.h"
#include "userpref.h"

namespace tarvosim::testing {

inline constexpr std::chrono::seconds kClientWait{10};

/// What came back for one request.
struct Received {
    enum Kind { kPlist, kClosed, kTimeout, kHugeLength, kCutShort, kNotPlist } kind = kClosed;
    PlistPtr plist;

    std::string string_at(const char *key) const {
        return tarvo::string_item(plist.get(), key).value_or("<missing>");
    }
    std::string error() const { return string_at("Error"); }
    plist_t item(const char *key) const {
        return plist ? plist_dict_get_item(plist.get(), key) : nullptr;
    }
};

inline std::vector<uint8_t> data_of(plist_t node) {
    return tarvo::data_value(node).value_or(std::vector<uint8_t>());
}

/// A pair record made the way a host makes one for the device's public key.
inline PlistPtr make_host_pair_record(const std::vector<uint8_t> &device_public_key,
                                      const std::string &host_id, const std::string &buid) {
    PlistPtr record(plist_new_dict());
    key_data_t key{const_cast<unsigned char *>(device_public_key.data()),
                   static_cast<uint32_t>(device_public_key.size())};
    if (pair_record_generate_keys_and_certs(record.get(), key, 17 << 16) != 0) {
        return nullptr;
    }
    plist_dict_set_item(record.get(), "HostID", plist_new_string(host_id.c_str()));
    plist_dict_set_item(record.get(), "SystemBUID", plist_new_string(buid.c_str()));
    return record;
}

class LockdownTestClient {
  public:
    ~LockdownTestClient() { disconnect(); }

    /// Connects to lockdown of the device with this UDID.
    bool connect(const std::string &udid) {
        usbmuxd_device_info_t device{};
        if (usbmuxd_get_device(udid.c_str(), &device,
                               static_cast<usbmux_lookup_options>(DEVICE_LOOKUP_USBMUX |
                                                                  DEVICE_LOOKUP_NETWORK)) <= 0) {
            return false;
        }
        return connect_port(device.handle, 62078);
    }

    bool connect_port(uint32_t handle, uint16_t port) {
        // TLS writes go through OpenSSL's socket BIO, which cannot ask for
        // MSG_NOSIGNAL: a device that hung up must fail a write, not kill
        // the test.
        ::signal(SIGPIPE, SIG_IGN);
        const int fd = usbmuxd_connect(handle, port);
        if (fd < 0) {
            return false;
        }
        fd_.reset(fd);
        // libusbmuxd hands the socket over non-blocking; this client blocks
        // with timeouts instead.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        timeval wait{static_cast<time_t>(kClientWait.count()), 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        return true;
    }

    /// Bounds each later receive by `wait` instead of kClientWait.
    void set_receive_wait(std::chrono::milliseconds wait) {
        timeval limit{static_cast<time_t>(wait.count() / 1000),
                      static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }

    void disconnect() {
        ssl_.reset();
        ctx_.reset();
        fd_.reset();
    }

    int fd() const { return fd_.get(); }

    bool send_bytes(const std::vector<uint8_t> &bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            long n =
                ssl_ ? SSL_write(ssl_.get(), bytes.data() + done,
                                 static_cast<int>(bytes.size() - done))
                     : ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool send_plist(plist_t node) {
        char *xml = nullptr;
        uint32_t size = 0;
        plist_to_xml(node, &xml, &size);
        std::vector<uint8_t> frame = {static_cast<uint8_t>(size >> 24),
                                      static_cast<uint8_t>(size >> 16),
                                      static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
        frame.insert(frame.end(), xml, xml + size);
        plist_to_xml_free(xml);
        return send_bytes(frame);
    }

    /// Sends {"Request": name, "Label": ..., "ProtocolVersion": "2"} plus the
    /// items of `extra` (a dictionary, taken over), and reads the answer.
    Received request(const char *name, plist_t extra = nullptr) {
        PlistPtr message(extra ? extra : plist_new_dict());
        plist_dict_set_item(message.get(), "Request", plist_new_string(name));
        plist_dict_set_item(message.get(), "Label", plist_new_string("sim-test"));
        plist_dict_set_item(message.get(), "ProtocolVersion", plist_new_string("2"));
        if (!send_plist(message.get())) {
            return Received{Received::kClosed, nullptr};
        }
        return receive();
    }

    /// Reads one framed answer and says what it was.
    Received receive() {
        uint8_t header[4];
        const int got = read_up_to(header, sizeof header);
        if (got < 0) {
            return Received{Received::kTimeout, nullptr};
        }
        if (got < static_cast<int>(sizeof header)) {
            return Received{Received::kClosed, nullptr};
        }
        const uint32_t length =
            static_cast<uint32_t>(header[0]) << 24 | header[1] << 16 | header[2] << 8 | header[3];
        if (length > 4 * 1024 * 1024) {
            return Received{Received::kHugeLength, nullptr};
        }
        std::vector<uint8_t> body(length);
        if (read_up_to(body.data(), length) != static_cast<int>(length)) {
            return Received{Received::kCutShort, nullptr};
        }
        plist_t node = nullptr;
        plist_from_memory(reinterpret_cast<const char *>(body.data()), length, &node);
        if (!node) {
            return Received{Received::kNotPlist, nullptr};
        }
        return Received{Received::kPlist, PlistPtr(node)};
    }

    /// True when nothing arrives within `wait` and the connection stays open.
    bool silent_for(std::chrono::milliseconds wait) {
        pollfd entry{fd_.get(), POLLIN, 0};
        return ::poll(&entry, 1, static_cast<int>(wait.count())) == 0;
    }

    /// True once the device has closed the connection (within kClientWait).
    bool sees_end() {
        uint8_t scratch[256];
        for (;;) {
            long n = ssl_ ? SSL_read(ssl_.get(), scratch, sizeof scratch)
                          : ::recv(fd_.get(), scratch, sizeof scratch, 0);
            if (n > 0) {
                continue;  // whatever came before the end does not matter here
            }
            const bool timed_out = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            ERR_clear_error();
            return !timed_out;
        }
    }

    /// TLS client handshake with the host's certificate and key of `record`.
    bool start_tls(plist_t record, std::string *error) {
        ctx_.reset(SSL_CTX_new(TLS_client_method()));
        SSL_CTX_set_security_level(ctx_.get(), 0);
        X509Ptr cert = read_item_cert(record, "HostCertificate");
        EvpPkeyPtr key = read_item_key(record, "HostPrivateKey");
        if (!cert || !key || SSL_CTX_use_certificate(ctx_.get(), cert.get()) != 1 ||
            SSL_CTX_use_PrivateKey(ctx_.get(), key.get()) != 1) {
            *error = "bad host certificate or key";
            return false;
        }
        ssl_.reset(SSL_new(ctx_.get()));
        SSL_set_fd(ssl_.get(), fd_.get());
        if (SSL_connect(ssl_.get()) != 1) {
            char text[256] = "";
            ERR_error_string_n(ERR_get_error(), text, sizeof text);
            *error = std::string("handshake failed: ") + text;
            ERR_clear_error();
            ssl_.reset();
            return false;
        }
        return true;
    }

    SSL *ssl() const { return ssl_.get(); }

    /// Sends close_notify, waits for the device's, and goes back to plain.
    bool stop_tls() {
        int result = SSL_shutdown(ssl_.get());
        if (result == 0) {
            uint8_t scratch[256];
            size_t got = 0;
            while (SSL_read_ex(ssl_.get(), scratch, sizeof scratch, &got) == 1) {
            }
            result = SSL_get_error(ssl_.get(), 0) == SSL_ERROR_ZERO_RETURN ||
                             (SSL_get_shutdown(ssl_.get()) & SSL_RECEIVED_SHUTDOWN)
                         ? 1
                         : -1;
        }
        ERR_clear_error();
        ssl_.reset();
        return result == 1;
    }

  private:
    /// Reads until `size` bytes, the end of the stream or the wait; the
    /// number read, or -1 when the wait ran out with nothing read at all.
    int read_up_to(uint8_t *out, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            long n = ssl_ ? SSL_read(ssl_.get(), out + done, static_cast<int>(size - done))
                          : ::recv(fd_.get(), out + done, size - done, 0);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            const bool timed_out = !ssl_ && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            ERR_clear_error();
            return timed_out && done == 0 ? -1 : static_cast<int>(done);
        }
        return static_cast<int>(done);
    }

    static X509Ptr read_item_cert(plist_t record, const char *name) {
        std::vector<uint8_t> pem = data_of(plist_dict_get_item(record, name));
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }

    static EvpPkeyPtr read_item_key(plist_t record, const char *name) {
        std::vector<uint8_t> pem = data_of(plist_dict_get_item(record, name));
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    }

    UniqueFd fd_;
    SslCtxPtr ctx_;
    SslPtr ssl_;
};

}  // namespace tarvosim::testing

#endif
