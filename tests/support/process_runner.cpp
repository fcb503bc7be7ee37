// Child processes for the tool tests, with captured output and a deadline.
#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char **environ;

namespace {

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    bool open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        read_end = fds[0];
        write_end = fds[1];
        return true;
    }
    ~Pipe() {
        if (read_end >= 0)
            close(read_end);
        if (write_end >= 0)
            close(write_end);
    }
};

void close_fd(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Moves bytes between the child's pipes until both outputs close or the
// deadline passes. Returns false on timeout.
bool pump(int in_fd, const std::string &input, int out_fd, int err_fd, ProcessResult &result,
          std::chrono::steady_clock::time_point deadline) {
    size_t written = 0;
    if (input.empty()) {
        close_fd(in_fd);
    }
    while (out_fd >= 0 || err_fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            close_fd(in_fd);
            close_fd(out_fd);
            close_fd(err_fd);
            return false;
        }
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        int ready = poll(fds, 3, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            int &fd = i == 0 ? out_fd : err_fd;
            if (fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t n = read(fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close_fd(fd);
                }
            }
        }
        if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
            }
            if (n < 0 || written == input.size()) {
                close_fd(in_fd);
            }
        }
    }
    close_fd(in_fd);
    return true;
}

}  // namespace

std::string bin_path(const std::string &program) {
    return std::string(TARVO_BIN_DIR) + "/" + program;
}

std::vector<char *> exec_words(const std::vector<std::string> &argv, std::string &program) {
    program = argv[0].find('/') == std::string::npos ? bin_path(argv[0]) : argv[0];
    std::vector<char *> args;
    for (const auto &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args[0] = program.data();
    args.push_back(nullptr);
    return args;
}

ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &options) {
    ProcessResult result;
    Pipe in, out, err;
    if (argv.empty() || !in.open() || !out.open() || !err.open()) {
        result.err = "run_process: cannot set up pipes";
        return result;
    }
    std::string program;
    std::vector<char *> args = exec_words(argv, program);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read_end, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write_end, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write_end, 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.err = "run_process: cannot start " + program;
        return result;
    }
    close_fd(in.read_end);
    close_fd(out.write_end);
    close_fd(err.write_end);

    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
    bool finished = pump(in.write_end, options.input, out.read_end, err.read_end, result, deadline);
    in.write_end = out.read_end = err.read_end = -1;  // pump closed them
    int wstatus = 0;
    // The child may close its outputs and still linger: its end is awaited
    // against the same deadline.
    while (finished && waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            finished = false;
            break;
        }
        usleep(2000);
    }
    if (!finished) {
        result.timed_out = true;
        kill(pid, SIGKILL);
        while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
    }
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    return result;
}
