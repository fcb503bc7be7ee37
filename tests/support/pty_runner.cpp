// Programs on a pseudo-terminal for the tests of PIN and password entry.
#include "pty_runner.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "process_runner.h"

namespace {

using Clock = std::chrono::steady_clock;

int millis_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Appends what the terminal shows; false when the program closed it.
bool read_some(int master, std::string &output, Clock::time_point deadline) {
    pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, millis_left(deadline)) <= 0) {
        return true;
    }
    char buffer[4096];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) {
        return false;  // EIO once the child has gone
    }
    output.append(buffer, static_cast<size_t>(n));
    return true;
}

}  // namespace

PtyResult run_on_pty(const std::vector<std::string> &argv, const std::string &prompt,
                     const std::string &keys, int timeout_ms, bool pasted) {
    PtyResult result;
    std::string program;
    std::vector<char *> args = exec_words(argv, program);

    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        return result;
    }
    if (pid == 0) {
        execv(program.c_str(), args.data());
        _exit(127);
    }

    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool open = true;
    while (open && !prompt.empty() && result.output.find(prompt) == std::string::npos &&
           Clock::now() < deadline) {
        open = read_some(master, result.output, deadline);
    }
    if (open && Clock::now() < deadline && pasted) {
        if (write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
            open = false;
        }
    } else if (open && Clock::now() < deadline) {
        // One key at a time, as typed: the program reads character by character.
        for (char key : keys) {
            if (write(master, &key, 1) != 1) {
                break;
            }
            usleep(2000);
        }
    }
    while (open && Clock::now() < deadline) {
        open = read_some(master, result.output, deadline);
    }
    int wstatus = 0;
    if (open) {
        result.timed_out = true;
        kill(pid, SIGKILL);
    }
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    struct termios modes;
    result.echo_at_end = tcgetattr(master, &modes) == 0 && (modes.c_lflag & ECHO) != 0;
    close(master);
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    }
    return result;
}
