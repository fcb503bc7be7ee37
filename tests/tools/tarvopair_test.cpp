// tarvopair end to end: the real binary against the simulated multiplexer,
// and on a pseudo-terminal for wireless pairing with a PIN.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pty_runner.h"
#include "tool_test_support.h"

namespace {

using Args = std::vector<std::string>;

struct ErrorCase {
    Args args;
    std::string err;  // the first line on standard error
    bool usage;       // the usage text follows on standard error
};

TEST(TarvopairCommandLine, ErrorsBeforeAnyDevice) {
    const std::vector<ErrorCase> cases = {
        {{}, "ERROR: You need to specify a COMMAND!\n", true},
        {{"-w", "-n", "pair"}, "ERROR: You cannot use -w and -n together.\n", true},
        // checked before the command's name is looked at
        {{"-w", "-n", "bogus"}, "ERROR: You cannot use -w and -n together.\n", true},
        {{"bogus"}, "ERROR: Invalid command 'bogus' specified\n", true},
        {{"-w", "validate"}, "ERROR: Command 'validate' is not supported with -w\n", true},
        {{"--wireless", "unpair"}, "ERROR: Command 'unpair' is not supported with -w\n", true},
        {{"-u", "", "pair"}, "ERROR: UDID must not be empty!\n", true},
        {{"--hostinfo", "", "pair"}, "ERROR: --hostinfo argument must not be empty!\n", false},
        {{"--hostinfo", "abc", "pair"},
         "ERROR: --hostinfo argument not valid. To specify a path prefix with '@'\n",
         false},
        // a JSON array is refused by its first character, not by the parser
        {{"--hostinfo", "[1]", "pair"},
         "ERROR: --hostinfo argument not valid. To specify a path prefix with '@'\n",
         false},
        {{"--hostinfo", "{bad", "pair"},
         "ERROR: --hostinfo argument not valid. Make sure it is a JSON dictionary.\n",
         false},
        {{"--hostinfo", "@/nonexistent/host.plist", "pair"},
         "ERROR: Could not read from file '/nonexistent/host.plist'\n",
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Args argv = {"tarvopair"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ProcessResult r = run_process(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_EQ(r.err.find("Usage: tarvopair [OPTIONS] COMMAND\n") != std::string::npos, c.usage);
    }
}

TEST(TarvopairCommandLine, HostInfoFileMustBeASmallRegularFile) {
    ScratchDir scratch;
    const std::string fifo = scratch.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = scratch.path() + "/big.json";
    {
        std::ofstream out(big);
        out << "{\"Name\":\"" << std::string(2 * 1024 * 1024, 'x') << "\"}";
    }
    for (const std::string &path : {fifo, big, std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        ProcessResult r = run_process({"tarvopair", "--hostinfo", "@" + path, "pair"});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "ERROR: Could not read from file '" + path + "'\n");
    }
}

TEST(TarvopairCommandLine, HelpAndVersion) {
    ProcessResult help = run_process({"tarvopair", "-h", "bogus"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: tarvopair [OPTIONS] COMMAND\n\n"
                             "Manage host pairings with devices and usbmuxd.\n",
                             0),
              0u);
    EXPECT_NE(help.out.find("Settings > Remotes and Devices > Remote App and Devices.\n\n"
                            "Homepage:    <"),
              std::string::npos);
    EXPECT_EQ(help.out.find("hostinfo"), std::string::npos);

    // -v ends the run before any device is looked for
    ProcessResult version = run_process({"tarvopair", "-u", "X", "-v", "pair"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tarvopair 0.1.0\n");
}

// The folder the daemon keeps pair records in, with odd entries.
TEST(TarvopairList, ListsRecordFilesOnly) {
    ScratchDir dir;
    for (const char *name : {"SystemConfiguration.plist", "A1.plist", "b.c.plist", ".plist",
                             "x.txt", "noext", "Y.PLIST"}) {
        std::ofstream(dir.path() + "/" + name) << "x";
    }
    setenv("TARVO_LOCKDOWN_DIR", dir.path().c_str(), 1);
    ProcessResult r = run_process({"tarvopair", "-w", "list"});
    unsetenv("TARVO_LOCKDOWN_DIR");
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(r.out.substr(start, end - start));
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"", "A1", "b.c"}));

    setenv("TARVO_LOCKDOWN_DIR", (dir.path() + "/missing").c_str(), 1);
    ProcessResult empty = run_process({"tarvopair", "list"});
    unsetenv("TARVO_LOCKDOWN_DIR");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, "");

    // A folder that cannot be read is said so, not shown as an empty list.
    const std::string not_a_folder = dir.path() + "/x.txt";
    setenv("TARVO_LOCKDOWN_DIR", not_a_folder.c_str(), 1);
    ProcessResult unreadable = run_process({"tarvopair", "list"});
    unsetenv("TARVO_LOCKDOWN_DIR");
    EXPECT_EQ(unreadable.out, "");
    EXPECT_EQ(unreadable.err, "ERROR: Could not read the pair-record folder " + not_a_folder +
                                  ": Not a directory\n");
}

class TarvopairTest : public ::testing::Test {
  protected:
    ScratchDir scratch;

    static std::string record_host_id(const std::string &record_path) {
        plist_t record = nullptr;
        std::ifstream in(record_path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &record);
        std::string host_id;
        plist_t node = record ? plist_dict_get_item(record, "HostID") : nullptr;
        if (node && plist_get_node_type(node) == PLIST_STRING) {
            char *text = nullptr;
            plist_get_string_val(node, &text);
            host_id = text;
            free(text);
        }
        plist_free(record);
        return host_id;
    }
};

TEST_F(TarvopairTest, SystemBuidComesFromTheDaemon) {
    {
        SimHarness sim({make_device(scratch, "PHONE1")});
        ASSERT_TRUE(sim.ok());
        ProcessResult r = run_process({"tarvopair", "systembuid"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.size(), 37u) << r.out;  // a UUID and the line end
        EXPECT_EQ(run_process({"tarvopair", "-n", "systembuid"}).out, r.out);
    }
    setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + scratch.path() + "/nothing.sock").c_str(), 1);
    ProcessResult none = run_process({"tarvopair", "systembuid"});
    unsetenv("USBMUXD_SOCKET_ADDRESS");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err.rfind("ERROR: ", 0), 0u);
}

