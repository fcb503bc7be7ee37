// The simulated multiplexer daemon driven by the real client library
// (libusbmuxd) and, for what that library never sends, by a raw client.
#include "mux_daemon.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <usbmuxd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim_test_support.h"

namespace tarvosim {
namespace {

using testing::EchoDevice;
using testing::RawClient;
using testing::string_of;
using testing::TempDir;
using testing::uint_of;

constexpr uint16_t kLockdownPort = 62078;

class MuxDaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        // libusbmuxd reads the address at every call, so each test may have
        // its own socket.
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket_path()).c_str(), 1);
        start_daemon();
    }

    void start_daemon(std::chrono::milliseconds io_timeout = std::chrono::seconds(10)) {
        MuxDaemonOptions options;
        options.socket_path = socket_path();
        options.state_dir = state_dir();
        options.io_timeout = io_timeout;
        daemon_ = std::make_unique<MuxDaemon>(options);
        std::string error;
        ASSERT_TRUE(daemon_->start(&error)) << error;
    }

    std::string socket_path() const { return dir_.file("mux.sock"); }
    std::string state_dir() const { return dir_.file("state"); }

    TempDir dir_;
    std::unique_ptr<MuxDaemon> daemon_;
};

TEST_F(MuxDaemonTest, ListsDevicesWithIdsInOrderOfAdding) {
    daemon_->add_device(std::make_shared<EchoDevice>("UDID-USB", false, std::set<uint16_t>{}));
    daemon_->add_device(std::make_shared<EchoDevice>("UDID-NET", true, std::set<uint16_t>{}));

    usbmuxd_device_info_t *list = nullptr;
    ASSERT_EQ(usbmuxd_get_device_list(&list), 2);
    EXPECT_EQ(list[0].handle, 1u);
    EXPECT_STREQ(list[0].udid, "UDID-USB");
    EXPECT_EQ(list[0].conn_type, CONNECTION_TYPE_USB);
    EXPECT_EQ(list[0].product_id, 0x12A8u);
    EXPECT_EQ(list[1].handle, 2u);
    EXPECT_STREQ(list[1].udid, "UDID-NET");
    EXPECT_EQ(list[1].conn_type, CONNECTION_TYPE_NETWORK);
    // The network address reaches the client as the device's connection data.
    EXPECT_EQ(list[1].conn_data[1], AF_INET);
    EXPECT_EQ(std::vector<uint8_t>(list[1].conn_data + 4, list[1].conn_data + 8),
              (std::vector<uint8_t>{127, 0, 0, 1}));
    usbmuxd_device_list_free(&list);
}

TEST_F(MuxDaemonTest, DevicePropertiesFollowTheConnectionType) {
    daemon_->add_device(std::make_shared<EchoDevice>("UDID-USB", false, std::set<uint16_t>{}));
    daemon_->add_device(std::make_shared<EchoDevice>("UDID-NET", true, std::set<uint16_t>{}));
    RawClient client;
    ASSERT_TRUE(client.connect(socket_path()));
    ASSERT_TRUE(client.send_request(5, "ListDevices"));
    auto reply = client.read_message();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->tag, 5u);
    plist_t devices = plist_dict_get_item(reply->payload.get(), "DeviceList");
    ASSERT_EQ(plist_array_get_size(devices), 2u);

    plist_t usb = plist_dict_get_item(plist_array_get_item(devices, 0), "Properties");
    EXPECT_EQ(string_of(usb, "ConnectionType"), "USB");
    EXPECT_EQ(string_of(usb, "SerialNumber"), "UDID-USB");
    EXPECT_EQ(uint_of(usb, "DeviceID"), 1u);
    EXPECT_NE(uint_of(usb, "LocationID"), UINT64_MAX);
    EXPECT_NE(uint_of(usb, "ConnectionSpeed"), UINT64_MAX);
    EXPECT_EQ(plist_dict_get_item(usb, "NetworkAddress"), nullptr);

    plist_t net = plist_dict_get_item(plist_array_get_item(devices, 1), "Properties");
    EXPECT_EQ(string_of(net, "ConnectionType"), "Network");
    plist_t address = plist_dict_get_item(net, "NetworkAddress");
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(plist_get_node_type(address), PLIST_DATA);
}

TEST_F(MuxDaemonTest, ConnectHandsTheSocketToTheListeningDevice) {
    auto device = std::make_shared<EchoDevice>("UDID-1", false, std::set<uint16_t>{kLockdownPort});
    const uint32_t id = daemon_->add_device(device);

    int fd = usbmuxd_connect(id, kLockdownPort);
    ASSERT_GE(fd, 0);
    uint32_t sent = 0;
    ASSERT_EQ(usbmuxd_send(fd, "ping", 4, &sent), 0);
    char echoed[5] = {};
    uint32_t received = 0;
    EXPECT_EQ(usbmuxd_recv_timeout(fd, echoed, 4, &received, 10000), 0);
    EXPECT_STREQ(echoed, "ping");
    usbmuxd_disconnect(fd);
    EXPECT_EQ(device->served_ports(), std::vector<uint16_t>{kLockdownPort});
}

