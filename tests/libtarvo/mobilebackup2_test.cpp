// The backup-service client against a device played by hand: the
// device-link handshake, the protocol version exchange, requests, status
// responses, the bounded message wait, raw data, and hostile devices that
// must end in error codes rather than hangs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libtarvo/mobilebackup2_private.h"
#include "scripted_peer.h"

namespace libtarvo {
namespace {

// Short waits where the device is meant to stay silent; the peer's own
// reads are bounded separately.
MobileBackup2Waits short_waits() {
    MobileBackup2Waits waits;
    waits.message_first_byte_ms = 100;
    waits.completion_ms = 300;
    waits.raw_first_byte_ms = 100;
    waits.handshake_ms = 300;
    waits.disconnect_ms = 300;
    return waits;
}

PlistPtr version_exchange(plist_t major) {
    return dl_message({plist_new_string("DLMessageVersionExchange"), major, plist_new_uint(0)});
}

PlistPtr device_ready() {
    return dl_message({plist_new_string("DLMessageDeviceReady")});
}

PlistPtr response(std::initializer_list<std::pair<const char *, plist_t>> items) {
    PlistPtr dictionary(plist_new_dict());
    for (const auto &[key, value] : items) {
        plist_dict_set_item(dictionary.get(), key, value);
    }
    return make_process_message(std::move(dictionary));
}

struct Client {
    mobilebackup2_client_t handle = nullptr;
    ~Client() { mobilebackup2_client_free(handle); }
};

// A peer that has already played a good handshake, and the client made on it.
void connect(ScriptedPeer &peer, Client *client, MobileBackup2Waits waits = short_waits()) {
    ASSERT_TRUE(peer.write_message(version_exchange(plist_new_uint(400)).get()));
    ASSERT_TRUE(peer.write_message(device_ready().get()));
    ASSERT_EQ(mobilebackup2_client_new_on(peer.connection(), "mb2", waits, &client->handle),
              MOBILEBACKUP2_E_SUCCESS);
    PlistPtr answer = peer.read_message();
    ASSERT_TRUE(answer);
    EXPECT_EQ(string_at(answer.get(), 1), "DLVersionsOk");
}

TEST(MobileBackup2Peer, HandshakeEchoesTheDevicesMajorAndFreeSaysGoodbye) {
    for (uint64_t major : {300u, 400u}) {
        ScriptedPeer peer;
        ASSERT_TRUE(peer.write_message(version_exchange(plist_new_uint(major)).get()));
        ASSERT_TRUE(peer.write_message(device_ready().get()));
        mobilebackup2_client_t client = nullptr;
        ASSERT_EQ(mobilebackup2_client_new_on(peer.connection(), "mb2", short_waits(), &client),
                  MOBILEBACKUP2_E_SUCCESS);
        PlistPtr answer = peer.read_message();
        ASSERT_TRUE(answer);
        ASSERT_EQ(plist_array_get_size(answer.get()), 3u);
        EXPECT_EQ(string_at(answer.get(), 0), "DLMessageVersionExchange");
        EXPECT_EQ(string_at(answer.get(), 1), "DLVersionsOk");
        uint64_t echoed = 0;
        plist_get_uint_val(plist_array_get_item(answer.get(), 2), &echoed);
        EXPECT_EQ(echoed, major);

        EXPECT_EQ(mobilebackup2_client_free(client), MOBILEBACKUP2_E_SUCCESS);
        PlistPtr bye = peer.read_message();
        ASSERT_TRUE(bye);
        EXPECT_EQ(string_at(bye.get(), 0), "DLMessageDisconnect");
        EXPECT_EQ(string_at(bye.get(), 1), "___EmptyParameterString___");
    }
}

TEST(MobileBackup2Peer, HandshakeRefusals) {
    using Play = void (*)(ScriptedPeer &);
    struct Case {
        const char *what;
        Play play;
        mobilebackup2_error_t expected;
    };
    const Case cases[] = {
        {"a device-link major of 500",
         [](ScriptedPeer &p) { p.write_message(version_exchange(plist_new_uint(500)).get()); },
         MOBILEBACKUP2_E_BAD_VERSION},
        {"a major that is a string",
         [](ScriptedPeer &p) { p.write_message(version_exchange(plist_new_string("400")).get()); },
         MOBILEBACKUP2_E_PLIST_ERROR},
        {"another message first", [](ScriptedPeer &p) { p.write_message(device_ready().get()); },
         MOBILEBACKUP2_E_PLIST_ERROR},
        {"a disconnect in place of ready",
         [](ScriptedPeer &p) {
             p.write_message(version_exchange(plist_new_uint(300)).get());
             p.write_message(make_disconnect().get());
         },
         MOBILEBACKUP2_E_REPLY_NOT_OK},
        {"the device hangs up at once", [](ScriptedPeer &p) { p.close(); },
         MOBILEBACKUP2_E_MUX_ERROR},
        {"the device never speaks", [](ScriptedPeer &) {}, MOBILEBACKUP2_E_MUX_ERROR},
    };
    for (const Case &c : cases) {
        ScriptedPeer peer;
        c.play(peer);
        mobilebackup2_client_t client = nullptr;
        EXPECT_EQ(mobilebackup2_client_new_on(peer.connection(), "mb2", short_waits(), &client),
                  c.expected)
            << c.what;
        EXPECT_EQ(client, nullptr) << c.what;
    }
}

TEST(MobileBackup2Peer, VersionExchangeFailures) {
    struct Case {
        const char *what;
        PlistPtr (*answer)();
        mobilebackup2_error_t expected;
    };
    const Case cases[] = {
        {"no common version",
         [] {
             return response(
                 {{"MessageName", plist_new_string("Response")}, {"ErrorCode", plist_new_uint(1)}});
         },
         MOBILEBACKUP2_E_NO_COMMON_VERSION},
        {"a version that was not offered",
         [] {
             return response({{"MessageName", plist_new_string("Response")},
                              {"ErrorCode", plist_new_uint(0)},
                              {"ProtocolVersion", plist_new_real(3.0)}});
         },
         MOBILEBACKUP2_E_NO_COMMON_VERSION},
        {"no error code",
         [] {
             return response({{"MessageName", plist_new_string("Response")},
                              {"ProtocolVersion", plist_new_real(2.0)}});
         },
         MOBILEBACKUP2_E_PLIST_ERROR},
        {"the version as a string",
         [] {
             return response({{"MessageName", plist_new_string("Response")},
                              {"ErrorCode", plist_new_uint(0)},
                              {"ProtocolVersion", plist_new_string("2.0")}});
         },
         MOBILEBACKUP2_E_PLIST_ERROR},
        {"some other message", [] { return make_disconnect(); }, MOBILEBACKUP2_E_PLIST_ERROR},
    };
    for (const Case &c : cases) {
        ScriptedPeer peer;
        Client client;
        connect(peer, &client);
        ASSERT_TRUE(peer.write_message(c.answer().get())) << c.what;
        double versions[] = {2.0, 2.1};
        double chosen = -1;
        EXPECT_EQ(mobilebackup2_version_exchange(client.handle, versions, 2, &chosen), c.expected)
            << c.what;
        EXPECT_EQ(chosen, -1) << c.what;
    }
}

TEST(MobileBackup2Peer, SilenceAfterHelloFailsAndALateAnswerCannotReachTheLoop) {
    ScriptedPeer peer;
    Client client;
    connect(peer, &client);
    double versions[] = {2.0};
    EXPECT_EQ(mobilebackup2_version_exchange(client.handle, versions, 1, nullptr),
              MOBILEBACKUP2_E_RECEIVE_TIMEOUT);
    ASSERT_TRUE(peer.write_message(
        response({{"MessageName", plist_new_string("Response")}, {"ErrorCode", plist_new_uint(0)}})
            .get()));
    plist_t message = nullptr;
    EXPECT_EQ(mobilebackup2_receive_message(client.handle, &message, nullptr),
              MOBILEBACKUP2_E_MUX_ERROR);
    EXPECT_EQ(message, nullptr);
}

TEST(MobileBackup2Peer, RequestsAndStatusResponsesOnTheWire) {
    ScriptedPeer peer;
    Client client;
    connect(peer, &client);
    PlistPtr options(plist_new_dict());
    plist_dict_set_item(options.get(), "ForceFullBackup", plist_new_bool(1));
    ASSERT_EQ(mobilebackup2_send_request(client.handle, "Backup", "TARGET", nullptr, options.get()),
              MOBILEBACKUP2_E_SUCCESS);
    PlistPtr request = peer.read_message();
    ASSERT_TRUE(request);
    EXPECT_EQ(string_at(request.get(), 0), "DLMessageProcessMessage");
    plist_t dictionary = plist_array_get_item(request.get(), 1);
    EXPECT_EQ(string_item(dictionary, "MessageName"), "Backup");
    EXPECT_EQ(string_item(dictionary, "TargetIdentifier"), "TARGET");
    EXPECT_EQ(string_item(dictionary, "SourceIdentifier"), "TARGET");
    EXPECT_TRUE(same_plist(plist_dict_get_item(dictionary, "Options"), options.get()));

    // A message keeps the caller's keys beside its name.
    ASSERT_EQ(mobilebackup2_send_message(client.handle, "ChangePassword", options.get()),
              MOBILEBACKUP2_E_SUCCESS);
    PlistPtr message = peer.read_message();
    ASSERT_TRUE(message);
    dictionary = plist_array_get_item(message.get(), 1);
    EXPECT_EQ(string_item(dictionary, "MessageName"), "ChangePassword");
    EXPECT_TRUE(plist_dict_get_item(dictionary, "ForceFullBackup"));
    EXPECT_EQ(mobilebackup2_send_message(client.handle, nullptr, options.get()),
              MOBILEBACKUP2_E_INVALID_ARG);  // no name anywhere

    ASSERT_EQ(mobilebackup2_send_status_response(client.handle, -6, nullptr, nullptr),
              MOBILEBACKUP2_E_SUCCESS);
    PlistPtr status = peer.read_message();
    ASSERT_TRUE(status);
    EXPECT_TRUE(same_plist(status.get(), make_status_response(-6, nullptr, nullptr).get()));
}

TEST(MobileBackup2Peer, ReceiveWaitsBoundedAndFinishesAMessageThatStartedLate) {
    ScriptedPeer peer;
    MobileBackup2Waits waits = short_waits();
    waits.completion_ms = 5000;
    Client client;
    connect(peer, &client, waits);

    plist_t message = nullptr;
    char *name = nullptr;
    EXPECT_EQ(mobilebackup2_receive_message(client.handle, &message, &name),
              MOBILEBACKUP2_E_RECEIVE_TIMEOUT);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(name, nullptr);

    // Two bytes now, the rest well after the first-byte wait has passed: the
    // message must still come out whole, never as "nothing yet".
    PlistPtr ping = dl_message({plist_new_string("DLMessagePing"), plist_new_string("x")});
    std::vector<uint8_t> frame;
    ASSERT_EQ(encode_device_link_frame(ping.get(), &frame), Status::kOk);
    ASSERT_TRUE(peer.write(std::span(frame).first(2)));
    peer.run([&frame](ScriptedPeer &p) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        p.write(std::span(frame).subspan(2));
    });
    ASSERT_EQ(mobilebackup2_receive_message(client.handle, &message, &name),
              MOBILEBACKUP2_E_SUCCESS);
    peer.join();  // before `frame` goes
    PlistPtr owned(message);
    CString owned_name(name);
    EXPECT_STREQ(name, "DLMessagePing");
    EXPECT_TRUE(same_plist(message, ping.get()));
}

TEST(MobileBackup2Peer, HostileDevicesGiveErrorCodes) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        bool close_after;
        mobilebackup2_error_t expected;
        bool still_in_step;
    };
    PlistPtr dictionary(plist_new_dict());
    char *raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(dictionary.get(), &raw, &length);
    std::vector<uint8_t> non_array = {0, 0, 0, static_cast<uint8_t>(length)};
    non_array.insert(non_array.end(), raw, raw + length);
    std::free(raw);
    const Case cases[] = {
        {"a 4 GiB length", {0xFF, 0xFF, 0xFF, 0xFF}, false, MOBILEBACKUP2_E_PLIST_ERROR, false},
        {"a message that is no array", non_array, false, MOBILEBACKUP2_E_PLIST_ERROR, true},
        {"a stall inside a message",
         {0, 0, 0, 40, 'b', 'p'},
         false,
         MOBILEBACKUP2_E_MUX_ERROR,
         false},
        {"a stall inside the length", {0, 0}, false, MOBILEBACKUP2_E_MUX_ERROR, false},
        {"a disconnect", {}, true, MOBILEBACKUP2_E_MUX_ERROR, false},
        {"a disconnect inside a message",
         {0, 0, 0, 40, 'b'},
         true,
         MOBILEBACKUP2_E_MUX_ERROR,
         false},
    };
    PlistPtr ping = dl_message({plist_new_string("DLMessagePing")});
    for (const Case &c : cases) {
        ScriptedPeer peer;
        Client client;
        connect(peer, &client);
        ASSERT_TRUE(peer.write(c.bytes)) << c.what;
        if (c.close_after) {
            peer.close();
        } else if (c.still_in_step) {
            ASSERT_TRUE(peer.write_message(ping.get())) << c.what;
        }
        plist_t message = nullptr;
        char *name = nullptr;
        EXPECT_EQ(mobilebackup2_receive_message(client.handle, &message, &name), c.expected)
            << c.what;
        EXPECT_EQ(message, nullptr) << c.what;
        EXPECT_EQ(name, nullptr) << c.what;
        // Afterwards: the next message when the stream is still in step,
        // otherwise a prompt failure, never a wait.
        mobilebackup2_error_t next = mobilebackup2_receive_message(client.handle, &message, &name);
        PlistPtr owned(message);
        CString owned_name(name);
        if (c.still_in_step) {
            EXPECT_EQ(next, MOBILEBACKUP2_E_SUCCESS) << c.what;
            EXPECT_STREQ(name, "DLMessagePing") << c.what;
        } else {
            EXPECT_EQ(next, MOBILEBACKUP2_E_MUX_ERROR) << c.what;
        }
    }
}

