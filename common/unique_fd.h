/*
 * UniqueFd: sole owner of a POSIX file descriptor, closed when the owner goes.
 */
#ifndef TARVO_COMMON_UNIQUE_FD_H
#define TARVO_COMMON_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    /// Gives up ownership without closing; returns the descriptor (or -1).
    int release() { return std::exchange(fd_, -1); }

    void reset(int fd = -1) {
        int old = std::exchange(fd_, fd);
        if (old >= 0) {
            ::close(old);
        }
    }

  private:
    int fd_ = -1;
};

#endif