TEST_F(TarvopairTest, PairValidateHostidUnpair) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok());

    ProcessResult hostid = run_process({"tarvopair", "hostid"});
    EXPECT_EQ(hostid.status, 1);
    EXPECT_EQ(hostid.err.rfind("ERROR: ", 0), 0u);

    ProcessResult pair = run_process({"tarvopair", "pair"});
    EXPECT_EQ(pair.status, 0) << pair.out << pair.err;
    EXPECT_EQ(pair.out, "SUCCESS: Paired with device PHONE1\n");

    hostid = run_process({"tarvopair", "-u", "PHONE1", "hostid"});
    EXPECT_EQ(hostid.status, 0);
    EXPECT_EQ(hostid.out, record_host_id(sim.state_dir() + "/PHONE1.plist") + "\n");
    EXPECT_EQ(hostid.out.size(), 37u);

    EXPECT_EQ(run_process({"tarvopair", "validate"}).out,
              "SUCCESS: Validated pairing with device PHONE1\n");
    EXPECT_EQ(run_process({"tarvopair", "list"}).out, "PHONE1\n");
    EXPECT_EQ(run_process({"tarvopair", "list", "--json"}).out,
              "[\n  {\n    \"udid\": \"PHONE1\",\n    \"host_id\": \"" + hostid.out.substr(0, 36) +
                  "\"\n  }\n]\n");
    ProcessResult json_elsewhere = run_process({"tarvopair", "--json", "hostid"});
    EXPECT_EQ(json_elsewhere.status, 1);
    EXPECT_EQ(json_elsewhere.err, "ERROR: --json works with the command list only.\n");

    // keep the host's record to show that the device forgets the host
    std::filesystem::copy_file(sim.state_dir() + "/PHONE1.plist", scratch.path() + "/kept.plist");
    ProcessResult unpair = run_process({"tarvopair", "unpair"});
    EXPECT_EQ(unpair.status, 0) << unpair.out;
    EXPECT_EQ(unpair.out, "SUCCESS: Unpaired with device PHONE1\n");
    EXPECT_EQ(run_process({"tarvopair", "list"}).out, "");
    EXPECT_EQ(run_process({"tarvopair", "list", "--json"}).out, "[]\n");

    std::filesystem::copy_file(scratch.path() + "/kept.plist", sim.state_dir() + "/PHONE1.plist");
    ProcessResult stale = run_process({"tarvopair", "validate"});
    EXPECT_EQ(stale.status, 1);
    EXPECT_EQ(stale.out, "ERROR: Device PHONE1 is not paired with this host\n");
}

