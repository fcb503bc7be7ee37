// tarvoname end to end: the real binary against the simulated multiplexer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tool_test_support.h"

extern char **environ;

namespace {

class TarvonameTest : public ::testing::Test {
  protected:
    ScratchDir scratch;
};

TEST(TarvonameCommandLine, UsageVersionAndOperandErrors) {
    ProcessResult help = run_process({"tarvoname", "-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: tarvoname [OPTIONS] [NAME]\n\n"
                             "Display the device name or set it to NAME if specified.\n",
                             0),
              0u);

    // -v wins over a later unknown option
    ProcessResult version = run_process({"tarvoname", "-v", "--bogus"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tarvoname 0.1.0\n");

    ProcessResult empty_udid = run_process({"tarvoname", "-u", ""});
    EXPECT_EQ(empty_udid.status, 2);
    EXPECT_EQ(empty_udid.err.rfind("ERROR: UDID must not be empty!\nUsage: tarvoname", 0), 0u);

    // two operands: usage on standard error, and no device is looked for
    ProcessResult two = run_process({"tarvoname", "one", "two"});
    EXPECT_EQ(two.status, 2);
    EXPECT_EQ(two.out, "");
    EXPECT_EQ(two.err.rfind("Usage: tarvoname", 0), 0u);
}

TEST_F(TarvonameTest, ReadsTheName) {
    SimHarness sim({make_device(scratch, "PHONE1", "", "USB", "Kitchen Phone")});
    ASSERT_TRUE(sim.ok());
    ProcessResult r = run_process({"tarvoname"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Kitchen Phone\n");
}

TEST_F(TarvonameTest, SetNameSurvivesASimulatorRestart) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok());
    ProcessResult set = run_process({"tarvoname", "Living Room Phone"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "device name set to 'Living Room Phone'\n");

    sim.restart();
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(run_process({"tarvoname"}).out, "Living Room Phone\n");
    EXPECT_EQ(run_process({"tarvoinfo", "-k", "DeviceName"}).out, "Living Room Phone\n");

    // an empty name is the device's business, not ours
    ProcessResult empty = run_process({"tarvoname", ""});
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.out, "device name set to ''\n");
}

TEST_F(TarvonameTest, DeviceErrors) {
    SimHarness sim(
        {make_device(scratch, "PHONE1"), make_device(scratch, "DENIES", policy_xml("deny"))});
    ASSERT_TRUE(sim.ok());

    ProcessResult missing = run_process({"tarvoname", "-u", "NOPE"});
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.err,
              "ERROR: No device found with udid NOPE.\nAttached over USB: PHONE1, DENIES\n");

    ProcessResult denied = run_process({"tarvoname", "-u", "DENIES"});
    EXPECT_EQ(denied.status, 255);
    EXPECT_EQ(denied.err,
              "ERROR: Could not connect to lockdownd, error code -18\n"
              "Device DENIES: its user denied the trust dialog. Unplug and plug it in again, "
              "then choose Trust.\n");

    ProcessResult network = run_process({"tarvoname", "-n"});
    EXPECT_EQ(network.status, 255);
    EXPECT_EQ(network.err, "ERROR: No device found.\nNo device is attached on the network.\n");
}

TEST_F(TarvonameTest, HostileAnswerToTheNameQuery) {
    for (const std::string fault : {"HugeLength", "Truncated", "NotPlist", "Close", "Stall"}) {
        SCOPED_TRACE(fault);
        SimHarness sim(
            {make_device(scratch, "H" + fault, get_value_fault_xml("DeviceName", fault))});
        ASSERT_TRUE(sim.ok());
        ProcessResult r = run_process({"tarvoname"});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("ERROR: Could not get device name, lockdown error ", 0), 0u) << r.err;
    }
}

// tarvosim as its own process, killed while the tool waits for an answer.
class SimProcess {
  public:
    SimProcess(const std::string &socket, const std::string &state, const std::string &fixture) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        const std::vector<std::string> words = {"tarvosim", "--socket", socket, "--state",
                                                state,      "--device", fixture};
        std::string program;
        std::vector<char *> argv = exec_words(words, program);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        ready_ = pid_ > 0 && wait_for_listening(fds[0]);
        close(fds[0]);
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ready() const { return ready_; }
    void kill_now() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    static bool wait_for_listening(int fd) {
        std::string seen;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) {
                continue;
            }
            char buffer[256];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                return false;
            }
            seen.append(buffer, static_cast<size_t>(n));
            if (seen.find("listening on") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    pid_t pid_ = -1;
    bool ready_ = false;
};

TEST_F(TarvonameTest, SimulatorKilledInTheMiddle) {
    std::string fixture =
        make_device(scratch, "PHONE1", get_value_fault_xml("DeviceName", "Stall"));
    std::string socket = scratch.path() + "/mux.sock";
    std::string state = scratch.path() + "/state";
    ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    SimProcess sim(socket, state, fixture);
    ASSERT_TRUE(sim.ready());

    std::string address = "UNIX:" + socket;
    setenv("USBMUXD_SOCKET_ADDRESS", address.c_str(), 1);
    setenv("TARVO_LOCKDOWN_DIR", state.c_str(), 1);
    std::thread killer([&sim] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        sim.kill_now();
    });
    ProcessResult r = run_process({"tarvoname"});
    killer.join();
    unsetenv("USBMUXD_SOCKET_ADDRESS");
    unsetenv("TARVO_LOCKDOWN_DIR");

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("ERROR: "), std::string::npos) << r.err;
}

}  // namespace
