/*
 * write_all: every byte to a file descriptor, through short writes and
 * interruptions, for the simulator's files and sockets.
 */
#ifndef TARVO_SIM_WRITE_ALL_H
#define TARVO_SIM_WRITE_ALL_H

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>

namespace tarvosim {

/// False when a write fails or writes nothing.
inline bool write_all(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace tarvosim

#endif
