// Read-ahead on a plain connection: small reads are served from one socket
// read, large ones bypass the buffer, and the stream's bytes stay in order.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <numeric>
#include <vector>

#include "libtarvo/connection.h"

namespace {

using libtarvo::Connection;
using libtarvo::Status;

struct ConnectedPair {
    std::unique_ptr<Connection> host;
    int device = -1;
    ConnectedPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        host = std::make_unique<Connection>(fds[0]);
        device = fds[1];
    }
    ~ConnectedPair() { ::close(device); }
};

TEST(ConnectionReadAhead, SmallAndLargeReadsKeepTheStreamInOrder) {
    ConnectedPair pair;
    pair.host->enable_read_ahead(16);
    std::vector<uint8_t> sent(100);
    std::iota(sent.begin(), sent.end(), 0);
    ASSERT_EQ(::write(pair.device, sent.data(), sent.size()), 100);

    std::vector<uint8_t> got;
    // reads smaller than the buffer, one larger than it, then the rest
    for (std::size_t size : {3u, 5u, 1u, 40u, 7u, 44u}) {
        std::vector<uint8_t> piece(size);
        ASSERT_EQ(pair.host->receive_exact(piece, 1000), Status::kOk) << size;
        got.insert(got.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(got, sent);

    // nothing left: a bounded wait, then the peer closing is seen
    std::vector<uint8_t> one(1);
    EXPECT_EQ(pair.host->receive_exact(one, 50), Status::kTimeout);
    ::shutdown(pair.device, SHUT_WR);
    EXPECT_EQ(pair.host->receive_exact(one, 1000), Status::kClosed);
}

TEST(ConnectionReadAhead, BufferedBytesSurviveACutFrame) {
    ConnectedPair pair;
    pair.host->enable_read_ahead(64);
    const uint8_t bytes[] = {1, 2, 3};
    ASSERT_EQ(::write(pair.device, bytes, sizeof bytes), 3);
    ::shutdown(pair.device, SHUT_WR);
    std::vector<uint8_t> two(2);
    ASSERT_EQ(pair.host->receive_exact(two, 1000), Status::kOk);
    EXPECT_EQ(two, (std::vector<uint8_t>{1, 2}));
    // one byte buffered, then the end of the stream: closed, never a hang
    EXPECT_EQ(pair.host->receive_exact(two, 1000), Status::kClosed);
}

}  // namespace
