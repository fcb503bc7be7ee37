// The device-link message loop at function level, over a scripted channel:
// its ends and results, what it prints with verbose on and off, the answers
// it sends, the overall progress bar, and the helpers it shares with the
// file handlers (progress bar, errno mapping, progress from a message).
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "device_errors.h"
#include "message_loop.h"
#include "progress.h"
#include "session.h"
#include "signals_and_notifications.h"
#include "test_support.h"

namespace {

constexpr int kTimeout = MOBILEBACKUP2_E_RECEIVE_TIMEOUT;

struct StatusResponse {
    int code;
    std::string text;  // "(none)" for a null text
    std::string value_xml;
};

// A device that sends what the test queued, one receive at a time, and
// keeps the host's answers. Once the queue is empty every receive fails, so
// a loop that does not end where the test expects still ends.
class ScriptedChannel : public BackupChannel {
  public:
    void queue(const std::string &message_xml) { incoming_.push_back({0, message_xml, {}}); }
    void queue_result(int result) { incoming_.push_back({result, "", {}}); }
    // Runs `action` on the receive that delivers the next queued item.
    void on_next_receive(std::function<void()> action) { incoming_.back().action = action; }

    int receive_message(plist_t *message, char **name) override {
        ++receives;
        if (incoming_.empty()) {
            return MOBILEBACKUP2_E_MUX_ERROR;
        }
        Incoming next = incoming_.front();
        incoming_.pop_front();
        if (next.action) {
            next.action();
        }
        if (next.result != 0) {
            return next.result;
        }
        PlistPtr node = plist_from_fragment(next.xml);
        plist_t first = plist_get_node_type(node.get()) == PLIST_ARRAY
                            ? plist_array_get_item(node.get(), 0)
                            : nullptr;
        if (first && plist_get_node_type(first) == PLIST_STRING) {
            plist_get_string_val(first, name);
        }
        *message = node.release();
        return 0;
    }
    int send_status_response(int code, const char *text, plist_t value) override {
        char *xml = nullptr;
        uint32_t length = 0;
        if (value) {
            plist_to_xml(value, &xml, &length);
        }
        CString owned(xml);
        responses.push_back({code, text ? text : "(none)", owned ? owned.get() : "(none)"});
        return 0;
    }
    int send_raw(const char *, uint32_t, uint32_t *sent) override {
        *sent = 0;
        return MOBILEBACKUP2_E_MUX_ERROR;
    }
    int receive_raw(char *, uint32_t, uint32_t *received) override {
        *received = 0;
        return MOBILEBACKUP2_E_MUX_ERROR;
    }

    std::vector<StatusResponse> responses;
    int receives = 0;
    size_t left() const { return incoming_.size(); }

  private:
    struct Incoming {
        int result;
        std::string xml;
        std::function<void()> action;
    };
    std::deque<Incoming> incoming_;
};

std::string process_message(const std::string &dict_body) {
    return "<array><string>DLMessageProcessMessage</string><dict>" + dict_body + "</dict></array>";
}

std::string named(const std::string &name, const std::string &rest = "") {
    return "<array><string>" + name + "</string>" + rest + "</array>";
}

const std::string kDone = process_message("<key>ErrorCode</key><integer>0</integer>");

class Tarvobackup2MessageLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        verbose = true;
        quit_flag = 0;
        overall_progress = 0;
    }
    void TearDown() override {
        verbose = true;
        quit_flag = 0;
        overall_progress = 0;
    }
    // Runs the loop over the channel; returns what it printed.
    std::string run() {
        StdoutCapture capture;
        mb2_run_message_loop(channel, "/backups", &result);
        return capture.take();
    }

    ScriptedChannel channel;
    Mb2LoopResult result;
};

// How the final process message decides the results and the printed lines.
struct EndCase {
    const char *what;
    std::string final_message;
    bool verbose;
    bool completed_ok;
    int operation_result;
    std::string out;
};