TEST_F(MuxDaemonTest, ConnectIsRefusedForClosedPortsAndUnknownDevices) {
    auto device = std::make_shared<EchoDevice>("UDID-1", false, std::set<uint16_t>{kLockdownPort});
    const uint32_t id = daemon_->add_device(device);
    EXPECT_EQ(usbmuxd_connect(id, 22), -ECONNREFUSED);
    EXPECT_LT(usbmuxd_connect(id + 1, kLockdownPort), 0);
    EXPECT_TRUE(device->served_ports().empty());
}

TEST_F(MuxDaemonTest, SystemBuidSurvivesARestartOnTheSameStateFolder) {
    char *first = nullptr;
    ASSERT_EQ(usbmuxd_read_buid(&first), 0);
    std::string buid = first;
    std::free(first);
    EXPECT_EQ(buid.size(), 36u);
    EXPECT_EQ(buid.find_first_not_of("0123456789ABCDEF-"), std::string::npos);

    daemon_->stop();
    start_daemon();
    char *second = nullptr;
    ASSERT_EQ(usbmuxd_read_buid(&second), 0);
    EXPECT_EQ(second, buid);
    std::free(second);
}

TEST_F(MuxDaemonTest, SavedRecordIsAPrivateBinaryPlist) {
    const char xml[] =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
        "<key>HostID</key><string>H</string></dict></plist>";
    ASSERT_EQ(usbmuxd_save_pair_record_with_device_id("UDID-1", 1, xml, sizeof xml - 1), 0);

    const std::string path = state_dir() + "/UDID-1.plist";
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.rfind("bplist00", 0), 0u);

    char *data = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(usbmuxd_read_pair_record("UDID-1", &data, &size), 0);
    EXPECT_EQ(std::string(data, size), bytes);
    std::free(data);
}

TEST_F(MuxDaemonTest, PairRecordIdsThatLeaveTheFolderAreRefused) {
    const char xml[] = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>";
    // Each of these would name a file outside the state folder or a hidden one.
    for (const char *id : {"../escape", "a/b", "..", ".hidden", "x/../../escape"}) {
        SCOPED_TRACE(id);
        EXPECT_NE(usbmuxd_save_pair_record_with_device_id(id, 0, xml, sizeof xml - 1), 0);
        char *data = nullptr;
        uint32_t size = 0;
        EXPECT_LT(usbmuxd_read_pair_record(id, &data, &size), 0);
        std::free(data);
        EXPECT_NE(usbmuxd_delete_pair_record(id), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.file("escape.plist")));
    EXPECT_TRUE(std::filesystem::is_empty(state_dir()));
}

TEST_F(MuxDaemonTest, HostileClientsAreDroppedWhileOthersAreServed) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    const std::string text = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string array_xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>";
    auto frame = [](uint32_t length, const std::string &body) {
        std::vector<uint8_t> out;
        for (uint32_t value : {length, 1u, 8u, 1u}) {
            for (int i = 0; i < 4; ++i) {
                out.push_back(static_cast<uint8_t>(value >> (8 * i)));
            }
        }
        out.insert(out.end(), body.begin(), body.end());
        return out;
    };
    const Case cases[] = {
        {"4 GiB length", frame(0xFFFFFFFF, "")},
        {"length shorter than the header", frame(4, "")},
        {"text instead of frames", std::vector<uint8_t>(text.begin(), text.end())},
        {"plist that is not a dictionary",
         frame(static_cast<uint32_t>(16 + array_xml.size()), array_xml)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        RawClient hostile;
        ASSERT_TRUE(hostile.connect(socket_path()));
        ASSERT_TRUE(hostile.send_bytes(c.bytes));
        EXPECT_TRUE(hostile.wait_closed());

        char *buid = nullptr;
        EXPECT_EQ(usbmuxd_read_buid(&buid), 0);
        std::free(buid);
    }
}

TEST_F(MuxDaemonTest, StalledClientIsDropped) {
    daemon_->stop();
    start_daemon(std::chrono::milliseconds(100));
    RawClient staller;
    ASSERT_TRUE(staller.connect(socket_path()));
    ASSERT_TRUE(staller.send_bytes({0x40, 0x00, 0x00}));  // a third of a header, then nothing
    EXPECT_TRUE(staller.wait_closed());
    char *buid = nullptr;
    EXPECT_EQ(usbmuxd_read_buid(&buid), 0);
    std::free(buid);
}