TEST(MobileBackup2Peer, RawBytesBetweenMessages) {
    ScriptedPeer peer;
    Client client;
    connect(peer, &client);
    const std::string payload(
        "\x00\x00\x00\x05\x0C"
        "abcd",
        9);
    ASSERT_TRUE(
        peer.write(std::span(reinterpret_cast<const uint8_t *>(payload.data()), payload.size())));
    ASSERT_TRUE(peer.write_message(device_ready().get()));

    char buffer[16];
    uint32_t got = 99;
    ASSERT_EQ(mobilebackup2_receive_raw(client.handle, buffer, 4, &got), MOBILEBACKUP2_E_SUCCESS);
    EXPECT_EQ(got, 4u);
    ASSERT_EQ(mobilebackup2_receive_raw(client.handle, buffer + 4, 5, &got),
              MOBILEBACKUP2_E_SUCCESS);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(buffer, 9), payload);
    // The message after the raw bytes is in step.
    plist_t message = nullptr;
    char *name = nullptr;
    ASSERT_EQ(mobilebackup2_receive_message(client.handle, &message, &name),
              MOBILEBACKUP2_E_SUCCESS);
    PlistPtr owned(message);
    CString owned_name(name);
    EXPECT_STREQ(name, "DLMessageDeviceReady");

    // Nothing arriving is "nothing yet", with nothing counted.
    got = 99;
    EXPECT_EQ(mobilebackup2_receive_raw(client.handle, buffer, 4, &got),
              MOBILEBACKUP2_E_RECEIVE_TIMEOUT);
    EXPECT_EQ(got, 0u);

    uint32_t sent = 0;
    ASSERT_EQ(mobilebackup2_send_raw(client.handle, "\0\0\0\0", 4, &sent), MOBILEBACKUP2_E_SUCCESS);
    EXPECT_EQ(sent, 4u);
    uint8_t echoed[4] = {1, 1, 1, 1};
    ASSERT_TRUE(peer.read_exact(echoed));
    EXPECT_EQ(std::vector<uint8_t>(echoed, echoed + 4), std::vector<uint8_t>(4, 0));
}