TEST_F(Tarvobackup2MessageLoop, FinalProcessMessage) {
    const std::vector<EndCase> cases = {
        {"content alone when quiet",
         process_message("<key>ErrorCode</key><integer>0</integer>"
                         "<key>Content</key><string>a,b\nc,d\n</string>"),
         false, true, 0, "a,b\nc,d\n"},
        {"content after its heading when verbose",
         process_message("<key>ErrorCode</key><integer>0</integer>"
                         "<key>Content</key><string>no newline</string>"),
         true, true, 0, "Content:\nno newline"},
        {"device error with description, even when quiet",
         process_message("<key>ErrorCode</key><integer>105</integer>"
                         "<key>ErrorDescription</key><string>Not enough space</string>"),
         false, false, -105, "ErrorCode 105: Not enough space\n"},
        {"device error without description",
         process_message("<key>ErrorCode</key><integer>2</integer>"), true, false, -2,
         "ErrorCode 2: (Unknown)\n"},
        {"error 0 with a description prints nothing of it",
         process_message("<key>ErrorCode</key><integer>0</integer>"
                         "<key>ErrorDescription</key><string>all fine</string>"),
         true, true, 0, ""},
        {"error and content both",
         process_message("<key>ErrorCode</key><integer>7</integer>"
                         "<key>Content</key><string>partial</string>"),
         false, false, -7, "ErrorCode 7: (Unknown)\npartial"},
        {"a code that is not an unsigned integer leaves the result alone",
         process_message("<key>ErrorCode</key><string>0</string>"), false, false, -1,
         "ErrorCode -1: (Unknown)\n"},
        {"element 1 is a string", named("DLMessageProcessMessage", "<string>Response</string>"),
         false, false, -1, "Unknown message received!\nErrorCode -1: (Unknown)\n"},
        {"element 1 is missing", named("DLMessageProcessMessage"), false, false, -1,
         "Unknown message received!\nErrorCode -1: (Unknown)\n"},
        {"a code above 31 bits is taken as a signed 32-bit number",
         process_message("<key>ErrorCode</key><integer>4294967295</integer>"), false, false, 1,
         "ErrorCode -1: (Unknown)\n"},
        {"the most negative code cannot be negated and keeps its value",
         process_message("<key>ErrorCode</key><integer>2147483648</integer>"), false, false,
         INT32_MIN, "ErrorCode -2147483648: (Unknown)\n"},
    };
    for (const EndCase &c : cases) {
        SCOPED_TRACE(c.what);
        channel = ScriptedChannel();
        verbose = c.verbose;
        channel.queue(c.final_message);
        std::string out = run();
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(result.completed_ok, c.completed_ok);
        EXPECT_EQ(result.operation_result, c.operation_result);
        EXPECT_EQ(result.files_received, 0);
        EXPECT_EQ(channel.receives, 1);
        EXPECT_TRUE(channel.responses.empty());
    }
}

TEST_F(Tarvobackup2MessageLoop, DisconnectEndsWithoutSuccess) {
    channel.queue(named("DLMessageDisconnect", "<string>___EmptyParameterString___</string>"));
    channel.queue(kDone);  // never read
    EXPECT_EQ(run(), "");
    EXPECT_FALSE(result.completed_ok);
    EXPECT_EQ(result.operation_result, -1);
    EXPECT_EQ(channel.left(), 1u);
    EXPECT_EQ(quit_flag, 0);
}

TEST_F(Tarvobackup2MessageLoop, QuietWaitsAndIgnoredMessagesGetNoAnswer) {
    for (int i = 0; i < 5; ++i)
        channel.queue_result(kTimeout);
    channel.queue(named("DLMessagePing", "<string>hello</string>"));
    channel.queue("<dict><key>not</key><string>an array</string></dict>");
    channel.queue("<array><integer>5</integer></array>");
    channel.queue(named("dlmessageprocessmessage"));  // names compare exactly
    channel.queue_result(kTimeout);
    channel.queue(kDone);
    EXPECT_EQ(run(), "");
    EXPECT_TRUE(result.completed_ok);
    EXPECT_EQ(result.operation_result, 0);
    EXPECT_TRUE(channel.responses.empty());
    EXPECT_EQ(channel.left(), 0u);
}