TEST_F(MuxDaemonTest, UnknownRequestGetsBadCommandAndTheConnectionStaysUsable) {
    RawClient client;
    ASSERT_TRUE(client.connect(socket_path()));
    ASSERT_TRUE(client.send_request(11, "Frobnicate"));
    auto result = client.read_message();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->tag, 11u);
    EXPECT_EQ(string_of(result->payload.get(), "MessageType"), "Result");
    EXPECT_EQ(uint_of(result->payload.get(), "Number"), 1u);

    ASSERT_TRUE(client.send_request(12, "ReadBUID"));
    auto buid = client.read_message();
    ASSERT_TRUE(buid);
    EXPECT_EQ(buid->tag, 12u);
    EXPECT_EQ(string_of(buid->payload.get(), "BUID").size(), 36u);
}

// Opens as the other raw-client tests do; each asks with its own tag and devices.
TEST_F(MuxDaemonTest, ListenersHearOfDevicesComingGoingAndRebooting) {
    const uint32_t first =
        daemon_->add_device(std::make_shared<EchoDevice>("UDID-1", false, std::set<uint16_t>{}));
    RawClient listener;
    ASSERT_TRUE(listener.connect(socket_path()));
    ASSERT_TRUE(listener.send_request(3, "Listen"));

    auto result = listener.read_message();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->tag, 3u);
    EXPECT_EQ(uint_of(result->payload.get(), "Number"), 0u);
    auto existing = listener.read_message();
    ASSERT_TRUE(existing);
    EXPECT_EQ(string_of(existing->payload.get(), "MessageType"), "Attached");
    EXPECT_EQ(uint_of(existing->payload.get(), "DeviceID"), first);

    const uint32_t second =
        daemon_->add_device(std::make_shared<EchoDevice>("UDID-2", true, std::set<uint16_t>{}));
    auto attached = listener.read_message();
    ASSERT_TRUE(attached);
    EXPECT_EQ(string_of(attached->payload.get(), "MessageType"), "Attached");
    EXPECT_EQ(uint_of(attached->payload.get(), "DeviceID"), second);

    ASSERT_TRUE(daemon_->remove_device(first));
    auto detached = listener.read_message();
    ASSERT_TRUE(detached);
    EXPECT_EQ(string_of(detached->payload.get(), "MessageType"), "Detached");
    EXPECT_EQ(uint_of(detached->payload.get(), "DeviceID"), first);

    // A reboot: gone at once, back after the downtime under a new ID; a
    // reboot cut short by stop() never comes back.
    const SimDevice *rebooting = nullptr;
    auto device = std::make_shared<EchoDevice>("UDID-3", false, std::set<uint16_t>{});
    rebooting = device.get();
    const uint32_t third = daemon_->add_device(std::move(device));
    ASSERT_TRUE(listener.read_message());
    ASSERT_TRUE(daemon_->reboot_device(rebooting, std::chrono::milliseconds(50)));
    auto gone = listener.read_message();
    ASSERT_TRUE(gone);
    EXPECT_EQ(string_of(gone->payload.get(), "MessageType"), "Detached");
    EXPECT_EQ(uint_of(gone->payload.get(), "DeviceID"), third);
    auto back = listener.read_message();
    ASSERT_TRUE(back);
    EXPECT_EQ(string_of(back->payload.get(), "MessageType"), "Attached");
    EXPECT_GT(uint_of(back->payload.get(), "DeviceID"), third);
    ASSERT_TRUE(daemon_->reboot_device(rebooting, std::chrono::hours(1)));

    daemon_->stop();
    EXPECT_TRUE(listener.wait_closed());
}

TEST_F(MuxDaemonTest, StopEndsDeviceSessionsItHandedOver) {
    auto device = std::make_shared<EchoDevice>("UDID-1", false, std::set<uint16_t>{kLockdownPort});
    const uint32_t id = daemon_->add_device(device);
    int fd = usbmuxd_connect(id, kLockdownPort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(device->wait_sessions_started(1));

    daemon_->stop();  // the device is blocked reading from an idle client
    EXPECT_EQ(device->sessions_ended(), 1);
    usbmuxd_disconnect(fd);
}

TEST_F(MuxDaemonTest, StartNeverReplacesAFileThatIsNotASocket) {
    daemon_->stop();
    const std::string path = dir_.file("not-a-socket");
    std::ofstream(path) << "precious";
    MuxDaemonOptions options;
    options.socket_path = path;
    options.state_dir = state_dir();
    MuxDaemon other(options);
    std::string error;
    EXPECT_FALSE(other.start(&error));
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

}  // namespace
}  // namespace tarvosim
