// The decrypted manifest's temporary file and its removal on signals.
#include "private_temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace browse {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// Read by the handler: written before the handlers go in, cleared after
// they are out.
char pending_path[PATH_MAX];
volatile sig_atomic_t pending = 0;
struct sigaction previous[kSignalCount];

// Only async-signal-safe calls. The previous handler is put back and the
// signal raised again, so the process ends (or goes on) as it would have.
void unlink_then_pass_on(int sig) {
    const int saved_errno = errno;
    if (pending) {
        unlink(pending_path);
        pending = 0;
    }
    for (int i = 0; i < kSignalCount; ++i) {
        if (kSignals[i] == sig) {
            sigaction(sig, &previous[i], nullptr);
        }
    }
    raise(sig);
    errno = saved_errno;
}

void guard_signals() {
    struct sigaction action = {};
    action.sa_handler = unlink_then_pass_on;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], &action, &previous[i]);
    }
}

void release_signals() {
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], &previous[i], nullptr);
    }
}

std::string temp_folder() {
    const char *tmpdir = getenv("TMPDIR");
    return tmpdir && *tmpdir ? tmpdir : "/tmp";
}

}  // namespace

bool PrivateTempFile::create(std::string *error) {
    std::string pattern = temp_folder() + "/tarvobrowse-manifest-XXXXXX";
    if (pattern.size() >= sizeof pending_path) {
        *error = "the temporary folder's path is too long";
        return false;
    }
    memcpy(pending_path, pattern.c_str(), pattern.size() + 1);
    // The name must be known to the handler before the file exists.
    guard_signals();
    const mode_t old_mask = umask(077);
    fd_.reset(mkostemp(pending_path, O_CLOEXEC));
    const int saved_errno = errno;
    umask(old_mask);
    if (!fd_) {
        release_signals();
        *error = "cannot make a temporary file in " + temp_folder() + ": " + strerror(saved_errno);
        return false;
    }
    path_ = pending_path;
    pending = 1;
    fchmod(fd_.get(), 0600);
    return true;
}

void PrivateTempFile::remove() {
    if (path_.empty()) {
        return;
    }
    pending = 0;
    unlink(path_.c_str());
    release_signals();
    path_.clear();
}

}  // namespace browse
