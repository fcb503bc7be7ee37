// The tarvosim program as a user runs it: it announces its socket, serves
// the daemon's protocol there, and stops cleanly on SIGTERM; bad command
// lines and fixtures are refused with the documented statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <usbmuxd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sim_test_support.h"
#include "tarvo_config.h"

namespace {

using tarvosim::testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = std::chrono::seconds(20);

/// A running tarvosim with its standard output and error on pipes.
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char *> argv;
            args.insert(args.begin(), TARVOSIM_PROGRAM);
            for (auto &arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            ::execv(TARVOSIM_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~Program() {
        if (pid_ > 0 && status_ == kRunning) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }

    /// Standard output up to the first line end (bounded wait).
    std::string first_line() {
        std::string line;
        const auto deadline = Clock::now() + kWait;
        while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
            if (!read_some(out_, &line, deadline)) {
                break;
            }
        }
        return line;
    }

    /// Waits (bounded) for the exit status; -1 when killed or still running.
    int wait_exit() {
        const auto deadline = Clock::now() + kWait;
        while (Clock::now() < deadline) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    std::string all_stderr() {
        std::string text;
        const auto deadline = Clock::now() + kWait;
        while (read_some(err_, &text, deadline)) {
        }
        return text;
    }
    std::string all_stdout() {
        std::string text;
        const auto deadline = Clock::now() + kWait;
        while (read_some(out_, &text, deadline)) {
        }
        return text;
    }

    pid_t pid() const { return pid_; }

  private:
    static constexpr int kRunning = -2;

    static bool read_some(int fd, std::string *into, Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[512];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        into->append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int status_ = kRunning;
};

TEST(TarvosimProgramTest, ServesDevicesUntilSigtermThenRemovesItsSocket) {
    TempDir dir;
    const std::string socket = dir.file("mux.sock");
    Program program({"--socket", socket, "--state", dir.file("state")});
    ASSERT_EQ(program.first_line(), "tarvosim: listening on " + socket + "\n");

    ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket).c_str(), 1);
    usbmuxd_device_info_t *list = nullptr;
    ASSERT_EQ(usbmuxd_get_device_list(&list), 1);
    EXPECT_STREQ(list[0].udid, "00008120-001A2B3C4D5E6F7A");
    EXPECT_EQ(list[0].conn_type, CONNECTION_TYPE_USB);
    usbmuxd_device_list_free(&list);

    ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
    EXPECT_EQ(program.wait_exit(), 0);
    struct stat st {};
    EXPECT_NE(::stat(socket.c_str(), &st), 0);
}

TEST(TarvosimProgramTest, DebugTracesDeviceMessagesWithTheUdid) {
    TempDir dir;
    const std::string socket = dir.file("mux.sock");
    Program program({"--socket", socket, "--state", dir.file("state"), "--debug"});
    ASSERT_EQ(program.first_line(), "tarvosim: listening on " + socket + "\n");
    ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket).c_str(), 1);
    const int fd = usbmuxd_connect(1, 62078);
    ASSERT_GE(fd, 0);
    const char request[] =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Request</key>"
        "<string>QueryType</string></dict></plist>";
    const uint32_t length = sizeof request - 1;
    const uint8_t prefix[4] = {0, 0, static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length)};
    uint32_t sent = 0;
    ASSERT_EQ(usbmuxd_send(fd, reinterpret_cast<const char *>(prefix), 4, &sent), 0);
    ASSERT_EQ(usbmuxd_send(fd, request, length, &sent), 0);
    char reply[512];
    uint32_t got = 0;
    EXPECT_EQ(usbmuxd_recv_timeout(fd, reply, sizeof reply, &got, 10000), 0);
    usbmuxd_disconnect(fd);

    ASSERT_EQ(::kill(program.pid(), SIGINT), 0);
    EXPECT_EQ(program.wait_exit(), 0);
    const std::string trace = program.all_stderr();
    EXPECT_NE(trace.find("00008120-001A2B3C4D5E6F7A lockdown <- {Request: \"QueryType\"}"),
              std::string::npos)
        << trace;
    EXPECT_NE(
        trace.find("lockdown -> {Request: \"QueryType\", Type: \"com.apple.mobile.lockdown\"}"),
        std::string::npos)
        << trace;
}

TEST(TarvosimProgramTest, RefusesBadCommandLinesWithStatusTwo) {
    TempDir dir;
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--socket", dir.file("s")},
        {"--state", dir.file("st")},
        {"--socket", dir.file("s"), "--state", dir.file("st"), "extra"},
        {"--socket", dir.file("s"), "--state", dir.file("st"), "--bogus"},
        {"--socket"},
    };
    for (const auto &args : bad) {
        Program program(args);
        EXPECT_EQ(program.wait_exit(), 2) << (args.empty() ? "(none)" : args.back());
        EXPECT_NE(program.all_stderr().find("Usage: tarvosim"), std::string::npos);
    }
    Program help({"--help"});
    EXPECT_EQ(help.wait_exit(), 0);
    EXPECT_NE(help.all_stdout().find("Usage: tarvosim --socket PATH --state DIR"),
              std::string::npos);
    Program version({"--version"});
    EXPECT_EQ(version.wait_exit(), 0);
    EXPECT_EQ(version.all_stdout(), "tarvosim " PACKAGE_VERSION "\n");
}

TEST(TarvosimProgramTest, BadFixtureStopsTheStartWithStatusOne) {
    TempDir dir;
    Program program({"--socket", dir.file("mux.sock"), "--state", dir.file("state"), "--device",
                     dir.file("missing")});
    EXPECT_EQ(program.wait_exit(), 1);
    const std::string err = program.all_stderr();
    EXPECT_NE(err.find("tarvosim: cannot start: " + dir.file("missing")), std::string::npos) << err;
    struct stat st {};
    EXPECT_NE(::stat(dir.file("mux.sock").c_str(), &st), 0);
}

}  // namespace