TEST_F(Tarvobackup2MessageLoop, ReceiveFailureStopsThroughQuitFlag) {
    channel.queue_result(kTimeout);
    channel.queue_result(MOBILEBACKUP2_E_MUX_ERROR);
    channel.queue(kDone);  // never read
    verbose = false;       // the error line is printed whatever verbose says
    EXPECT_EQ(run(), "ERROR: Could not receive from mobilebackup2 (-3)\n");
    EXPECT_FALSE(result.completed_ok);
    EXPECT_EQ(result.operation_result, -1);
    EXPECT_EQ(quit_flag, 1);
    EXPECT_EQ(channel.left(), 1u);
}

TEST_F(Tarvobackup2MessageLoop, StopRequestEndsThePassItArrivesIn) {
    channel.queue(named("DLMessageNotInTheTable", "<string>x</string>"));
    channel.queue_result(kTimeout);
    channel.on_next_receive([] { ++quit_flag; });
    channel.queue(kDone);  // never read
    EXPECT_EQ(run(), "");
    EXPECT_FALSE(result.completed_ok);
    EXPECT_EQ(result.operation_result, -1);
    EXPECT_EQ(channel.left(), 1u);

    // A stop raised before the loop still lets one message through.
    channel = ScriptedChannel();
    quit_flag = 1;
    channel.queue(named("DLMessagePurgeDiskSpace"));
    channel.queue(kDone);
    run();
    EXPECT_EQ(channel.responses.size(), 1u);
    EXPECT_EQ(channel.left(), 1u);
    EXPECT_EQ(result.operation_result, -1);
}

TEST_F(Tarvobackup2MessageLoop, PurgeDiskSpaceIsAnsweredNotSupported) {
    channel.queue(named("DLMessagePurgeDiskSpace", "<string>___EmptyParameterString___</string>"));
    channel.queue(kDone);
    EXPECT_EQ(run(), "");
    ASSERT_EQ(channel.responses.size(), 1u);
    EXPECT_EQ(channel.responses[0].code, -1);
    EXPECT_EQ(channel.responses[0].text, "Operation not supported");
    EXPECT_NE(channel.responses[0].value_xml.find("<dict/>"), std::string::npos)
        << channel.responses[0].value_xml;
    EXPECT_TRUE(result.completed_ok);
}

TEST_F(Tarvobackup2MessageLoop, DispatchTableRowsInOrder) {
    const std::vector<std::string> expected = {
        "DLMessageDownloadFiles",  "DLMessageUploadFiles",  "DLMessageGetFreeDiskSpace",
        "DLMessagePurgeDiskSpace", "DLContentsOfDirectory", "DLMessageCreateDirectory",
        "DLMessageMoveFiles",      "DLMessageMoveItems",    "DLMessageRemoveFiles",
        "DLMessageRemoveItems",    "DLMessageCopyItem",     "DLMessageDisconnect",
        "DLMessageProcessMessage"};
    std::vector<std::string> names;
    for (const Mb2DispatchRow &row : mb2_dispatch_table()) {
        names.push_back(row.name);
        EXPECT_EQ(row.ends_loop, names.back() == "DLMessageDisconnect" ||
                                     names.back() == "DLMessageProcessMessage")
            << row.name;
    }
    EXPECT_EQ(names, expected);
}

TEST_F(Tarvobackup2MessageLoop, OverallProgressBarAfterEachMessage) {
    const std::string bar45 = "\r[=======================                           ]  45%";
    overall_progress = 45;
    channel.queue(named("DLMessageUnknown"));
    channel.queue_result(kTimeout);  // a quiet pass draws nothing
    channel.queue(named("DLMessagePurgeDiskSpace"));
    channel.queue(kDone);  // the final message draws nothing either
    EXPECT_EQ(run(), bar45 + " Finished\n" + bar45 + " Finished\n");

    // At 100 the bar is drawn once and then no more in this run.
    channel = ScriptedChannel();
    overall_progress = 100;
    channel.queue(named("DLMessageUnknown"));
    channel.queue(named("DLMessageUnknown"));
    channel.queue(kDone);
    EXPECT_EQ(run(), "\r[" + std::string(50, '=') + "] 100% Finished\n");

    // A new run starts with its bar not yet done.
    channel = ScriptedChannel();
    channel.queue(named("DLMessageUnknown"));
    channel.queue(kDone);
    EXPECT_EQ(run(), "\r[" + std::string(50, '=') + "] 100% Finished\n");

    // Quiet runs draw nothing, and nothing shows before there is progress.
    channel = ScriptedChannel();
    verbose = false;
    channel.queue(named("DLMessageUnknown"));
    channel.queue(kDone);
    EXPECT_EQ(run(), "");
    channel = ScriptedChannel();
    verbose = true;
    overall_progress = 0;
    channel.queue(named("DLMessageUnknown"));
    channel.queue(kDone);
    EXPECT_EQ(run(), "");
}