TEST(MobileBackup2Peer, RawDataCutShortIsAnErrorWithTheCountThatArrived) {
    struct Case {
        const char *what;
        bool close;  // else the device stalls
    };
    for (const Case &c : {Case{"the device hangs up", true}, Case{"the device stalls", false}}) {
        ScriptedPeer peer;
        Client client;
        connect(peer, &client);
        ASSERT_TRUE(peer.write(std::vector<uint8_t>(10, 'x'))) << c.what;
        if (c.close) {
            peer.close();
        }
        std::vector<char> buffer(100);
        uint32_t got = 0;
        EXPECT_EQ(mobilebackup2_receive_raw(client.handle, buffer.data(), 100, &got),
                  MOBILEBACKUP2_E_MUX_ERROR)
            << c.what;
        EXPECT_EQ(got, 10u) << c.what;
        for (uint32_t i = 0; i < got; ++i) {
            EXPECT_EQ(buffer[i], 'x') << c.what;
        }
        got = 99;
        EXPECT_EQ(mobilebackup2_receive_raw(client.handle, buffer.data(), 1, &got),
                  MOBILEBACKUP2_E_MUX_ERROR)
            << c.what;
        EXPECT_EQ(got, 0u) << c.what;
    }
}

TEST(MobileBackup2Peer, DebugLevelOneShowsMessagesReadablyAndRawDataAsCounts) {
    ScriptedPeer peer;
    Client client;
    connect(peer, &client);
    ASSERT_TRUE(peer.write(std::vector<uint8_t>(5, 'x')));
    ASSERT_TRUE(peer.write_message(device_ready().get()));
    testing::internal::CaptureStderr();
    tarvo_set_debug_level(1);
    mobilebackup2_error_t sent =
        mobilebackup2_send_request(client.handle, "Info", "T", "S", nullptr);
    char buffer[5];
    uint32_t got = 0;
    mobilebackup2_error_t raw = mobilebackup2_receive_raw(client.handle, buffer, 5, &got);
    plist_t message = nullptr;
    mobilebackup2_error_t received =
        mobilebackup2_receive_message(client.handle, &message, nullptr);
    PlistPtr owned(message);
    tarvo_set_debug_level(0);
    const std::string output = testing::internal::GetCapturedStderr();
    ASSERT_EQ(sent, MOBILEBACKUP2_E_SUCCESS);
    ASSERT_EQ(raw, MOBILEBACKUP2_E_SUCCESS);
    ASSERT_EQ(received, MOBILEBACKUP2_E_SUCCESS);
    EXPECT_NE(output.find("send mb2"), std::string::npos) << output;
    EXPECT_NE(output.find("<string>Info</string>"), std::string::npos) << output;
    EXPECT_NE(output.find("recv mb2: 5 raw bytes"), std::string::npos) << output;
    EXPECT_NE(output.find("<string>DLMessageDeviceReady</string>"), std::string::npos) << output;
}

}  // namespace
}  // namespace libtarvo
