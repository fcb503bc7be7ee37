// The service socket's read-ahead: bytes taken from the socket ahead of need
// must come out in order to reads of any size, count as readable, and keep
// a TLS handshake from starting over them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "service_socket.h"

namespace {

using tarvosim::ServiceSocket;
using tarvosim::SocketStatus;
using tarvosim::SteadyClock;

SteadyClock::time_point soon() {
    return SteadyClock::now() + std::chrono::seconds(2);
}

class ReadAheadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        socket_ = std::make_unique<ServiceSocket>(UniqueFd(fds[0]));
        host_.reset(fds[1]);
        socket_->enable_read_ahead();
    }

    void host_sends(const std::vector<uint8_t> &bytes) {
        ASSERT_EQ(write(host_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    std::vector<uint8_t> read(size_t count, SocketStatus expected = SocketStatus::kOk) {
        std::vector<uint8_t> out(count);
        EXPECT_EQ(socket_->read_exact(out, soon()), expected);
        return out;
    }

    std::unique_ptr<ServiceSocket> socket_;
    UniqueFd host_;
};

std::vector<uint8_t> counting_bytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    return bytes;
}

TEST_F(ReadAheadTest, MixedReadSizesSeeTheStreamInOrder) {
    // Small reads, a read larger than the read-ahead, and reads that cross
    // the end of what one recv took.
    const std::vector<uint8_t> stream = counting_bytes(600 * 1024 + 7);
    std::thread writer([&] { host_sends(stream); });
    std::vector<uint8_t> seen;
    for (size_t size : {4u, 1u, 32768u, 5u, 300000u, 3u}) {
        std::vector<uint8_t> part = read(size);
        seen.insert(seen.end(), part.begin(), part.end());
    }
    std::vector<uint8_t> rest = read(stream.size() - seen.size());
    seen.insert(seen.end(), rest.begin(), rest.end());
    writer.join();
    EXPECT_EQ(seen, stream);
}

TEST_F(ReadAheadTest, BufferedBytesCountAsReadableAfterTheSocketIsDrained) {
    host_sends({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(read(2), (std::vector<uint8_t>{1, 2}));
    // The socket is empty now; the remaining six bytes wait in the read-ahead.
    EXPECT_EQ(socket_->wait_readable(SteadyClock::now()), SocketStatus::kOk);
    EXPECT_EQ(read(6), (std::vector<uint8_t>{3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(socket_->wait_readable(SteadyClock::now() + std::chrono::milliseconds(20)),
              SocketStatus::kTimeout);
}

TEST_F(ReadAheadTest, EndOfStreamAfterBufferedBytes) {
    host_sends({9, 9, 9});
    host_.reset();
    EXPECT_EQ(read(1), (std::vector<uint8_t>{9}));
    EXPECT_EQ(read(2), (std::vector<uint8_t>{9, 9}));
    read(1, SocketStatus::kClosed);
}

TEST_F(ReadAheadTest, TlsDoesNotStartOverBufferedBytes) {
    host_sends({0x16, 0x03, 0x01, 0x00});
    read(1);
    std::string error;
    EXPECT_FALSE(socket_->start_tls_server({}, soon(), &error));
    EXPECT_EQ(error, "the host sent bytes before the TLS handshake");
}

}  // namespace
