// A device played by hand on the far end of a socket pair: the library's
// service clients get the near end as their connection. The peer's own
// reads and writes give up after a few seconds, so a library that stops
// talking fails the test instead of hanging it.
#ifndef TARVO_TESTS_LIBTARVO_SCRIPTED_PEER_H
#define TARVO_TESTS_LIBTARVO_SCRIPTED_PEER_H

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../support/plist_text.h"
#include "libtarvo/afc_packet.h"
#include "libtarvo/connection.h"
#include "libtarvo/device_link.h"
#include "libtarvo/plist_frame.h"
#include "owners.h"
#include "plist_items.h"

namespace libtarvo {

class ScriptedPeer {
  public:
    ScriptedPeer() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        near_ = fds[0];
        peer_ = fds[1];
        struct timeval tv = {5, 0};
        ::setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        ::setsockopt(peer_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    }
    ~ScriptedPeer() {
        join();
        close();
        if (near_ >= 0) {
            ::close(near_);
        }
    }

    /// The library's end, as a connection (once).
    std::unique_ptr<Connection> connection() {
        int fd = near_;
        near_ = -1;
        return std::make_unique<Connection>(fd);
    }

    /// Runs `script` on a thread of its own; joined by join() or the destructor.
    void run(std::function<void(ScriptedPeer &)> script) {
        thread_ = std::thread([this, script = std::move(script)] { script(*this); });
    }
    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    bool write(std::span<const uint8_t> bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(peer_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool read_exact(std::span<uint8_t> out) {
        std::size_t done = 0;
        while (done < out.size()) {
            ssize_t n = ::recv(peer_, out.data() + done, out.size() - done, 0);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    /// True once the library's end is closed (nothing more arrives).
    bool sees_end() {
        uint8_t byte;
        return ::recv(peer_, &byte, 1, 0) == 0;
    }
    void close() {
        if (peer_ >= 0) {
            ::close(peer_);
            peer_ = -1;
        }
    }

    // --- device-link messages ---
    bool write_message(plist_t message) {
        std::vector<uint8_t> frame;
        return encode_device_link_frame(message, &frame) == Status::kOk && write(frame);
    }
    PlistPtr read_message() {
        uint8_t header[4];
        if (!read_exact(header)) {
            return nullptr;
        }
        std::vector<uint8_t> body((uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                                  (uint32_t{header[2]} << 8) | header[3]);
        if (!read_exact(body)) {
            return nullptr;
        }
        plist_t node = nullptr;
        plist_from_memory(reinterpret_cast<const char *>(body.data()),
                          static_cast<uint32_t>(body.size()), &node);
        return PlistPtr(node);
    }

    // --- lockdown-framed property lists ---
    bool write_plist(plist_t node) {
        std::vector<uint8_t> frame;
        return encode_plist_frame(node, PlistFormat::kXml, &frame) == Status::kOk && write(frame);
    }
    PlistPtr read_plist() { return read_message(); }  // same framing

    // --- AFC ---
    struct Request {
        AfcHeader header;
        std::vector<uint8_t> header_data;
        std::vector<uint8_t> payload;
    };
    bool read_afc_request(Request *request) {
        uint8_t head[kAfcHeaderSize];
        if (!read_exact(head)) {
            return false;
        }
        uint64_t fields[5];
        for (int f = 0; f < 5; ++f) {
            fields[f] = 0;
            for (int i = 7; i >= 0; --i) {
                fields[f] = (fields[f] << 8) | head[f * 8 + i];
            }
        }
        request->header = {fields[1], fields[2], fields[3], fields[4]};
        request->header_data.resize(fields[2] - kAfcHeaderSize);
        request->payload.resize(fields[1] - fields[2]);
        return read_exact(request->header_data) && read_exact(request->payload);
    }
    bool write_afc(uint64_t packet, AfcOperation operation, std::span<const uint8_t> header_data,
                   std::span<const uint8_t> payload = {}) {
        return write(encode_afc_packet(packet, operation, header_data, payload));
    }
    bool write_afc_status(uint64_t packet, uint64_t code) {
        std::vector<uint8_t> data;
        append_afc_u64(code, &data);
        return write_afc(packet, AfcOperation::kStatus, data);
    }

  private:
    int near_ = -1;
    int peer_ = -1;
    std::thread thread_;
};

using plist_text::from_xml;
using plist_text::xml_of;

// Deep equality, through the XML both serialise to.
inline bool same_plist(plist_t a, plist_t b) {
    return a && b && xml_of(a) == xml_of(b);
}

inline PlistPtr dl_message(std::initializer_list<plist_t> items) {
    PlistPtr array(plist_new_array());
    for (plist_t item : items) {
        plist_array_append_item(array.get(), item);
    }
    return array;
}

inline std::string string_at(plist_t array, uint32_t index) {
    return tarvo::string_at(array, index).value_or("");
}

inline std::string string_item(plist_t dict, const char *key) {
    return tarvo::string_item(dict, key).value_or("");
}

}  // namespace libtarvo

#endif
