// tarvobackup2's info and list commands end to end, through the simulated
// backup service's scripts: what the device's final message prints, the
// messages the loop leaves unanswered or answers, waits, a dropped
// connection, a stop by signal and a cancel from the device.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace mb2test;

class Tarvobackup2Exchange : public ::testing::Test {
  protected:
    // One simulated device with `script`; the tool is then run against it.
    void start_device(const std::string &script, const std::string &extra_keys = "") {
        // The old harness goes first: it puts the environment back as it found it.
        sim_.reset();
        sim_ = std::make_unique<SimHarness>(std::vector<std::string>{device_with_script(
            scratch_, "PHONE" + std::to_string(++devices_), script, extra_keys)});
        ASSERT_TRUE(sim_->ok()) << sim_->error();
    }
    const std::string &dir() const { return backups_.path(); }

    ScratchDir scratch_;
    ScratchDir backups_;
    std::unique_ptr<SimHarness> sim_;
    int devices_ = 0;
};

TEST_F(Tarvobackup2Exchange, InfoAndListWithoutScriptPrintTheContentAlone) {
    start_device("");
    // The device describes the backup it reads back from the host.
    ASSERT_EQ(backup2({"backup", dir()}).status, 0);
    ProcessResult info = backup2({"info", dir()});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "");
    EXPECT_EQ(info.out.rfind("Device Name: Test Phone\n", 0), 0u) << info.out;
    EXPECT_NE(info.out.find("Target Identifier: PHONE1\n"), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find("Content:"), std::string::npos);

    ProcessResult list = backup2({"list", dir()});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out.rfind("Domain,Path,Size\n", 0), 0u) << list.out;
}

TEST_F(Tarvobackup2Exchange, WithoutNotificationProxyTheCommandStillRuns) {
    start_device("",
                 "<key>MissingServices</key><array>"
                 "<string>com.apple.mobile.notification_proxy</string></array>");
    ProcessResult info = backup2({"info", dir()});
    EXPECT_EQ(info.status, 256 - 102) << info.err;
    EXPECT_NE(info.out.find("ERROR: Could not start service "
                            "com.apple.mobile.notification_proxy.\n"),
              std::string::npos)
        << info.out;
    // The device's answer: there is no backup to describe yet.
    EXPECT_NE(info.out.find("ErrorCode 102: there is no backup in \"PHONE1\"\n"), std::string::npos)
        << info.out;
}

struct ScriptCase {
    const char *what;
    std::vector<std::string> steps;  // for the "Info" request
    int status;
    std::string out;
};

TEST_F(Tarvobackup2Exchange, ScriptedEndsOfTheLoop) {
    const std::vector<ScriptCase> cases = {
        {"content exactly as sent, without a newline added",
         {final_response(0, content("a,b\n\nc"))},
         0,
         "a,b\n\nc"},
        {"a device error is printed and negated into the status",
         {final_response(105, "<key>ErrorDescription</key><string>Not enough space</string>")},
         256 - 105,
         "ErrorCode 105: Not enough space\n"},
        {"unknown messages are passed over quietly",
         {send(message("DLMessagePing", "<string>x</string>")),
          send(message("DLMessageSomethingNew")),
          send(message("DLMessageProcessMessage", "<string>not a dictionary</string>"))},
         255,
         "Unknown message received!\nErrorCode -1: (Unknown)\n"},
        // the purge is answered "not supported" and the device checks that;
        // the unknown message before it must get no answer, or the check
        // would see that answer first
        {"purge answered, unknown names unanswered",
         {send(message("DLMessageSomethingNew", "<string>x</string>")),
          send(message("DLMessagePurgeDiskSpace", "<string>___EmptyParameterString___</string>")),
          expect_status(-1), final_response(0, content("checked"))},
         0,
         "checked"},
        {"several quiet receive waits in a row",
         {sleep_ms(2500), final_response(0, content("late"))},
         0,
         "late"},
        {"a disconnect message ends without a result",
         {send(message("DLMessageDisconnect", "<string>___EmptyParameterString___</string>")),
          final_response(0, content("never read"))},
         255,
         ""},
    };
    for (const ScriptCase &c : cases) {
        SCOPED_TRACE(c.what);
        start_device(backup_script({{"Info", c.steps}}));
        ProcessResult r = backup2({"info", dir()});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Tarvobackup2Exchange, FailedScriptCheckReportsTheDevicesError) {
    // the host answers the purge with -1, not 0: the device ends with 1000
    start_device(
        backup_script({{"List", {send(message("DLMessagePurgeDiskSpace")), expect_status(0)}}}));
    ProcessResult r = backup2({"list", dir()});
    EXPECT_EQ(r.status, 24);  // -1000 in the low 8 bits
    EXPECT_EQ(r.out.rfind("ErrorCode 1000: ", 0), 0u) << r.out;
}

TEST_F(Tarvobackup2Exchange, DroppedConnectionIsAReceiveFailure) {
    start_device(
        backup_script({{"Info", {sleep_ms(200), "<dict><key>Disconnect</key><true/></dict>"}}}));
    ProcessResult r = backup2({"info", dir()});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.rfind("ERROR: Could not receive from mobilebackup2 (", 0), 0u) << r.out;
}

// The device keeps the tool waiting in the loop; a signal stops it there.
TEST_F(Tarvobackup2Exchange, SignalStopsTheLoop) {
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        start_device(backup_script({{"Info",
                                     {send(message("DLMessagePurgeDiskSpace")), expect_status(-1),
                                      sleep_ms(15000), final_response(0, content("too late"))}}}));
        // With -d the library shows each message on standard error: the
        // answer to the purge tells that the loop is running.
        RunningTool tool({"-d", "info", dir()});
        ASSERT_TRUE(tool.started());
        ASSERT_TRUE(tool.wait_for_stderr("Operation not supported"));
        tool.signal(sig);
        ProcessResult r = tool.finish();
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find("Exiting...\n"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Tarvobackup2Exchange, CancelFromTheDeviceStopsTheLoop) {
    start_device(
        backup_script({{"Info",
                        {sleep_ms(300), notify("com.apple.itunes-client.syncCancelRequest"),
                         sleep_ms(15000), final_response(0, content("too late"))}}}));
    ProcessResult r = backup2({"info", dir()});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(Tarvobackup2Exchange, OtherNotificationsDoNotStop) {
    start_device(backup_script(
        {{"Info",
          {sleep_ms(300), notify("com.apple.itunes-client.syncSuspendRequest"),
           notify("com.apple.mobile.backup.domain_changed"), notify("com.example.unobserved"),
           sleep_ms(1500), final_response(0, content("done"))}}}));
    ProcessResult r = backup2({"info", dir()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "done");
}

}  // namespace
