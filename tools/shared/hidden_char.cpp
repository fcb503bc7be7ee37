// Unechoed terminal reads that give the terminal back on a signal.
#include "hidden_char.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGQUIT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// Shared with the signal handler: set before it is installed, read only.
struct termios saved_modes;
struct termios quiet_modes;
struct sigaction previous[kSignalCount];
// Entries under way; only the outermost changes the terminal.
int quiet_depth = 0;

int slot_of(int sig) {
    for (int i = 0; i < kSignalCount; ++i) {
        if (kSignals[i] == sig) {
            return i;
        }
    }
    return -1;
}

// Only async-signal-safe calls: tcsetattr, sigaction, raise. The tool's
// own handler may end the process, so the terminal is given back before it
// runs; when it returns, the entry goes on as before.
void restore_then_pass_on(int sig, siginfo_t *info, void *context) {
    const int slot = slot_of(sig);
    if (slot < 0 ||
        (!(previous[slot].sa_flags & SA_SIGINFO) && previous[slot].sa_handler == SIG_IGN)) {
        return;
    }
    const int saved_errno = errno;
    const struct sigaction &before = previous[slot];
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_modes);
    if (!(before.sa_flags & SA_SIGINFO) && before.sa_handler == SIG_DFL) {
        // Ends the process as the signal would have: it is delivered again
        // once this handler returns.
        sigaction(sig, &before, nullptr);
        raise(sig);
        errno = saved_errno;
        return;
    }
    if (before.sa_flags & SA_SIGINFO) {
        before.sa_sigaction(sig, info, context);
    } else {
        before.sa_handler(sig);
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet_modes);
    errno = saved_errno;
}

void guard_signals() {
    struct sigaction guard = {};
    guard.sa_sigaction = restore_then_pass_on;
    guard.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&guard.sa_mask);
    for (int sig : kSignals) {
        sigaddset(&guard.sa_mask, sig);
    }
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], nullptr, &previous[i]);
    }
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], &guard, nullptr);
    }
}

void unguard_signals() {
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], &previous[i], nullptr);
    }
}

int read_char_retrying() {
    while (true) {
        errno = 0;
        const int c = getchar();
        if (c == EOF && ferror(stdin) && errno == EINTR) {
            clearerr(stdin);
            continue;
        }
        return c;
    }
}

}  // namespace

QuietTerminal::QuietTerminal() {
    if (quiet_depth++ > 0 || tcgetattr(STDIN_FILENO, &saved_modes) != 0) {
        return;
    }
    quiet_modes = saved_modes;
    quiet_modes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
    // Whatever the terminal had, a read waits for one whole character.
    quiet_modes.c_cc[VMIN] = 1;
    quiet_modes.c_cc[VTIME] = 0;
    guard_signals();
    // TCSANOW, not TCSAFLUSH: keys typed ahead of the prompt belong to the entry.
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet_modes);
    owns_terminal_ = true;
}

QuietTerminal::~QuietTerminal() {
    --quiet_depth;
    if (owns_terminal_) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_modes);
        unguard_signals();
    }
}

int read_hidden_char() {
    if (quiet_depth > 0) {
        return read_char_retrying();
    }
    QuietTerminal quiet;
    return read_char_retrying();
}