TEST_F(TarvopairTest, EachPairingPolicyHasItsMessage) {
    struct PolicyCase {
        std::string policy;
        std::string message;
    };
    const std::vector<PolicyCase> cases = {
        {"deny", "ERROR: Device %s said that the user denied the trust dialog.\n"},
        {"pending",
         "ERROR: Please accept the trust dialog on the screen of device %s, then attempt to pair "
         "again.\n"},
        {"passcode",
         "ERROR: Could not validate with device %s because a passcode is set. Please enter the "
         "passcode on the device and retry.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.policy);
        std::string id = "POL" + c.policy;
        SimHarness sim({make_device(scratch, id, policy_xml(c.policy))});
        ASSERT_TRUE(sim.ok());
        std::string expected = c.message;
        expected.replace(expected.find("%s"), 2, id);
        for (const char *command : {"pair", "validate"}) {
            ProcessResult r = run_process({"tarvopair", command});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, expected);
        }
        EXPECT_EQ(run_process({"tarvopair", "list"}).out, "");
    }
}

TEST_F(TarvopairTest, OddDevices) {
    SimHarness sim(
        {make_device(scratch, "ODDTYPE", "<key>QueryType</key><string>com.example.x</string>"),
         make_device(scratch, "DROPS", faults_xml("Pair", "Close")),
         make_device(scratch, "TV", "", "Network")});
    ASSERT_TRUE(sim.ok());

    ProcessResult odd = run_process({"tarvopair", "-u", "ODDTYPE", "pair"});
    EXPECT_EQ(odd.status, 0);
    EXPECT_EQ(odd.out,
              "WARNING: QueryType request returned 'com.example.x'\n"
              "SUCCESS: Paired with device ODDTYPE\n");

    ProcessResult drops = run_process({"tarvopair", "-u", "DROPS", "pair"});
    EXPECT_EQ(drops.status, 1);
    EXPECT_EQ(drops.out.rfind("ERROR: Device DROPS returned unhandled error code -", 0), 0u)
        << drops.out;

    // a plain pairing request over the network is refused by the device
    ProcessResult network = run_process({"tarvopair", "-n", "pair"});
    EXPECT_EQ(network.status, 1);
    EXPECT_EQ(network.out,
              "ERROR: Pairing is not possible over this connection.\n"
              "To perform a wireless pairing use the -w command line switch. See usage or man page "
              "for details.\n");

    ProcessResult missing = run_process({"tarvopair", "-u", "NOPE", "validate"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "No device found with udid NOPE.\n");

    // -w looks the device up on the network: the TV is the first there
    ProcessResult hostid = run_process({"tarvopair", "-w", "hostid"});
    EXPECT_EQ(hostid.status, 1);
    EXPECT_NE(hostid.err.find("device TV"), std::string::npos) << hostid.err;
}

}  // namespace

namespace {

// An Apple TV that shows a PIN and pairs only over the authenticated
// wireless path.
class TarvopairWirelessTest : public ::testing::Test {
  protected:
    ScratchDir scratch;
    std::string tv_fixture() {
        return make_device(scratch, "TV1", "<key>PairingPIN</key><string>123456</string>",
                           "Network", "Living Room");
    }
    static size_t count_of(const std::string &text, char c) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), c));
    }
    static std::string read_file(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
};

