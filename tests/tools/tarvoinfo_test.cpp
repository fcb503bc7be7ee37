// tarvoinfo end to end: the real binary against the simulated multiplexer.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

using Args = std::vector<std::string>;

struct CommandLineCase {
    Args args;
    int status;
    std::string out;  // expected to occur in standard output ("" for none at all)
    std::string err;  // expected to occur in standard error ("" for none at all)
};

// None of these reaches a device: options end the run first.
TEST(TarvoinfoCommandLine, OptionsEndBeforeAnyDevice) {
    const std::vector<CommandLineCase> cases = {
        {{"-h"}, 0, "Usage: tarvoinfo [OPTIONS]\n\nShow information about a connected device.", ""},
        {{"--version"}, 0, "tarvoinfo 0.1.0\n", ""},
        {{"-u", ""}, 2, "", "ERROR: UDID must not be empty!\nUsage: tarvoinfo"},
        {{"-q", ""}, 2, "", "ERROR: 'domain' must not be empty!\nUsage: tarvoinfo"},
        {{"--key="}, 2, "", "ERROR: 'key' must not be empty!\nUsage: tarvoinfo"},
        {{"--bogus"}, 2, "", "Usage: tarvoinfo"},
        {{"-k"}, 2, "", "Usage: tarvoinfo"},
        // -v ends the parsing before the empty domain is seen, not the other way round
        {{"-v", "-q", ""}, 0, "tarvoinfo 0.1.0\n", ""},
        {{"-q", "", "-v"}, 2, "", "ERROR: 'domain' must not be empty!"},
        {{"-h", "-d"}, 0, "Known domains are:\n\n  com.apple.disk_usage\n", ""},
    };
    for (const auto &c : cases) {
        Args argv = {"tarvoinfo"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ProcessResult r = run_process(argv);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(r.status, c.status);
        if (c.out.empty()) {
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        }
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
    }
}

TEST(TarvoinfoCommandLine, UsageListsEveryKnownDomainAndEndsWithAddresses) {
    ProcessResult r = run_process({"tarvoinfo", "--help"});
    EXPECT_NE(r.out.find("  com.apple.mobile.iTunes.SQLMusicLibraryPostProcessCommands\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("  com.apple.Accessibility\n\nHomepage:    <"), std::string::npos);
    EXPECT_NE(r.out.find("\nBug Reports: <"), std::string::npos);
}

class TarvoinfoTest : public ::testing::Test {
  protected:
    ScratchDir scratch;
};

TEST_F(TarvoinfoTest, NoDeviceFound) {
    SimHarness sim({make_device(scratch, "SOMEDEVICE")});
    ASSERT_TRUE(sim.ok());
    ProcessResult r = run_process({"tarvoinfo", "-u", "OTHERDEVICE"});
    EXPECT_EQ(r.status, 255);
    // The tool's own line, then which devices are there.
    EXPECT_EQ(r.err, "ERROR: Device OTHERDEVICE not found!\nAttached over USB: SOMEDEVICE\n");
    EXPECT_EQ(r.out, "");

    sim.stop();
    r = run_process({"tarvoinfo"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, std::string("ERROR: No device found!\n") +
                         "The USB multiplexer daemon cannot be reached at " +
                         getenv("USBMUXD_SOCKET_ADDRESS") +
                         ". Is it running? USBMUXD_SOCKET_ADDRESS (UNIX:/path or host:port) "
                         "points the tools at another one.\n");
}

TEST_F(TarvoinfoTest, ValuesByDomainAndKeyAsTextAndXml) {
    SimHarness sim({make_device(scratch, "PHONE1", "", "USB", "Kitchen Phone")});
    ASSERT_TRUE(sim.ok());

    ProcessResult all = run_process({"tarvoinfo"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("DeviceName: Kitchen Phone\n"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("ProductVersion: 17.5.1\n"), std::string::npos);

    ProcessResult key = run_process({"tarvoinfo", "-k", "DeviceName"});
    EXPECT_EQ(key.status, 0);
    EXPECT_EQ(key.out, "Kitchen Phone\n");

    ProcessResult xml = run_process({"tarvoinfo", "--key", "DeviceName", "--xml"});
    EXPECT_EQ(xml.status, 0);
    EXPECT_EQ(xml.out,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n<string>Kitchen Phone</string>\n</plist>\n");

    ProcessResult domain = run_process(
        {"tarvoinfo", "-q", "com.apple.mobile.battery", "-k", "BatteryCurrentCapacity"});
    EXPECT_EQ(domain.status, 0);
    EXPECT_EQ(domain.out, "87\n");
    EXPECT_EQ(domain.err, "");

    // JSON: the node as the device sent it, the last format option winning
    EXPECT_EQ(run_process({"tarvoinfo", "-x", "--json", "-k", "DeviceName"}).out,
              "\"Kitchen Phone\"\n");
    EXPECT_EQ(run_process({"tarvoinfo", "-j", "-q", "com.apple.mobile.battery", "-k",
                           "BatteryCurrentCapacity"})
                  .out,
              "87\n");
    ProcessResult json = run_process({"tarvoinfo", "-j"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.rfind("{\n", 0), 0u) << json.out;
    EXPECT_NE(json.out.find("\n  \"DeviceName\": \"Kitchen Phone\",\n"), std::string::npos)
        << json.out;
}

TEST_F(TarvoinfoTest, UnknownDomainWarnsButStillQueries) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok());
    ProcessResult r = run_process({"tarvoinfo", "-q", "com.apple.mobile"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "WARNING: Sending query with unknown domain \"com.apple.mobile\".\n");

    // a known name inside a longer one counts as known
    r = run_process({"tarvoinfo", "-q", "com.apple.mobile.battery.extra"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(TarvoinfoTest, UnknownKeyIsSilent) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok());
    ProcessResult r = run_process({"tarvoinfo", "-k", "NoSuchKey"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(TarvoinfoTest, SimpleConnectionSeesOnlyWhatNeedsNoSession) {
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok());
    ProcessResult r = run_process({"tarvoinfo", "-s"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("DeviceName: Test Phone\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("PhoneNumber"), std::string::npos) << r.out;
    // no pairing happened: the host holds no record
    EXPECT_FALSE(std::filesystem::exists(sim.state_dir() + "/PHONE1.plist"));
}

TEST_F(TarvoinfoTest, TwoDevicesAndNetworkLookup) {
    SimHarness sim({make_device(scratch, "FIRST", "", "USB", "First Phone"),
                    make_device(scratch, "SECOND", "", "USB", "Second Phone"),
                    make_device(scratch, "TV", "", "Network", "Living Room")});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(run_process({"tarvoinfo", "-k", "DeviceName"}).out, "First Phone\n");
    EXPECT_EQ(run_process({"tarvoinfo", "-u", "SECOND", "-k", "DeviceName"}).out, "Second Phone\n");

    // the network device exists only for a network lookup
    ProcessResult usb = run_process({"tarvoinfo", "-u", "TV", "-k", "DeviceName"});
    EXPECT_EQ(usb.status, 255);
    EXPECT_EQ(usb.err, "ERROR: Device TV not found!\nAttached over USB: FIRST, SECOND\n");
    ProcessResult net = run_process({"tarvoinfo", "-n", "-s", "-k", "DeviceName"});
    EXPECT_EQ(net.status, 0) << net.err;
    EXPECT_EQ(net.out, "Living Room\n");
    // A session needs a wireless pairing first, and the user is told how.
    ProcessResult unpaired = run_process({"tarvoinfo", "-n", "-u", "TV", "-k", "DeviceName"});
    EXPECT_EQ(unpaired.status, 255);
    EXPECT_NE(unpaired.err.find("(-36)\nDevice TV is not paired with this host over the network: "
                                "pair it with 'tarvopair -w pair' first.\n"),
              std::string::npos)
        << unpaired.err;
}

TEST_F(TarvoinfoTest, EachPairingRefusalEndsTheRun) {
    // The tool's line with the code, then what the user can do about it.
    struct Refusal {
        std::string policy;
        int code;
        std::string hint;
    };
    const std::vector<Refusal> refusals = {
        {"deny", -18,
         "The device: its user denied the trust dialog. Unplug and plug it in again, then "
         "choose Trust.\n"},
        {"pending", -19,
         "The device waits for its user to accept the trust dialog on its screen; then try "
         "again.\n"},
        {"passcode", -17,
         "The device has a passcode set: unlock it, enter the passcode and try again.\n"},
    };
    for (const Refusal &refusal : refusals) {
        SCOPED_TRACE(refusal.policy);
        SimHarness sim({make_device(scratch, "P" + refusal.policy, policy_xml(refusal.policy))});
        ASSERT_TRUE(sim.ok());
        ProcessResult r = run_process({"tarvoinfo"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        const std::string tail = " (" + std::to_string(refusal.code) + ")\n" + refusal.hint;
        EXPECT_EQ(r.err.rfind("ERROR: Could not connect to lockdownd: ", 0), 0u) << r.err;
        ASSERT_GE(r.err.size(), tail.size());
        EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail) << r.err;
    }
}

// A hostile or broken peer during the handshake: an error and status 255,
// bounded by the library's receive wait, never a hang.
TEST_F(TarvoinfoTest, HostilePeerDuringHandshake) {
    for (const std::string fault : {"HugeLength", "Truncated", "NotPlist", "Close", "Stall"}) {
        SCOPED_TRACE(fault);
        SimHarness sim({make_device(scratch, "H" + fault, faults_xml("QueryType", fault))});
        ASSERT_TRUE(sim.ok());
        ProcessResult r = run_process({"tarvoinfo"});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.rfind("ERROR: Could not connect to lockdownd: ", 0), 0u) << r.err;
    }
}

}  // namespace
