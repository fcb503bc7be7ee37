/*
 * What the fuzz targets share. PreloadedSocket: a socket pair whose far end
 * has already sent the fuzzer's bytes and closed its sending side, so that
 * code reading a peer meets exactly those bytes and then the end of the
 * stream, with no thread and no wait. What the code sends back stays unread
 * in the far end's buffer. fuzz_check(): a failed invariant is a crash the
 * fuzzer keeps.
 */
#ifndef TARVO_FUZZ_FUZZ_SUPPORT_H
#define TARVO_FUZZ_FUZZ_SUPPORT_H

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace tarvo_fuzz {

/// Inputs of the socket targets must fit the socket's buffer, since they
/// are written before the code under test reads; longer ones are skipped.
inline constexpr std::size_t kMaxSocketInput = 64 * 1024;

inline void fuzz_check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

class PreloadedSocket {
  public:
    explicit PreloadedSocket(std::span<const uint8_t> bytes) {
        int fds[2];
        if (bytes.size() > kMaxSocketInput ||
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            return;
        }
        near_ = fds[0];
        far_ = fds[1];
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::send(far_, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;  // did not fit: ok() stays false
            }
            done += static_cast<std::size_t>(n);
        }
        ::shutdown(far_, SHUT_WR);
        ok_ = true;
    }
    ~PreloadedSocket() {
        for (int fd : {near_, far_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    PreloadedSocket(const PreloadedSocket &) = delete;
    PreloadedSocket &operator=(const PreloadedSocket &) = delete;

    bool ok() const { return ok_; }
    /// The end the code under test reads; the caller owns it from now on.
    int take_near() {
        const int fd = near_;
        near_ = -1;
        return fd;
    }

  private:
    int near_ = -1;
    int far_ = -1;
    bool ok_ = false;
};

}  // namespace tarvo_fuzz

#endif
