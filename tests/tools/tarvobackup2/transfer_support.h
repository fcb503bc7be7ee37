/*
 * Helpers of the file-transfer tests: a host channel over one end of a
 * socket pair whose other end plays the device (a thread feeding the raw
 * stream, another collecting what the host sends), builders for the
 * transfer framing, and a scratch backup directory with a neighbour folder
 * outside it that hostile paths aim at.
 */
#ifndef TARVO_TESTS_TARVOBACKUP2_TRANSFER_SUPPORT_H
#define TARVO_TESTS_TARVOBACKUP2_TRANSFER_SUPPORT_H

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backup_channel.h"
#include "owners.h"
#include "signals_and_notifications.h"
#include "test_support.h"

namespace transfer_test {

// Every wait of the host channel and the device threads ends by itself.
constexpr int kWaitMs = 5000;

struct StatusResponse {
    int code;
    std::string text;  // "(none)" for a null text
    PlistPtr value;    // null when none was given
};

inline std::string xml_of(plist_t node) {
    if (!node) {
        return "(none)";
    }
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    CString owned(xml);
    return owned ? std::string(owned.get(), length) : "";
}

// Waits for `events` on `fd`; false when `ms` passed first.
inline bool wait_for(int fd, short events, int ms) {
    struct pollfd p = {fd, events, 0};
    int n;
    do {
        n = poll(&p, 1, ms);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

// The host's side: raw bytes over a socket with bounded waits (like the
// library: a wait for the first byte, then one per further piece), status
// responses kept for the test.
class SocketChannel : public BackupChannel {
  public:
    explicit SocketChannel(int fd) : fd_(fd) {}

    int receive_message(plist_t *, char **) override { return MOBILEBACKUP2_E_MUX_ERROR; }

    int send_status_response(int code, const char *text, plist_t value) override {
        responses.push_back(
            {code, text ? text : "(none)", PlistPtr(value ? plist_copy(value) : nullptr)});
        return status_result;
    }

    int send_raw(const char *data, uint32_t length, uint32_t *sent) override {
        *sent = 0;
        while (*sent < length) {
            if (!wait_for(fd_, POLLOUT, kWaitMs)) {
                return MOBILEBACKUP2_E_MUX_ERROR;
            }
            const ssize_t n = ::send(fd_, data + *sent, length - *sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return MOBILEBACKUP2_E_MUX_ERROR;
            }
            *sent += static_cast<uint32_t>(n);
        }
        return 0;
    }

    int receive_raw(char *data, uint32_t length, uint32_t *received) override {
        *received = 0;
        ++receive_calls;
        while (*received < length) {
            if (!wait_for(fd_, POLLIN, *received == 0 ? first_byte_ms : kWaitMs)) {
                if (*received == 0) {
                    ++timeouts;
                    if (on_timeout) {
                        on_timeout(timeouts);
                    }
                    return MOBILEBACKUP2_E_RECEIVE_TIMEOUT;
                }
                return MOBILEBACKUP2_E_MUX_ERROR;
            }
            const ssize_t n = ::recv(fd_, data + *received, length - *received, 0);
            if (n <= 0) {
                return MOBILEBACKUP2_E_MUX_ERROR;
            }
            *received += static_cast<uint32_t>(n);
            total_received += static_cast<uint64_t>(n);
            if (quit_after_bytes && total_received >= quit_after_bytes && quit_flag == 0) {
                ++quit_flag;
            }
        }
        return 0;
    }

    std::vector<StatusResponse> responses;
    int status_result = 0;
    int first_byte_ms = kWaitMs;
    int timeouts = 0;
    int receive_calls = 0;
    uint64_t total_received = 0;
    // Raises quit_flag once this many bytes have been received (0: never).
    uint64_t quit_after_bytes = 0;
    std::function<void(int)> on_timeout;

  private:
    int fd_;
};

// A socket pair: the host channel on one end, the device on the other.
class DevicePeer {
  public:
    DevicePeer() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        host_fd_ = fds[0];
        device_fd_ = fds[1];
        channel = std::make_unique<SocketChannel>(host_fd_);
        reader_ = std::thread([this] { collect_from_host(); });
    }
    ~DevicePeer() {
        finish();
        if (device_fd_ >= 0) {
            close(device_fd_);
        }
    }

    // The device sends `bytes` (from a thread, so that streams larger than
    // the socket buffer work), then closes its sending side when asked.
    void send(std::string bytes, bool close_after = true) {
        send_parts({std::move(bytes)}, 0, close_after);
    }

    // The same in parts, with a pause of `pause_ms` between two parts.
    void send_parts(std::vector<std::string> parts, int pause_ms, bool close_after = true) {
        writer_ = std::thread([this, parts = std::move(parts), pause_ms, close_after] {
            for (size_t i = 0; i < parts.size(); ++i) {
                if (i > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
                }
                if (!send_all(parts[i])) {
                    break;
                }
            }
            if (close_after) {
                shutdown(device_fd_, SHUT_WR);
            }
        });
    }

    // Ends the host's side and returns everything the host sent.
    const std::string &from_host() {
        finish();
        return from_host_;
    }

    // The device drops the connection: whatever the host sends fails.
    void device_gone() {
        shutdown(device_fd_, SHUT_RDWR);
        if (reader_.joinable()) {
            reader_.join();
        }
    }

    std::unique_ptr<SocketChannel> channel;

  private:
    bool send_all(const std::string &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            if (!wait_for(device_fd_, POLLOUT, kWaitMs)) {
                return false;
            }
            const ssize_t n =
                ::send(device_fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    void collect_from_host() {
        char buffer[65536];
        while (wait_for(device_fd_, POLLIN, kWaitMs)) {
            const ssize_t n = ::recv(device_fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            from_host_.append(buffer, static_cast<size_t>(n));
        }
    }

    void finish() {
        if (host_fd_ >= 0) {
            // Closing the host's end ends both device threads: the reader
            // sees the end, a writer still blocked gets an error.
            shutdown(host_fd_, SHUT_RDWR);
            close(host_fd_);
            host_fd_ = -1;
        }
        if (writer_.joinable()) {
            writer_.join();
        }
        if (reader_.joinable()) {
            reader_.join();
        }
    }

    int host_fd_ = -1;
    int device_fd_ = -1;
    std::thread reader_;
    std::thread writer_;
    std::string from_host_;
};

// The transfer framing.
inline std::string be32(uint32_t value) {
    std::string bytes(4, '\0');
    bytes[0] = static_cast<char>(value >> 24);
    bytes[1] = static_cast<char>(value >> 16);
    bytes[2] = static_cast<char>(value >> 8);
    bytes[3] = static_cast<char>(value);
    return bytes;
}
inline std::string name_field(const std::string &name) {
    return be32(static_cast<uint32_t>(name.size())) + name;
}
inline std::string frame(uint8_t code, const std::string &payload = "") {
    return be32(static_cast<uint32_t>(payload.size() + 1)) + static_cast<char>(code) + payload;
}
inline const std::string kEndOfStream = be32(0);
inline const std::string kOkFrame = frame(0x00);

// One uploaded file: names, data frames of at most `block` bytes, OK frame.
inline std::string upload_entry(const std::string &local_path, const std::string &content,
                                size_t block = 32768) {
    std::string stream = name_field("/var/mobile/" + local_path) + name_field(local_path);
    for (size_t at = 0; at < content.size(); at += block) {
        stream += frame(0x0C, content.substr(at, block));
    }
    return stream + kOkFrame;
}

inline std::string pattern(size_t size, int seed = 0) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) % 251);
    }
    return bytes;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A scratch folder holding "backup" (the backup directory) and "outside"
// (a neighbour with a file and a folder that no device path may reach).
class BackupScratch {
  public:
    BackupScratch() {
        char pattern_path[] = "/tmp/tarvo-transfer-XXXXXX";
        const char *made = mkdtemp(pattern_path);
        base = made ? made : "";
        backup = base + "/backup";
        outside = base + "/outside";
        std::filesystem::create_directories(backup);
        std::filesystem::create_directories(outside + "/folder");
        write_file(outside + "/secret", "outside content");
        write_file(outside + "/folder/inner", "inner content");
    }
    ~BackupScratch() {
        std::error_code ignored;
        std::filesystem::permissions(base, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(base, ignored);
    }
    std::string in_backup(const std::string &relative) const { return backup + "/" + relative; }

    // Every entry below `outside` with its type, size and content, to see
    // that nothing there changed.
    std::map<std::string, std::string> outside_snapshot() const {
        std::map<std::string, std::string> snapshot;
        std::error_code ignored;
        for (auto it = std::filesystem::recursive_directory_iterator(outside, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            const std::string path = it->path().string();
            struct stat st;
            lstat(path.c_str(), &st);
            snapshot[path] = std::to_string(st.st_mode) + ":" + std::to_string(st.st_size) + ":" +
                             (S_ISREG(st.st_mode) ? read_file(path) : "");
        }
        return snapshot;
    }

    std::string base;
    std::string backup;
    std::string outside;
};

}  // namespace transfer_test

#endif
