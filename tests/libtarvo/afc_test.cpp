// The file-conduit client against a device played by hand: reads split into
// chunks and landing in the caller's buffer, listings, and replies a hostile
// device might send. The friendly exchange runs against the simulator in
// services_sim_test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libtarvo/afc_private.h"
#include "scripted_peer.h"

namespace libtarvo {
namespace {

constexpr int kShortReplyMs = 300;

struct Client {
    afc_client_t handle = nullptr;
    Client(ScriptedPeer &peer, int reply_ms = 5000) {
        EXPECT_EQ(afc_client_new_on(peer.connection(), "afc", reply_ms, &handle), AFC_E_SUCCESS);
    }
    ~Client() { afc_client_free(handle); }
};

std::vector<uint8_t> u64_bytes(std::initializer_list<uint64_t> values) {
    std::vector<uint8_t> out;
    for (uint64_t v : values) {
        append_afc_u64(v, &out);
    }
    return out;
}

std::vector<uint8_t> text_bytes(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(AfcPeer, LargeReadsGoInChunksIntoTheCallersBuffer) {
    ScriptedPeer peer;
    Client client(peer);
    const std::size_t file_size = kAfcIoChunk + 1000;
    std::vector<uint8_t> file(file_size);
    for (std::size_t i = 0; i < file_size; ++i) {
        file[i] = static_cast<uint8_t>(i * 7);
    }
    peer.run([&file](ScriptedPeer &p) {
        std::size_t offset = 0;
        for (uint64_t packet = 0; packet < 3; ++packet) {
            ScriptedPeer::Request r;
            ASSERT_TRUE(p.read_afc_request(&r));
            uint64_t handle = 0, length = 0;
            ASSERT_TRUE(read_afc_u64(r.header_data, &handle));
            ASSERT_TRUE(read_afc_u64(std::span(r.header_data).subspan(8), &length));
            EXPECT_EQ(handle, 5u);
            EXPECT_LE(length, kAfcIoChunk);
            const std::size_t n = std::min<std::size_t>(length, file.size() - offset);
            p.write_afc(packet, AfcOperation::kData, {}, std::span(file).subspan(offset, n));
            offset += n;
        }
    });
    // Three chunks: a full one, the short rest, and the empty end.
    std::vector<char> buffer(file_size + kAfcIoChunk);
    uint32_t got = 0;
    ASSERT_EQ(afc_file_read(client.handle, 5, buffer.data(), kAfcIoChunk + 1000, &got),
              AFC_E_SUCCESS);
    EXPECT_EQ(got, file_size);
    EXPECT_EQ(std::memcmp(buffer.data(), file.data(), file_size), 0);
    ASSERT_EQ(afc_file_read(client.handle, 5, buffer.data(), 100, &got), AFC_E_SUCCESS);
    EXPECT_EQ(got, 0u);
    peer.join();
}

TEST(AfcPeer, ListsComeBackAsNullEndedStringArrays) {
    ScriptedPeer peer;
    Client client(peer);
    peer.run([](ScriptedPeer &p) {
        ScriptedPeer::Request r;
        ASSERT_TRUE(p.read_afc_request(&r));
        EXPECT_EQ(r.header_data, text_bytes(std::string("/DCIM\0", 6)));
        p.write_afc(0, AfcOperation::kData, {}, text_bytes(std::string(".\0..\0a.jpg\0", 11)));
        ASSERT_TRUE(p.read_afc_request(&r));
        EXPECT_EQ(r.header.operation, static_cast<uint64_t>(AfcOperation::kGetFileInfo));
        p.write_afc(1, AfcOperation::kData, {},
                    text_bytes(std::string("st_size\0"
                                           "12\0st_ifmt\0S_IFREG\0",
                                           26)));
        // A name without its value.
        ASSERT_TRUE(p.read_afc_request(&r));
        p.write_afc(2, AfcOperation::kData, {}, text_bytes(std::string("st_size\0", 8)));
    });
    char **entries = nullptr;
    ASSERT_EQ(afc_read_directory(client.handle, "/DCIM", &entries), AFC_E_SUCCESS);
    ASSERT_NE(entries, nullptr);
    std::vector<std::string> names;
    for (char **e = entries; *e; ++e) {
        names.emplace_back(*e);
    }
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "a.jpg"}));
    afc_dictionary_free(entries);

