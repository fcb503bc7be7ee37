// The simulator's reader of the host's property-list frames (lockdown, the
// property-list services and device-link all read through it) holds hosts
// to the library's caps: lists nested too deep or expanding too far, and
// strings holding U+0000, are refused without losing the stream's step.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../support/hostile_plists.h"
#include "plist_frame.h"
#include "plist_untrusted.h"

namespace tarvosim {
namespace {

std::vector<uint8_t> framed(const std::vector<uint8_t> &body) {
    std::vector<uint8_t> out = {
        static_cast<uint8_t>(body.size() >> 24), static_cast<uint8_t>(body.size() >> 16),
        static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

TEST(SimPlistFrame, HostListsBeyondTheCapsAreRefusedAndTheStreamStaysInStep) {
    using namespace tarvo::testing;
    struct Case {
        const char *what;
        Bytes body;
    };
    const Case cases[] = {
        {"nested deeper than the cap", nested_arrays(tarvo::kMaxPlistNesting + 1)},
        {"a tree that doubles with every level", doubling_message(40)},
        {"a key that holds U+0000", dict_with_key(ascii(std::string("Re\0quest", 8)))},
    };
    PlistPtr honest(plist_new_dict());
    plist_dict_set_item(honest.get(), "Request", plist_new_string("QueryType"));
    const std::vector<uint8_t> next = encode_plist_frame(honest.get(), PlistEncoding::kBinary);
    const FrameWaits waits{std::chrono::seconds(2), std::chrono::seconds(2)};
    for (const Case &c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ServiceSocket socket{UniqueFd(fds[0])};
        UniqueFd host(fds[1]);
        std::vector<uint8_t> bytes = framed(c.body);
        bytes.insert(bytes.end(), next.begin(), next.end());
        ASSERT_EQ(write(host.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
        PlistPtr read;
        EXPECT_EQ(read_plist_frame(socket, waits, &read), FrameStatus::kMalformed) << c.what;
        EXPECT_FALSE(read) << c.what;
        ASSERT_EQ(read_plist_frame(socket, waits, &read), FrameStatus::kOk) << c.what;
        EXPECT_EQ(plist_get_node_type(read.get()), PLIST_DICT) << c.what;
    }
}

}  // namespace
}  // namespace tarvosim
