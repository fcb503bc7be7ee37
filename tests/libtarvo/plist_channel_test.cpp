// PlistChannel and Connection over a socket pair whose far end the test
// plays by hand: well-behaved, stalling, closing, lying about lengths, and a
// TLS peer with the right or the wrong key.
#include "libtarvo/plist_channel.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "owners.h"
#include "userpref.h"

namespace libtarvo {
namespace {

// Bounded waits for the test's own side; short receive timeouts for the
// library's side where the peer is meant to stall.
constexpr int kStallMs = 50;
constexpr int kPatientMs = 5000;

class ChannelPair {
  public:
    ChannelPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        channel_ = std::make_unique<PlistChannel>(std::make_unique<Connection>(fds[0]), "test");
        peer_ = fds[1];
        struct timeval tv = {5, 0};
        ::setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        ::setsockopt(peer_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    }
    ~ChannelPair() { close_peer(); }

    PlistChannel &channel() { return *channel_; }
    int peer() const { return peer_; }
    void peer_write(const std::vector<uint8_t> &bytes) {
        ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void close_peer() {
        if (peer_ >= 0) {
            ::close(peer_);
            peer_ = -1;
        }
    }

  private:
    std::unique_ptr<PlistChannel> channel_;
    int peer_ = -1;
};

std::vector<uint8_t> frame_with(const char *key, const char *value) {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), key, plist_new_string(value));
    std::vector<uint8_t> frame;
    EXPECT_EQ(encode_plist_frame(dict.get(), PlistFormat::kBinary, &frame), Status::kOk);
    return frame;
}

std::string string_item(plist_t dict, const char *key) {
    plist_t item = plist_dict_get_item(dict, key);
    char *raw = nullptr;
    if (item) {
        plist_get_string_val(item, &raw);
    }
    std::string value(raw ? raw : "");
    std::free(raw);
    return value;
}

TEST(PlistChannel, StallTimesOutAndLeavesTheChannelInStep) {
    ChannelPair pair;
    PlistPtr node;
    EXPECT_EQ(pair.channel().receive(&node, kStallMs), Status::kTimeout);
    EXPECT_FALSE(pair.channel().connection().broken());

    pair.peer_write(frame_with("Late", "reply"));
    ASSERT_EQ(pair.channel().receive(&node, kPatientMs), Status::kOk);
    EXPECT_EQ(string_item(node.get(), "Late"), "reply");
}

TEST(PlistChannel, HostilePeersEndInAnErrorCode) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        bool close_after;
        Status expected;
        bool breaks;
    };
    const Case cases[] = {
        {"a 4 GiB length prefix and nothing more",
         {0xFF, 0xFF, 0xFF, 0xFF},
         false,
         Status::kTooLarge,
         true},
        {"half a body, then the connection closes",
         {0, 0, 0, 100, '<', 'p', 'l'},
         true,
         Status::kClosed,
         true},
        {"half a header, then a stall", {0, 0}, false, Status::kTimeout, true},
        {"part of a body, then a stall", {0, 0, 0, 9, 'x'}, false, Status::kTimeout, true},
        {"a well-framed body of garbage",
         {0, 0, 0, 4, 0xDE, 0xAD, 0xBE, 0xEF},
         false,
         Status::kMalformed,
         false},
        {"the connection closes instead of answering", {}, true, Status::kClosed, true},
    };
    for (const Case &c : cases) {
        ChannelPair pair;
        if (!c.bytes.empty()) {
            pair.peer_write(c.bytes);
        }
        if (c.close_after) {
            pair.close_peer();
        }
        PlistPtr node;
        EXPECT_EQ(pair.channel().receive(&node, kStallMs), c.expected) << c.what;
        EXPECT_FALSE(node) << c.what;
        EXPECT_EQ(pair.channel().connection().broken(), c.breaks) << c.what;
    }
}

TEST(PlistChannel, SendingToAClosedPeerIsAnErrorNotASignal) {
    ChannelPair pair;
    pair.close_peer();
    PlistPtr dict(plist_new_dict());
    Status s = pair.channel().send(dict.get());
    EXPECT_EQ(s, Status::kReset);
    // Once broken, nothing more is attempted.
    EXPECT_EQ(pair.channel().send(dict.get()), Status::kReset);
}

TEST(PlistChannel, RawBytesPassThroughBetweenFrames) {
    ChannelPair pair;
    const std::vector<uint8_t> payload = {1, 2, 3, 4, 5};
    std::vector<uint8_t> stream = frame_with("Kind", "file");
    stream.insert(stream.end(), payload.begin(), payload.end());
    pair.peer_write(stream);
    PlistPtr node;
    ASSERT_EQ(pair.channel().receive(&node, kPatientMs), Status::kOk);
    std::vector<uint8_t> got(payload.size());
    ASSERT_EQ(pair.channel().receive_raw(got, kPatientMs), Status::kOk);
    EXPECT_EQ(got, payload);

    ASSERT_EQ(pair.channel().send_raw(payload), Status::kOk);
    std::vector<uint8_t> echoed(payload.size());
    ASSERT_EQ(::recv(pair.peer(), echoed.data(), echoed.size(), MSG_WAITALL),
              static_cast<ssize_t>(echoed.size()));
    EXPECT_EQ(echoed, payload);
}

// --- TLS ---