    char **info = nullptr;
    ASSERT_EQ(afc_get_file_info(client.handle, "/DCIM/a.jpg", &info), AFC_E_SUCCESS);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info[0], "st_size");
    EXPECT_STREQ(info[1], "12");
    EXPECT_STREQ(info[3], "S_IFREG");
    EXPECT_EQ(info[4], nullptr);
    afc_dictionary_free(info);

    info = reinterpret_cast<char **>(1);
    EXPECT_EQ(afc_get_file_info(client.handle, "/x", &info), AFC_E_NOT_ENOUGH_DATA);
    EXPECT_EQ(info, nullptr);
    peer.join();
}

TEST(AfcPeer, HostileRepliesEndInErrorCodes) {
    struct Case {
        const char *what;
        std::vector<uint8_t> reply;
        bool close_after;
        afc_error_t expected;
        bool still_in_step;
    };
    auto with_field = [](uint64_t packet, std::size_t offset, uint64_t value) {
        std::vector<uint8_t> p =
            encode_afc_packet(packet, AfcOperation::kStatus, u64_bytes({0}), {});
        for (int i = 0; i < 8; ++i) {
            p[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        }
        return p;
    };
    const Case cases[] = {
        {"a reply to another request",
         encode_afc_packet(9, AfcOperation::kStatus, u64_bytes({0}), {}), false,
         AFC_E_OP_HEADER_INVALID, false},
        {"the wrong magic", with_field(0, 0, 0x1122334455667788ull), false, AFC_E_OP_HEADER_INVALID,
         false},
        // Announces 4 GiB: refused before anything is allocated.
        {"a 4 GiB packet", with_field(0, 8, 4ull << 30), false, AFC_E_TOO_MUCH_DATA, false},
        {"a status without its code", encode_afc_packet(0, AfcOperation::kStatus, {}, {}), false,
         AFC_E_NOT_ENOUGH_DATA, true},
        {"an answer of an unexpected kind",
         encode_afc_packet(0, AfcOperation::kData, {}, text_bytes("x")), false,
         AFC_E_UNKNOWN_PACKET_TYPE, true},
        // Codes the device does not have must not pass for the host's own
        // (30 and up) nor for values the enumeration lacks.
        {"a code past the device's last",
         encode_afc_packet(0, AfcOperation::kStatus, u64_bytes({24}), {}), false,
         AFC_E_UNKNOWN_ERROR, true},
        {"a code of the host's own range",
         encode_afc_packet(0, AfcOperation::kStatus, u64_bytes({AFC_E_MUX_ERROR}), {}), false,
         AFC_E_UNKNOWN_ERROR, true},
        {"a device code no int holds",
         encode_afc_packet(0, AfcOperation::kStatus, u64_bytes({1ull << 40}), {}), false,
         AFC_E_UNKNOWN_ERROR, true},
        {"half a header, then a hang-up", std::vector<uint8_t>(20, 'C'), true, AFC_E_MUX_ERROR,
         false},
        {"half a header, then a stall", std::vector<uint8_t>(20, 'C'), false, AFC_E_OP_TIMEOUT,
         false},
        {"no answer at all", {}, false, AFC_E_OP_TIMEOUT, false},
    };
    for (const Case &c : cases) {
        ScriptedPeer peer;
        Client client(peer, kShortReplyMs);
        ASSERT_TRUE(peer.write(c.reply)) << c.what;
        if (c.close_after) {
            peer.close();
        }
        EXPECT_EQ(afc_make_directory(client.handle, "/d"), c.expected) << c.what;
        if (c.still_in_step) {
            ASSERT_TRUE(peer.write_afc_status(1, 8)) << c.what;
            EXPECT_EQ(afc_remove_path(client.handle, "/d"), AFC_E_OBJECT_NOT_FOUND) << c.what;
        } else {
            // Out of step: refused at once, without waiting on the device.
            EXPECT_EQ(afc_remove_path(client.handle, "/d"), AFC_E_MUX_ERROR) << c.what;
        }
    }
}

TEST(AfcPeer, MoreDataThanAskedForIsRefused) {
    ScriptedPeer peer;
    Client client(peer, kShortReplyMs);
    ASSERT_TRUE(
        peer.write(encode_afc_packet(0, AfcOperation::kData, {}, text_bytes("0123456789"))));
    char buffer[4];
    uint32_t got = 99;
    EXPECT_EQ(afc_file_read(client.handle, 1, buffer, sizeof(buffer), &got), AFC_E_TOO_MUCH_DATA);
    EXPECT_EQ(got, 0u);
}

}  // namespace
}  // namespace libtarvo
