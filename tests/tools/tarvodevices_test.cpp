// tarvodevices end to end: the real binary against the simulated multiplexer.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tool_test_support.h"

namespace {

class TarvodevicesTest : public ::testing::Test {
  protected:
    ScratchDir scratch;
};

TEST_F(TarvodevicesTest, ListsEveryDeviceAsLinesAndAsJson) {
    SimHarness sim({make_device(scratch, "PHONE1", "", "USB", "First Phone"),
                    make_device(scratch, "TV", "", "Network", "Den TV")});
    ASSERT_TRUE(sim.ok());
    // Asking for a session pairs the phone; the listing itself never does.
    ASSERT_EQ(run_process({"tarvoinfo", "-u", "PHONE1", "-k", "DeviceName"}).status, 0);

    ProcessResult lines = run_process({"tarvodevices"});
    EXPECT_EQ(lines.status, 0) << lines.err;
    EXPECT_EQ(lines.out,
              "PHONE1\tUSB\tFirst Phone\tiPhone15,2\t17.5.1\tpaired\n"
              "TV\tNetwork\tDen TV\tiPhone15,2\t17.5.1\tunpaired\n");
    EXPECT_EQ(run_process({"tarvodevices", "--usb"}).out,
              "PHONE1\tUSB\tFirst Phone\tiPhone15,2\t17.5.1\tpaired\n");

    ProcessResult json = run_process({"tarvodevices", "--json", "-n"});
    EXPECT_EQ(json.status, 0);
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0]["udid"], "TV");
    EXPECT_EQ(parsed[0]["connection"], "Network");
    EXPECT_EQ(parsed[0]["name"], "Den TV");
    EXPECT_EQ(parsed[0]["paired"], false);
}

TEST_F(TarvodevicesTest, WaitEndsAtOnceWithADeviceAndAfterTheTimeoutWithout) {
    SimHarness sim({make_device(scratch, "TV", "", "Network", "Den TV")});
    ASSERT_TRUE(sim.ok());
    ProcessResult present = run_process({"tarvodevices", "--wait", "-n"});
    EXPECT_EQ(present.status, 0);
    EXPECT_EQ(present.out.rfind("TV\tNetwork\t", 0), 0u) << present.out;

    ProcessResult none = run_process({"tarvodevices", "--wait", "--usb", "--timeout", "1"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "ERROR: No device attached within 1 seconds.\n");

    sim.stop();
    ProcessResult gone = run_process({"tarvodevices"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err.rfind("ERROR: Could not list the devices.\n"
                             "The USB multiplexer daemon cannot be reached at ",
                             0),
              0u)
        << gone.err;
}

TEST(TarvodevicesCommandLine, BadArgumentsAreUsageErrors) {
    for (const std::vector<std::string> &argv :
         std::vector<std::vector<std::string>>{{"tarvodevices", "--timeout", "soon"},
                                               {"tarvodevices", "--timeout", "-1"},
                                               {"tarvodevices", "extra"},
                                               {"tarvodevices", "--bogus"}}) {
        ProcessResult r = run_process(argv);
        EXPECT_EQ(r.status, 2) << argv.back();
        EXPECT_NE(r.err.find("Usage: tarvodevices [OPTIONS]"), std::string::npos);
    }
    EXPECT_EQ(run_process({"tarvodevices", "-v"}).out.rfind("tarvodevices ", 0), 0u);
}

}  // namespace