std::string pem_of_public_key(EVP_PKEY *key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PUBKEY(bio.get(), key);
    char *data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

X509Ptr certificate_item(plist_t record, const char *name) {
    plist_t item = plist_dict_get_item(record, name);
    char *raw = nullptr;
    uint64_t length = 0;
    plist_get_data_val(item, &raw, &length);
    BioPtr bio(BIO_new_mem_buf(raw, static_cast<int>(length)));
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    std::free(raw);
    return cert;
}

// A pair record for a device key, as pairing makes it.
struct Pairing {
    EvpPkeyPtr device_key;
    PlistPtr record;
};

Pairing make_pairing() {
    Pairing p;
    p.device_key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
    std::string pem = pem_of_public_key(p.device_key.get());
    p.record.reset(plist_new_dict());
    key_data_t key = {reinterpret_cast<unsigned char *>(pem.data()),
                      static_cast<uint32_t>(pem.size())};
    EXPECT_EQ(pair_record_generate_keys_and_certs(p.record.get(), key, 0x110501), 0);
    return p;
}

// The device's side: a TLS server on the peer socket that echoes one frame
// (or, with `stop_after`, also answers a TLS stop and one more plain frame).
void serve_device(int fd, X509 *certificate, EVP_PKEY *key, bool stop_after) {
    SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_set_security_level(ctx.get(), 0);
    SSL_CTX_use_certificate(ctx.get(), certificate);
    SSL_CTX_use_PrivateKey(ctx.get(), key);
    SslPtr ssl(SSL_new(ctx.get()));
    SSL_set_fd(ssl.get(), fd);
    if (SSL_accept(ssl.get()) != 1) {
        ERR_clear_error();
        return;
    }
    std::vector<uint8_t> buffer(4096);
    size_t got = 0;
    if (SSL_read_ex(ssl.get(), buffer.data(), buffer.size(), &got) != 1) {
        ERR_clear_error();
        return;
    }
    size_t sent = 0;
    SSL_write_ex(ssl.get(), buffer.data(), got, &sent);
    if (!stop_after) {
        return;
    }
    if (SSL_shutdown(ssl.get()) == 0) {
        SSL_shutdown(ssl.get());  // waits for the client's close_notify
    }
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n > 0) {
        ::send(fd, buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL);
    }
    ERR_clear_error();
}

TEST(ConnectionTls, TalksToThePairedDeviceThenReturnsToPlain) {
    Pairing pairing = make_pairing();
    std::shared_ptr<const TlsCredentials> credentials;
    ASSERT_EQ(TlsCredentials::from_pair_record(pairing.record.get(), &credentials), Status::kOk);
    X509Ptr device_certificate = certificate_item(pairing.record.get(), "DeviceCertificate");

    ChannelPair pair;
    std::thread device(serve_device, pair.peer(), device_certificate.get(),
                       pairing.device_key.get(), true);
    Status started = pair.channel().connection().start_tls(*credentials, kPatientMs);
    PlistPtr echoed;
    Status exchanged = Status::kInvalidArg, stopped = Status::kInvalidArg,
           plain = Status::kInvalidArg;
    if (started == Status::kOk) {
        PlistPtr hello(plist_new_dict());
        plist_dict_set_item(hello.get(), "Hello", plist_new_string("device"));
        exchanged = pair.channel().send(hello.get());
        if (exchanged == Status::kOk) {
            exchanged = pair.channel().receive(&echoed, kPatientMs);
        }
        stopped = pair.channel().connection().stop_tls(kPatientMs);
        PlistPtr again(plist_new_dict());
        plist_dict_set_item(again.get(), "Plain", plist_new_string("again"));
        plain = pair.channel().send(again.get());
        if (plain == Status::kOk) {
            plain = pair.channel().receive(&echoed, kPatientMs);
        }
    }
    device.join();
    ASSERT_EQ(started, Status::kOk);
    EXPECT_EQ(exchanged, Status::kOk);
    EXPECT_EQ(stopped, Status::kOk);
    EXPECT_FALSE(pair.channel().connection().tls_active());
    ASSERT_EQ(plain, Status::kOk);
    EXPECT_EQ(string_item(echoed.get(), "Plain"), "again");
}

TEST(ConnectionTls, RefusesADeviceWithAnotherKey) {
    Pairing pairing = make_pairing();
    Pairing impostor = make_pairing();
    std::shared_ptr<const TlsCredentials> credentials;
    ASSERT_EQ(TlsCredentials::from_pair_record(pairing.record.get(), &credentials), Status::kOk);
    X509Ptr impostor_certificate = certificate_item(impostor.record.get(), "DeviceCertificate");

    ChannelPair pair;
    std::thread device(serve_device, pair.peer(), impostor_certificate.get(),
                       impostor.device_key.get(), false);
    Status started = pair.channel().connection().start_tls(*credentials, kPatientMs);
    pair.channel().connection().mark_broken();
    ::shutdown(pair.peer(), SHUT_RD);  // ends the device thread's wait for a request
    device.join();
    EXPECT_EQ(started, Status::kTls);
    EXPECT_FALSE(pair.channel().connection().tls_active());
}

TEST(TlsCredentials, RecordsWithoutUsableKeysAreRefused) {
    Pairing pairing = make_pairing();
    for (const char *missing : {"HostCertificate", "HostPrivateKey", "DeviceCertificate"}) {
        PlistPtr record(plist_copy(pairing.record.get()));
        plist_dict_remove_item(record.get(), missing);
        std::shared_ptr<const TlsCredentials> credentials;
        EXPECT_EQ(TlsCredentials::from_pair_record(record.get(), &credentials),
                  Status::kBadCredentials)
            << missing;
    }
    // The root key does not belong to the host certificate.
    PlistPtr mixed(plist_copy(pairing.record.get()));
    plist_dict_set_item(mixed.get(), "HostPrivateKey",
                        plist_copy(plist_dict_get_item(pairing.record.get(), "RootPrivateKey")));
    std::shared_ptr<const TlsCredentials> credentials;
    EXPECT_EQ(TlsCredentials::from_pair_record(mixed.get(), &credentials), Status::kBadCredentials);
}

}  // namespace
}  // namespace libtarvo
