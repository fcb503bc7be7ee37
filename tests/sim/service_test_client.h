// Test support for the services of simulated devices: a host that pairs,
// opens a lockdown session and starts services over the real socket, and
// raw helpers for the services' framings (plist frames, device-link
// messages, AFC packets, raw bytes). Every wait is bounded by kClientWait.
#ifndef TARVO_TESTS_SIM_SERVICE_TEST_CLIENT_H
#define TARVO_TESTS_SIM_SERVICE_TEST_CLIENT_H

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <usbmuxd.h>

#include <memory>
#include <string>
#include <vector>

#include "afc_packet.h"
#include "lockdown_test_client.h"
#include "plist_items.h"
#include "sim_harness.h"
#include "sim_test_support.h"

namespace tarvosim::testing {

inline constexpr const char *kIphoneUdid = "00008120-001A2B3C4D5E6F7A";
inline constexpr const char *kTestHostId = "5C8F5D2E-4B0A-4E59-9B8E-8D6A1F3C2B71";
inline constexpr const char *kTestBuid = "0E1D2C3B-4A59-4687-9A8B-7C6D5E4F3A21";

inline std::string plist_string(plist_t node) {
    return tarvo::string_value(node).value_or("<not a string>");
}

inline uint64_t plist_uint(plist_t node) {
    return tarvo::uint_value(node).value_or(~uint64_t{0});
}

inline std::vector<uint8_t> bytes_of(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

/// Fills `out` from a plain service connection; false when it ends first.
inline bool read_exact(LockdownTestClient &client, uint8_t *out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::recv(client.fd(), out + done, size - done, 0);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

inline std::vector<uint8_t> read_bytes(LockdownTestClient &client, std::size_t size) {
    std::vector<uint8_t> bytes(size);
    if (!read_exact(client, bytes.data(), size)) {
        bytes.clear();
    }
    return bytes;
}

/// A device-link message as a host sends it: binary plist framing.
inline bool send_dl(LockdownTestClient &client, plist_t message) {
    char *bin = nullptr;
    uint32_t size = 0;
    plist_to_bin(message, &bin, &size);
    std::vector<uint8_t> frame = {static_cast<uint8_t>(size >> 24),
                                  static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8),
                                  static_cast<uint8_t>(size)};
    frame.insert(frame.end(), bin, bin + size);
    plist_to_bin_free(bin);
    return client.send_bytes(frame);
}

/// ["name", args...]; the arguments are taken over.
inline PlistPtr dl(const char *name, std::initializer_list<plist_t> args = {}) {
    PlistPtr message(plist_new_array());
    plist_array_append_item(message.get(), plist_new_string(name));
    for (plist_t arg : args) {
        plist_array_append_item(message.get(), arg);
    }
    return message;
}

struct AfcReply {
    uint64_t number = 0;
    AfcOperation operation{};
    std::vector<uint8_t> header_data;
    std::vector<uint8_t> payload;
    bool ok = false;  // a whole packet arrived

    /// The status code of a status packet; ~0 for anything else.
    uint64_t status() const {
        AfcArgs args(header_data);
        uint64_t code = ~uint64_t{0};
        return operation == AfcOperation::kStatus && args.u64(&code) ? code : ~uint64_t{0};
    }
    /// NUL-separated strings of a data packet.
    std::vector<std::string> strings() const {
        std::vector<std::string> out;
        AfcArgs args(payload);
        std::string text;
        while (args.c_string(&text)) {
            out.push_back(text);
        }
        return out;
    }
};

/// One AFC connection of a test.
class AfcTestClient {
  public:
    explicit AfcTestClient(std::unique_ptr<LockdownTestClient> link) : link_(std::move(link)) {}

    LockdownTestClient &link() { return *link_; }

    AfcReply request(AfcOperation operation, const std::vector<uint8_t> &header_data,
                     const std::vector<uint8_t> &payload = {}) {
        const std::vector<uint8_t> packet =
            encode_afc_packet(++number_, operation, header_data, payload);
        if (!link_->send_bytes(packet)) {
            return {};
        }
        return receive();
    }

    AfcReply receive() {
        AfcReply reply;
        std::vector<uint8_t> header = read_bytes(*link_, kAfcHeaderSize);
        if (header.size() != kAfcHeaderSize) {
            return reply;
        }
        AfcArgs fields(std::span<const uint8_t>(header).subspan(8));
        uint64_t entire = 0;
        uint64_t this_length = 0;
        uint64_t operation = 0;
        fields.u64(&entire);
        fields.u64(&this_length);
        fields.u64(&reply.number);
        fields.u64(&operation);
        reply.operation = static_cast<AfcOperation>(operation);
        if (this_length < kAfcHeaderSize || entire < this_length || entire > kMaxAfcPacketSize) {
            return reply;
        }
        reply.header_data = read_bytes(*link_, this_length - kAfcHeaderSize);
        reply.payload = read_bytes(*link_, entire - this_length);
        reply.ok = reply.header_data.size() == this_length - kAfcHeaderSize &&
                   reply.payload.size() == entire - this_length;
        return reply;
    }

    static std::vector<uint8_t> path(const std::string &text) {
        std::vector<uint8_t> bytes = bytes_of(text);
        bytes.push_back(0);
        return bytes;
    }
    static std::vector<uint8_t> u64s(std::initializer_list<uint64_t> values) {
        std::vector<uint8_t> bytes;
        for (uint64_t value : values) {
            append_u64le(&bytes, value);
        }
        return bytes;
    }

    /// Opens a file: its handle, or 0 with *status set.
    uint64_t open(const std::string &file, uint64_t mode, uint64_t *status = nullptr) {
        std::vector<uint8_t> args = u64s({mode});
        const std::vector<uint8_t> name = path(file);
        args.insert(args.end(), name.begin(), name.end());
        AfcReply reply = request(AfcOperation::kFileOpen, args);
        if (status) {
            *status = reply.operation == AfcOperation::kFileOpenResult ? 0 : reply.status();
        }
        uint64_t handle = 0;
        AfcArgs result(reply.header_data);
        return reply.operation == AfcOperation::kFileOpenResult && result.u64(&handle) ? handle : 0;
    }
    uint64_t write(uint64_t handle, std::string_view data) {
        return request(AfcOperation::kFileWrite, u64s({handle}), bytes_of(data)).status();
    }
    std::string read(uint64_t handle, uint64_t length) {
        AfcReply reply = request(AfcOperation::kFileRead, u64s({handle, length}));
        return reply.operation == AfcOperation::kData
                   ? std::string(reply.payload.begin(), reply.payload.end())
                   : "<status " + std::to_string(reply.status()) + ">";
    }
    uint64_t close(uint64_t handle) {
        return request(AfcOperation::kFileClose, u64s({handle})).status();
    }
    uint64_t lock(uint64_t handle, uint64_t operation) {
        return request(AfcOperation::kFileLock, u64s({handle, operation})).status();
    }
    /// A path operation answered by a status packet.
    uint64_t on_path(AfcOperation operation, const std::string &file) {
        return request(operation, path(file)).status();
    }
    /// Whole content of a file, or "<status N>".
    std::string contents(const std::string &file) {
        uint64_t status = 0;
        const uint64_t handle = open(file, 1, &status);
        if (!handle) {
            return "<status " + std::to_string(status) + ">";
        }
        std::string text = read(handle, 1 << 20);
        close(handle);
        return text;
    }

  private:
    std::unique_ptr<LockdownTestClient> link_;
    uint64_t number_ = 0;
};

/// A paired host with a lockdown session on a simulated device.
class ServiceHost {
  public:
    /// Starts the simulator with these fixtures (empty: fixtures/iphone),
    /// pairs with `udid` and opens a session. Failures are test failures.
    void start(const std::vector<std::string> &fixtures = {},
               const std::string &udid = kIphoneUdid) {
        sim_ = std::make_unique<SimHarness>(fixtures);
        ASSERT_TRUE(sim_->ok()) << sim_->error();
        usbmuxd_device_info_t device{};
        ASSERT_GT(usbmuxd_get_device(udid.c_str(), &device, DEVICE_LOOKUP_USBMUX), 0);
        handle_ = device.handle;
        ASSERT_TRUE(lockdown_.connect(udid));
        Received key = lockdown_.request("GetValue", key_request("DevicePublicKey"));
        record_ = make_host_pair_record(data_of(key.item("Value")), kTestHostId, kTestBuid);
        ASSERT_TRUE(record_);
        plist_t pair = plist_new_dict();
        plist_dict_set_item(pair, "PairRecord", plist_copy(record_.get()));
        Received paired = lockdown_.request("Pair", pair);
        ASSERT_EQ(paired.error(), "<missing>");
        escrow_bag_ = data_of(paired.item("EscrowBag"));
        plist_t session = plist_new_dict();
        plist_dict_set_item(session, "HostID", plist_new_string(kTestHostId));
        plist_dict_set_item(session, "SystemBUID", plist_new_string(kTestBuid));
        ASSERT_EQ(lockdown_.request("StartSession", session).error(), "<missing>");
        std::string error;
        ASSERT_TRUE(lockdown_.start_tls(record_.get(), &error)) << error;
    }

    /// StartService's answer; with the pairing's escrow bag when asked.
    Received start_service(const char *name, bool with_escrow_bag = false) {
        plist_t request = plist_new_dict();
        plist_dict_set_item(request, "Service", plist_new_string(name));
        if (with_escrow_bag) {
            plist_dict_set_item(request, "EscrowBag",
                                plist_new_data(reinterpret_cast<const char *>(escrow_bag_.data()),
                                               escrow_bag_.size()));
        }
        return lockdown_.request("StartService", request);
    }

    /// Starts the service and connects to its port (null on failure).
    std::unique_ptr<LockdownTestClient> connect(const char *name, bool with_escrow_bag = false) {
        Received started = start_service(name, with_escrow_bag);
        const uint64_t port = plist_uint(started.item("Port"));
        EXPECT_EQ(started.error(), "<missing>") << name;
        const bool use_tls = tarvo::bool_value(started.item("EnableServiceSSL")).value_or(true);
        EXPECT_FALSE(use_tls) << name << " runs without TLS, as on devices";
        auto client = std::make_unique<LockdownTestClient>();
        if (port == 0 || port > 0xFFFF ||
            !client->connect_port(handle_, static_cast<uint16_t>(port))) {
            ADD_FAILURE() << "cannot connect to " << name;
            return nullptr;
        }
        return client;
    }

    SimHarness &sim() { return *sim_; }
    LockdownTestClient &lockdown() { return lockdown_; }
    const std::vector<uint8_t> &escrow_bag() const { return escrow_bag_; }
    /// The device's media folder in the state folder.
    std::string media_dir(const std::string &udid = kIphoneUdid) const {
        return sim_->state_dir() + "/devices/" + udid + "/afc";
    }

  private:
    static plist_t key_request(const char *key) {
        plist_t request = plist_new_dict();
        plist_dict_set_item(request, "Key", plist_new_string(key));
        return request;
    }

    std::unique_ptr<SimHarness> sim_;
    uint32_t handle_ = 0;
    LockdownTestClient lockdown_;
    PlistPtr record_;
    std::vector<uint8_t> escrow_bag_;
};

}  // namespace tarvosim::testing

#endif