TEST_F(TarvopairWirelessTest, RightPinPairsAndTheHostCanValidate) {
    SimHarness sim({tv_fixture()});
    ASSERT_TRUE(sim.ok());
    // Pasted in one go: every key must land while echo is off.
    PtyResult r = run_on_pty({"tarvopair", "-w", "--hostinfo", "{\"Name\":\"Bench Host\"}", "pair"},
                             "Enter PIN: ", "123456\r", 20000, true);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Device info:"), std::string::npos) << r.output;
    const size_t entry = r.output.find("Enter PIN: ");
    ASSERT_NE(entry, std::string::npos) << r.output;
    EXPECT_EQ(r.output.compare(entry, 19, "Enter PIN: ******\r\n"), 0)
        << "the PIN must show as stars only: " << r.output.substr(entry, 40);
    EXPECT_NE(r.output.find("SUCCESS: Paired with device TV1"), std::string::npos) << r.output;

    EXPECT_EQ(run_process({"tarvopair", "-n", "validate"}).out,
              "SUCCESS: Validated pairing with device TV1\n");
    EXPECT_EQ(run_process({"tarvopair", "list"}).out, "TV1\n");
    // the host info travelled to the device, which keeps it with the host
    EXPECT_NE(read_file(sim.state_dir() + "/devices/TV1/state.plist").find("Bench Host"),
              std::string::npos);
}

TEST_F(TarvopairWirelessTest, DebugTraceRedactsThePinExchange) {
    SimHarness sim({tv_fixture()});
    ASSERT_TRUE(sim.ok());
    PtyResult r = run_on_pty({"tarvopair", "-d", "-w", "pair"}, "Enter PIN: ", "123456\r");
    EXPECT_FALSE(r.timed_out);
    ASSERT_EQ(r.status, 0) << r.output;
    // The SRP values and proofs, then the sealed messages: each request and
    // each answer carries PairingData, and none of it is shown.
    const std::string key = "<key>PairingData</key>";
    size_t shown = 0;
    for (size_t at = r.output.find(key); at != std::string::npos; at = r.output.find(key, at + 1)) {
        const size_t value = r.output.find_first_not_of("\r\n\t ", at + key.size());
        EXPECT_EQ(r.output.compare(value, 27, "<string>(redacted)</string>"), 0)
            << r.output.substr(value, 40);
        ++shown;
    }
    EXPECT_EQ(shown, 8u) << r.output;
}

TEST_F(TarvopairWirelessTest, WrongPinIsAnErrorNeverAPairing) {
    SimHarness sim({tv_fixture()});
    ASSERT_TRUE(sim.ok());
    PtyResult r = run_on_pty({"tarvopair", "-w", "pair"}, "Enter PIN: ", "654321\r");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("ERROR: "), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("SUCCESS"), std::string::npos);
    EXPECT_EQ(run_process({"tarvopair", "list"}).out, "");
}

TEST_F(TarvopairWirelessTest, DeleteEditsThePin) {
    SimHarness sim({tv_fixture()});
    ASSERT_TRUE(sim.ok());
    // a delete on the empty entry does nothing; a later one removes the 9
    PtyResult r = run_on_pty({"tarvopair", "-w", "pair"}, "Enter PIN: ",
                             "\x7f"
                             "1239\x7f"
                             "456\r");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("****\b \b***"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("SUCCESS: Paired with device TV1"), std::string::npos);
}

TEST_F(TarvopairWirelessTest, OverlongPinIsEchoedButCut) {
    SimHarness sim({tv_fixture()});
    ASSERT_TRUE(sim.ok());
    std::string keys(300, '7');
    PtyResult r = run_on_pty({"tarvopair", "-w", "pair"}, "Enter PIN: ", keys + "\r");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_of(r.output, '*'), 300u);
}

TEST_F(TarvopairWirelessTest, CtrlCDuringThePinGivesTheTerminalBack) {
    SimHarness sim({tv_fixture()});
    ASSERT_TRUE(sim.ok());
    PtyResult r = run_on_pty({"tarvopair", "-w", "pair"}, "Enter PIN: ", "12\x03");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, -1) << "ended by the signal, as before";
    EXPECT_TRUE(r.echo_at_end);
}

TEST_F(TarvopairWirelessTest, EndOfInputEndsTheEntry) {
    SimHarness sim({tv_fixture()});
    ASSERT_TRUE(sim.ok());
    // standard input ends after two digits: the entry ends there, no hang
    ProcessOptions options;
    options.input = "12";
    ProcessResult r = run_process({"tarvopair", "-w", "pair"}, options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Enter PIN: \n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("**"), 0u) << r.err;
}

}  // namespace
