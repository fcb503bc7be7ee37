// Test support for code that talks to the simulated multiplexer daemon: a
// temporary folder, a raw protocol client for hostile and low-level
// exchanges, and an echoing SimDevice. Header-only, shared by the test
// binaries of the daemon and of the pair-record store.
#ifndef TARVO_TESTS_SIM_SIM_TEST_SUPPORT_H
#define TARVO_TESTS_SIM_SIM_TEST_SUPPORT_H

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mux_daemon.h"
#include "mux_wire.h"
#include "plist_items.h"
#include "unique_fd.h"

namespace tarvosim::testing {

// Generous upper bound for any wait in a test; a healthy run never gets near.
inline constexpr std::chrono::milliseconds kTestWait{10000};

/// A fresh folder under /tmp, removed with everything in it. Short paths
/// keep UNIX socket names within their size limit.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/tarvo-XXXXXX";
        const char *made = ::mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

/// Speaks the daemon's framing directly, for requests and misbehaviour that
/// the client library never produces.
class RawClient {
  public:
    bool connect(const std::string &socket_path) {
        fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
        return fd_ &&
               ::connect(fd_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }

    bool send_bytes(const std::vector<uint8_t> &bytes) {
        return ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    bool send_request(uint32_t tag, const char *message_type) {
        PlistPtr request(plist_new_dict());
        plist_dict_set_item(request.get(), "MessageType", plist_new_string(message_type));
        return send_bytes(mux_encode_plist(tag, request.get()));
    }

    /// The next message, or nothing if the daemon closed, sent something
    /// undecodable or said nothing within kTestWait.
    std::optional<MuxMessage> read_message() {
        const auto deadline = std::chrono::steady_clock::now() + kTestWait;
        for (;;) {
            MuxMessage message;
            MuxDecodeResult result = decoder_.next(&message);
            if (result == MuxDecodeResult::kMessage) {
                return message;
            }
            if (result != MuxDecodeResult::kNeedMore || !read_some(deadline)) {
                return std::nullopt;
            }
        }
    }

    /// True once the daemon has closed the connection (within kTestWait).
    bool wait_closed() {
        const auto deadline = std::chrono::steady_clock::now() + kTestWait;
        for (;;) {
            pollfd pfd{fd_.get(), POLLIN, 0};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char scratch[4096];
            ssize_t n = ::recv(fd_.get(), scratch, sizeof scratch, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                return true;
            }
        }
    }

  private:
    bool read_some(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd_.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        uint8_t chunk[4096];
        ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        decoder_.feed(std::span<const uint8_t>(chunk, static_cast<std::size_t>(n)));
        return true;
    }

    UniqueFd fd_;
    MuxDecoder decoder_;
};

inline std::string string_of(plist_t dict, const char *key) {
    return tarvo::string_item(dict, key).value_or("<missing>");
}

inline uint64_t uint_of(plist_t dict, const char *key) {
    return tarvo::uint_item(dict, key).value_or(UINT64_MAX);
}

/// Echoes whatever a client sends on any of its ports until the connection
/// ends, and records what it served.
class EchoDevice : public SimDevice {
  public:
    EchoDevice(std::string udid, bool network, std::set<uint16_t> ports)
        : udid_(std::move(udid)), network_(network), ports_(std::move(ports)) {}

    std::string udid() const override { return udid_; }
    bool is_network() const override { return network_; }
    bool listens_on(uint16_t port) const override { return ports_.count(port) != 0; }

    void serve(uint16_t port, UniqueFd connection) override {
        {
            std::lock_guard lock(mutex_);
            served_ports_.push_back(port);
            ++sessions_started_;
        }
        changed_.notify_all();
        char buffer[256];
        for (;;) {
            ssize_t n = ::read(connection.get(), buffer, sizeof buffer);
            if (n <= 0 || ::write(connection.get(), buffer, static_cast<std::size_t>(n)) != n) {
                break;
            }
        }
        {
            std::lock_guard lock(mutex_);
            ++sessions_ended_;
        }
        changed_.notify_all();
    }

    bool wait_sessions_started(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kTestWait, [&] { return sessions_started_ >= count; });
    }
    int sessions_ended() const {
        std::lock_guard lock(mutex_);
        return sessions_ended_;
    }
    std::vector<uint16_t> served_ports() const {
        std::lock_guard lock(mutex_);
        return served_ports_;
    }

  private:
    const std::string udid_;
    const bool network_;
    const std::set<uint16_t> ports_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint16_t> served_ports_;
    int sessions_started_ = 0;
    int sessions_ended_ = 0;
};

}  // namespace tarvosim::testing

#endif
