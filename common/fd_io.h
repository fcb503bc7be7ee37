/*
 * Writing a whole buffer to a file descriptor, through short writes and
 * interrupted ones.
 */
#ifndef TARVO_COMMON_FD_IO_H
#define TARVO_COMMON_FD_IO_H

#include <errno.h>
#include <unistd.h>

#include <cstddef>

namespace tarvo {

/// False with errno set when a write fails; a write that takes nothing
/// counts as EIO rather than being retried for ever.
inline bool write_whole(int fd, const void *data, std::size_t size) {
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, at, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace tarvo

#endif
