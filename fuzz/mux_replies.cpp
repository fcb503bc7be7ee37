// Fuzz target: the multiplexer daemon's replies as the library reads them
// (through libusbmuxd): a pair record, checked as any untrusted property
// list before it is parsed, and the system BUID. A fake daemon on a UNIX
// socket answers every connection with the fuzzer's bytes after input byte
// 0, which picks the call. The device lookup is left out: libusbmuxd's own
// lookup follows a null list when the listing is answered with an error
// result, which is the system library's fault, not this project's.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "plist_untrusted.h"
#include "userpref.h"

namespace {

constexpr std::size_t kMuxHeader = 16;
constexpr uint32_t kPlistProtocol = 1;
constexpr uint32_t kPlistMessage = 8;
constexpr int kWaitMs = 1000;

int g_listener = -1;
std::string g_socket_dir;

uint32_t get_le32(const uint8_t *in) {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

void put_le32(uint8_t *out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

bool wait_for(int fd, short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, kWaitMs) > 0;
}

bool read_exact(int fd, uint8_t *out, std::size_t count) {
    while (count > 0) {
        if (!wait_for(fd, POLLIN)) {
            return false;
        }
        const ssize_t n = ::recv(fd, out, count, 0);
        if (n <= 0) {
            return false;
        }
        out += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// The fake daemon's messages are sound, as a real daemon's are, since
// libusbmuxd trusts its daemon: every header covers itself and announces
// no more than the bytes that follow (libusbmuxd allocates what a header
// announces, less the header, before reading it), every message is a property-list message of the
// protocol version asked in (libusbmuxd misreads the other kinds as answers), and every payload
// passes the checks on untrusted property lists (libusbmuxd parses its messages unchecked, and
// libplist asserts on a string that holds U+0000). What they carry, the pair record inside above
// all, is the fuzzer's. False when the bytes cannot be made so.
bool make_sound(std::vector<uint8_t> *reply) {
    for (std::size_t at = 0; at + kMuxHeader <= reply->size();) {
        const auto length = static_cast<uint32_t>(
            std::min<std::size_t>(get_le32(&(*reply)[at]), reply->size() - at));
        if (length < kMuxHeader) {
            reply->resize(at);  // a header that does not even cover itself: no daemon sends one
            return true;
        }
        put_le32(&(*reply)[at], length);
        put_le32(&(*reply)[at + 4], kPlistProtocol);
        put_le32(&(*reply)[at + 8], kPlistMessage);
        const std::span<const uint8_t> payload(reply->data() + at + kMuxHeader,
                                               length - kMuxHeader);
        if (!payload.empty() && !tarvo::plist_body_is_safe(payload)) {
            return false;
        }
        at += length;
    }
    return true;
}

// One connection: the request, the reply with the request's tag in every
// header (as a real daemon echoes it), then whatever the client still sends
// until it closes (closing on unread bytes would reset the connection
// before the client read the reply).
void serve_one(int fd, std::vector<uint8_t> reply) {
    uint8_t header[kMuxHeader];
    uint32_t tag = 0;
    if (read_exact(fd, header, sizeof header)) {
        tag = get_le32(header + 12);
        std::vector<uint8_t> body(std::min<uint32_t>(get_le32(header), 1 << 16));
        if (body.size() > kMuxHeader) {
            read_exact(fd, body.data(), body.size() - kMuxHeader);
        }
    }
    for (std::size_t at = 0; at + kMuxHeader <= reply.size();) {
        const uint32_t length = get_le32(&reply[at]);
        put_le32(&reply[at + 12], tag);
        if (length < kMuxHeader) {
            break;
        }
        at += length;
    }
    std::size_t done = 0;
    while (done < reply.size() && wait_for(fd, POLLOUT)) {
        const ssize_t n = ::send(fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    uint8_t scratch[4096];
    while (wait_for(fd, POLLIN) && ::recv(fd, scratch, sizeof scratch, 0) > 0) {
    }
}

// The daemon runs for the whole process; each input swaps in its reply.
std::mutex g_reply_mutex;
std::vector<uint8_t> g_reply;

void serve() {
    for (;;) {
        pollfd p{g_listener, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        const int fd = ::accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::vector<uint8_t> reply;
        {
            std::lock_guard<std::mutex> lock(g_reply_mutex);
            reply = g_reply;
        }
        serve_one(fd, std::move(reply));
        ::close(fd);
    }
}

void remove_socket() {
    ::unlink((g_socket_dir + "/mux.sock").c_str());
    ::rmdir(g_socket_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char dir[] = "/tmp/tarvo-fuzz-mux-XXXXXX";
    tarvo_fuzz::fuzz_check(::mkdtemp(dir) != nullptr, "a scratch folder can be made");
    g_socket_dir = dir;
    const std::string path = g_socket_dir + "/mux.sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    g_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    tarvo_fuzz::fuzz_check(
        g_listener >= 0 &&
            ::bind(g_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            ::listen(g_listener, 16) == 0,
        "the fake daemon listens");
    std::atexit(remove_socket);
    ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + path).c_str(), 1);
    std::thread(serve).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > tarvo_fuzz::kMaxSocketInput) {
        return 0;
    }
    std::vector<uint8_t> reply(data + 1, data + size);
    if (!make_sound(&reply)) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(g_reply_mutex);
        g_reply = std::move(reply);
    }
    // Each call below returns once the daemon has answered and the client
    // has closed its connection, so no answer outlives its input.
    if (data[0] % 2 == 0) {
        plist_t record = nullptr;
        if (userpref_read_pair_record("00008030-001A35E22E85802E", &record) == USERPREF_E_SUCCESS) {
            tarvo_fuzz::fuzz_check(record != nullptr, "a record that was read is there");
            plist_free(record);
        }
    } else {
        char *buid = nullptr;
        userpref_read_system_buid(&buid);
        std::free(buid);
    }
    return 0;
}
