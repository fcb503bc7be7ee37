// The JSON progress lines of --progress-fd.
#include "progress_feed.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

// Long enough for a busy reader, short enough that a stuck one costs the
// backup little: the device gives up on a silent host after some seconds.
constexpr int kReaderPatienceMs = 2000;

int feed_fd = -1;
int shown_fd = -1;  // the number the user gave
bool percent_written = false;
double last_percent = 0;

void end_feed_with_warning(const char *why) {
    fprintf(stderr, "WARNING: progress descriptor %d %s; no more progress lines.\n", shown_fd, why);
    close(feed_fd);
    feed_fd = -1;
}

// Whole lines only: a line cut short would leave the reader a broken one.
// Each write waits for room first, with a bound.
void write_line(const nlohmann::ordered_json &line) {
    if (feed_fd < 0) {
        return;
    }
    const std::string text =
        line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    size_t done = 0;
    while (done < text.size()) {
        pollfd ready = {feed_fd, POLLOUT, 0};
        const int got = poll(&ready, 1, kReaderPatienceMs);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0) {
            end_feed_with_warning("stopped taking lines");
            return;
        }
        if (got < 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            end_feed_with_warning("was closed");
            return;
        }
        const ssize_t n = write(feed_fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            end_feed_with_warning(errno == EPIPE ? "was closed" : "cannot be written");
            return;
        }
    }
}

}  // namespace

bool progress_feed_start(int fd) {
    const int status_flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
    if (status_flags < 0 || (status_flags & O_ACCMODE) == O_RDONLY) {
        return false;
    }
    // A descriptor of our own, non-blocking, so that a stuck reader is
    // waited for with a bound; the caller's descriptor keeps its flags.
    std::string own_path = "/proc/self/fd/" + std::to_string(fd);
    int own = open(own_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_APPEND);
    if (own < 0) {
        // Sockets cannot be opened again by path: share the description;
        // the wait for room before each write still bounds a stuck reader
        // (lines are short, so room for one is room for all of it).
        own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (own < 0) {
            return false;
        }
    }
    feed_fd = own;
    shown_fd = fd;
    percent_written = false;
    return true;
}

bool progress_feed_on() {
    return feed_fd >= 0;
}

void progress_feed_percent(double percent) {
    if (feed_fd < 0 || (percent_written && percent == last_percent)) {
        return;
    }
    percent_written = true;
    last_percent = percent;
    write_line({{"event", "progress"}, {"percent", percent}});
}

void progress_feed_file(TransferDirection direction, const char *path, uint64_t bytes) {
    if (feed_fd < 0) {
        return;
    }
    write_line({{"event", "file"},
                {"direction", direction == TransferDirection::kReceived ? "received" : "sent"},
                {"path", path ? path : ""},
                {"bytes", bytes}});
}

void progress_feed_end(int status) {
    if (feed_fd < 0) {
        return;
    }
    write_line({{"event", "end"}, {"status", status}});
    if (feed_fd >= 0) {
        close(feed_fd);
        feed_fd = -1;
    }
}