TEST(Tarvobackup2Progress, BarCellsAndPercentage) {
    verbose = true;
    struct Case {
        double percent;
        int filled;
        std::string tail;
    } cases[] = {
        {45, 23, "]  45%"},   {100, 50, "] 100%"}, {0, 0, "]   0%"},    {0.5, 1, "]   0%"},
        {99.9, 50, "] 100%"}, {-3, 0, "]  -3%"},   {250, 50, "] 250%"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.percent);
        StdoutCapture capture;
        draw_progress_bar(c.percent);
        EXPECT_EQ(capture.take(),
                  "\r[" + std::string(c.filled, '=') + std::string(50 - c.filled, ' ') + c.tail);
    }
    verbose = false;
    StdoutCapture capture;
    draw_progress_bar(45);
    EXPECT_EQ(capture.take(), "");
    verbose = true;
}

TEST(Tarvobackup2Progress, OverallPercentFromMessages) {
    struct Case {
        const char *name;
        std::string args;  // the message's elements after the name
        double expected;
    } cases[] = {
        {"DLMessageDownloadFiles", "<array/><dict/><real>12.5</real>", 12.5},
        {"DLMessageMoveFiles", "<dict/><dict/><real>30</real>", 30},
        {"DLMessageRemoveFiles", "<array/><dict/><real>32</real>", 32},
        {"DLMessageUploadFiles", "<dict/><real>40</real><integer>100</integer>", 40},
        // the upload's element 3 is its total size, not a percentage
        {"DLMessageUploadFiles", "<dict/><string>x</string><real>50</real>", 7},
        {"DLMessageDownloadFiles", "<array/><dict/><real>0</real>", 7},
        {"DLMessageDownloadFiles", "<array/><dict/><integer>60</integer>", 7},
        {"DLMessageDownloadFiles", "<array/><dict/>", 7},
        {"DLMessageCopyItem", "<string>a</string><string>b</string><real>90</real>", 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.args);
        overall_progress = 7;
        PlistPtr message = plist_from_fragment(named(c.name, c.args));
        mb2_set_overall_progress_from_message(message.get(), c.name);
        EXPECT_EQ(overall_progress, c.expected);
    }
    overall_progress = 7;
    mb2_set_overall_progress_from_message(nullptr, "DLMessageDownloadFiles");
    mb2_set_overall_progress_from_message(nullptr, nullptr);
    EXPECT_EQ(overall_progress, 7);
    overall_progress = 0;
}

TEST(Tarvobackup2DeviceErrors, ErrnoByName) {
    const std::pair<int, int> cases[] = {
        {ENOENT, -6},  {EEXIST, -7}, {ENOTDIR, -8}, {EISDIR, -9}, {ELOOP, -10}, {EIO, -11},
        {ENOSPC, -15}, {EACCES, -1}, {EPERM, -1},   {0, -1},      {-5, -1},     {100000, -1},
    };
    for (const auto &[error_number, code] : cases) {
        EXPECT_EQ(device_error_from_errno(error_number), code) << strerror(error_number);
    }
}

TEST(Tarvobackup2DeviceFacts, ProductVersionPacking) {
    const std::pair<const char *, uint32_t> cases[] = {
        {"13.2.3", 0x0D0203},
        {"13.2", 0x0D0200},
        {"12", 0},
        {"17.5.1", 0x110501},
        {"", 0},
        {"x.1", 0},
        {"13.x", 0},
        {"300.257.258", 0x2C0102},
        {"99999999999999999999.1", 0xFF0100},  // saturates, then cut to 8 bits
        {"13.2.3.4", 0x0D0203},
        {nullptr, 0},
    };
    for (const auto &[text, packed] : cases) {
        EXPECT_EQ(device_version_from_product_version(text), packed) << (text ? text : "(null)");
    }
}

}  // namespace
