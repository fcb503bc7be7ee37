// The backup service of a simulated device, driven over the real socket as
// a host would: the device-link handshake, the version exchange, the
// default answers, and each kind of script step, byte for byte.
#include "backup_service.h"

#include <gtest/gtest.h>

#include <fstream>

#include "backup_script.h"
#include "device_link_messages.h"
#include "device_services.h"
#include "engine_support.h"
#include "service_registry.h"
#include "service_test_client.h"

namespace tarvosim {
namespace {

// Each test file names the helpers it uses, as the engine and fault tests do.
using testing::dl;
using testing::LockdownTestClient;
using testing::plist_string;
using testing::plist_uint;
using testing::read_bytes;
using testing::Received;
using testing::send_dl;
using testing::ServiceHost;

constexpr const char *kScriptedUdid = "SCRIPTED-1";

/// Element `index` of a received device-link message.
plist_t element(const Received &message, uint32_t index) {
    return message.plist && plist_get_node_type(message.plist.get()) == PLIST_ARRAY
               ? plist_array_get_item(message.plist.get(), index)
               : nullptr;
}

std::string name_of(const Received &message) {
    return plist_string(element(message, 0));
}

/// An item of the dictionary of a DLMessageProcessMessage.
plist_t body_item(const Received &message, const char *key) {
    plist_t body = element(message, 1);
    return body && plist_get_node_type(body) == PLIST_DICT ? plist_dict_get_item(body, key)
                                                           : nullptr;
}

uint32_t read_be32(LockdownTestClient &client) {
    std::vector<uint8_t> bytes = read_bytes(client, 4);
    return bytes.size() == 4
               ? static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]
               : 0xFFFFFFFF;
}

/// One frame of a file stream as "<N> <code> <payload>" pieces.
struct Frame {
    uint32_t length = 0;
    uint8_t code = 0xFF;
    std::vector<uint8_t> payload;
};

Frame read_frame(LockdownTestClient &client) {
    Frame frame;
    frame.length = read_be32(client);
    if (frame.length == 0 || frame.length == 0xFFFFFFFF) {
        return frame;
    }
    frame.code = read_bytes(client, 1).at(0);
    frame.payload = read_bytes(client, frame.length - 1);
    return frame;
}

std::string read_name(LockdownTestClient &client) {
    const uint32_t length = read_be32(client);
    std::vector<uint8_t> name = read_bytes(client, length);
    return std::string(name.begin(), name.end());
}

void write_be32(std::vector<uint8_t> *out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back(static_cast<uint8_t>(value >> shift));
    }
}

/// A host end of the backup service.
class BackupClient {
  public:
    explicit BackupClient(std::unique_ptr<LockdownTestClient> link) : link_(std::move(link)) {}

    LockdownTestClient &link() { return *link_; }

    /// Runs the device-link handshake; returns the device's major version.
    uint64_t handshake() {
        Received offer = link_->receive();
        EXPECT_EQ(name_of(offer), "DLMessageVersionExchange");
        const uint64_t major = plist_uint(element(offer, 1));
        EXPECT_EQ(plist_uint(element(offer, 2)), 0u);
        PlistPtr ok = dl("DLMessageVersionExchange",
                         {plist_new_string("DLVersionsOk"), plist_new_uint(major)});
        EXPECT_TRUE(send_dl(*link_, ok.get()));
        EXPECT_EQ(name_of(link_->receive()), "DLMessageDeviceReady");
        return major;
    }

    Received hello(std::initializer_list<double> versions) {
        plist_t offered = plist_new_array();
        for (double version : versions) {
            plist_array_append_item(offered, plist_new_real(version));
        }
        plist_t body = plist_new_dict();
        plist_dict_set_item(body, "MessageName", plist_new_string("Hello"));
        plist_dict_set_item(body, "SupportedProtocolVersions", offered);
        PlistPtr message = dl("DLMessageProcessMessage", {body});
        EXPECT_TRUE(send_dl(*link_, message.get()));
        return link_->receive();
    }

    /// Sends a request and returns the device's first message after it.
    Received request(const char *name) {
        plist_t body = plist_new_dict();
        plist_dict_set_item(body, "MessageName", plist_new_string(name));
        plist_dict_set_item(body, "TargetIdentifier", plist_new_string(kScriptedUdid));
        PlistPtr message = dl("DLMessageProcessMessage", {body});
        EXPECT_TRUE(send_dl(*link_, message.get()));
        return link_->receive();
    }

    void status(int64_t code, const char *text = "___EmptyParameterString___") {
        PlistPtr message =
            dl("DLMessageStatusResponse", {plist_new_uint(static_cast<uint64_t>(code)),
                                           plist_new_string(text), plist_new_dict()});
        EXPECT_TRUE(send_dl(*link_, message.get()));
    }

  private:
    std::unique_ptr<LockdownTestClient> link_;
};

class BackupServiceTest : public ::testing::Test {
  protected:
    /// Starts a device with these extra device.plist keys and, when given,
    /// this backup script (the keys of its top dictionary).
    void start_scripted(const std::string &script_keys, const std::string &device_keys = "") {
        const std::string dir = SimHarness::make_fixture(
            scratch_.path(),
            SimHarness::device_plist("<key>UniqueDeviceID</key><string>" +
                                     std::string(kScriptedUdid) + "</string>" +
                                     SimHarness::bundled_private_key_xml() + device_keys));
        if (!script_keys.empty()) {
            std::ofstream(dir + "/" + kBackupScriptFileName)
                << SimHarness::device_plist(script_keys);
        }
        host_.start({dir}, kScriptedUdid);
    }

    std::unique_ptr<BackupClient> connect() {
        auto link = host_.connect(kBackupService, true);
        if (!link) {
            return nullptr;
        }
        auto client = std::make_unique<BackupClient>(std::move(link));
        EXPECT_EQ(client->handshake(), 400u);
        return client;
    }

    testing::TempDir scratch_;
    ServiceHost host_;
};

TEST_F(BackupServiceTest, VersionExchangeChoosesTheHighestCommonVersion) {
    start_scripted("");
    auto backup = connect();
    ASSERT_TRUE(backup);
    Received chosen = backup->hello({2.0, 2.1});
    EXPECT_EQ(name_of(chosen), "DLMessageProcessMessage");
    EXPECT_EQ(plist_string(body_item(chosen, "MessageName")), "Response");
    EXPECT_EQ(plist_uint(body_item(chosen, "ErrorCode")), 0u);
    double version = 0;
    plist_get_real_val(body_item(chosen, "ProtocolVersion"), &version);
    EXPECT_DOUBLE_EQ(version, 2.1);

    Received none = backup->hello({3.0});
    EXPECT_NE(plist_uint(body_item(none, "ErrorCode")), 0u);
    EXPECT_EQ(body_item(none, "ProtocolVersion"), nullptr);
}

TEST_F(BackupServiceTest, FixtureSetsTheDeviceLinkAndProtocolVersions) {
    start_scripted("",
                   "<key>DeviceLinkVersion</key><integer>300</integer>"
                   "<key>BackupProtocolVersions</key><array><real>2.0</real></array>");
    auto link = host_.connect(kBackupService, true);
    ASSERT_TRUE(link);
    BackupClient backup(std::move(link));
    EXPECT_EQ(backup.handshake(), 300u);
    double version = 0;
    plist_get_real_val(body_item(backup.hello({2.0, 2.1}), "ProtocolVersion"), &version);
    EXPECT_DOUBLE_EQ(version, 2.0);
}

TEST_F(BackupServiceTest, HostThatAnswersTheHandshakeWronglyIsDropped) {
    start_scripted("");
    auto link = host_.connect(kBackupService, true);
    ASSERT_TRUE(link);
    EXPECT_EQ(name_of(link->receive()), "DLMessageVersionExchange");
    PlistPtr wrong =
        dl("DLMessageVersionExchange", {plist_new_string("DLVersionsOk"), plist_new_uint(100)});
    ASSERT_TRUE(send_dl(*link, wrong.get()));
    EXPECT_TRUE(link->sees_end());
}

TEST(BackupServiceDefaultsTest, InfoAndListReadTheHostsBackupAndOtherRequestsNeedAScript) {
    ServiceHost host;
    host.start();
    auto link = host.connect(kBackupService, true);
    ASSERT_TRUE(link);
    BackupClient backup(std::move(link));
    backup.handshake();

    // Both describe the backup the host holds; a host without one hears so.
    for (const char *query : {"Info", "List"}) {
        SCOPED_TRACE(query);
        Received asked = backup.request(query);
        ASSERT_EQ(name_of(asked), "DLMessageDownloadFiles");
        EXPECT_EQ(plist_string(plist_array_get_item(element(asked, 1), 0)),
                  std::string(kScriptedUdid) + "/Status.plist");
        ASSERT_TRUE(backup.link().send_bytes({0, 0, 0, 0}));  // no such file
        backup.status(0);
        Received none = backup.link().receive();
        EXPECT_EQ(plist_uint(body_item(none, "ErrorCode")), kEngineNoBackup);
        const std::string why = plist_string(body_item(none, "ErrorDescription"));
        EXPECT_NE(why.find("backup in \"SCRIPTED-1\""), std::string::npos) << why;
        EXPECT_EQ(body_item(none, "Content"), nullptr);
    }

    // The engine wants to know which way the cloud switch goes.
    EXPECT_EQ(plist_uint(body_item(backup.request("EnableCloudBackup"), "ErrorCode")),
              kEngineBadRequest);

    // "Backup" and the other backup requests are the engine's; a name
    // neither the engine nor the script knows gets the "no script" answer.
    Received unknown = backup.request("Frobnicate");
    EXPECT_EQ(plist_uint(body_item(unknown, "ErrorCode")), kNoScriptForRequest);
    EXPECT_NE(
        plist_string(body_item(unknown, "ErrorDescription")).find("no script for \"Frobnicate\""),
        std::string::npos);
}

TEST_F(BackupServiceTest, SendAndExpectStatusFailWithCode1000OnAMismatch) {
    start_scripted(R"(
      <key>Backup</key><array>
        <dict><key>Send</key><array><string>DLMessageCreateDirectory</string><string>d</string></array></dict>
        <dict><key>ExpectStatus</key><dict><key>Code</key><integer>0</integer></dict></dict>
        <dict><key>Send</key><array><string>DLMessageRemoveFiles</string><array/></array></dict>
        <dict><key>ExpectStatus</key><dict><key>Code</key><integer>-6</integer></dict></dict>
        <dict><key>Send</key><array><string>DLMessageProcessMessage</string>
          <dict><key>MessageName</key><string>Response</string><key>ErrorCode</key><integer>0</integer></dict></array></dict>
      </array>)");
    auto backup = connect();
    ASSERT_TRUE(backup);

    // Friendly: every status as expected.
    Received created = backup->request("Backup");
    EXPECT_EQ(name_of(created), "DLMessageCreateDirectory");
    EXPECT_EQ(plist_string(element(created, 1)), "d");
    backup->status(0);
    EXPECT_EQ(name_of(backup->link().receive()), "DLMessageRemoveFiles");
    backup->status(-6, "No such file or directory");
    Received done = backup->link().receive();
    EXPECT_EQ(plist_uint(body_item(done, "ErrorCode")), 0u);

    // The same script again: a wrong code ends it with 1000 and the reason.
    EXPECT_EQ(name_of(backup->request("Backup")), "DLMessageCreateDirectory");
    backup->status(-1, "Operation not permitted");
    Received failed = backup->link().receive();
    EXPECT_EQ(plist_uint(body_item(failed, "ErrorCode")), kScriptCheckFailed);
    const std::string why = plist_string(body_item(failed, "ErrorDescription"));
    EXPECT_NE(why.find("step 2"), std::string::npos) << why;
    EXPECT_NE(why.find("status code -1"), std::string::npos) << why;
    EXPECT_NE(why.find("expected 0"), std::string::npos) << why;

    // Something other than a status response where one is due.
    EXPECT_EQ(name_of(backup->request("Backup")), "DLMessageCreateDirectory");
    PlistPtr ping = dl("DLMessagePing", {plist_new_string("x")});
    ASSERT_TRUE(send_dl(backup->link(), ping.get()));
    Received confused = backup->link().receive();
    EXPECT_EQ(plist_uint(body_item(confused, "ErrorCode")), kScriptCheckFailed);
    EXPECT_NE(plist_string(body_item(confused, "ErrorDescription")).find("got DLMessagePing"),
              std::string::npos);
}

// Each script spells its closing response in full, so it reads as the device's steps.
TEST_F(BackupServiceTest, UploadFilesStreamsTheFramesAsScripted) {
    start_scripted(R"(
      <key>Backup</key><array>
        <dict>
          <key>UploadFiles</key><array>
            <dict><key>DevicePath</key><string>dev/a</string><key>LocalPath</key><string>U/a</string>
                  <key>Data</key><data>aGVsbG8gd29ybGQ=</data>
                  <key>Blocks</key><array><integer>4</integer><integer>3</integer></array></dict>
            <dict><key>DevicePath</key><string>dev/b</string><key>LocalPath</key><string>U/b</string>
                  <key>Size</key><integer>70000</integer></dict>
            <dict><key>DevicePath</key><string>dev/c</string><key>LocalPath</key><string>U/c</string>
                  <key>Data</key><data>eA==</data>
                  <key>Close</key><integer>11</integer><key>ErrorText</key><string>disk on fire</string></dict>
          </array>
          <key>Total</key><integer>12345</integer>
          <key>Progress</key><real>42.5</real>
        </dict>
        <dict><key>Send</key><array><string>DLMessageProcessMessage</string>
          <dict><key>MessageName</key><string>Response</string><key>ErrorCode</key><integer>0</integer></dict></array></dict>
      </array>)");
    auto backup = connect();
    ASSERT_TRUE(backup);
    Received upload = backup->request("Backup");
    ASSERT_EQ(name_of(upload), "DLMessageUploadFiles");
    double progress = 0;
    plist_get_real_val(element(upload, 2), &progress);
    EXPECT_DOUBLE_EQ(progress, 42.5);
    EXPECT_EQ(plist_uint(element(upload, 3)), 12345u);

    LockdownTestClient &link = backup->link();
    // "hello world" in blocks of 4, then 3 repeating.
    EXPECT_EQ(read_name(link), "dev/a");
    EXPECT_EQ(read_name(link), "U/a");
    for (const char *block : {"hell", "o w", "orl", "d"}) {
        Frame frame = read_frame(link);
        EXPECT_EQ(frame.code, dl::kXferData);
        EXPECT_EQ(std::string(frame.payload.begin(), frame.payload.end()), block);
    }
    Frame closed = read_frame(link);
    EXPECT_EQ(closed.length, 1u);
    EXPECT_EQ(closed.code, dl::kXferOk);

    // 70000 bytes of the pattern in the default 32 KiB blocks.
    EXPECT_EQ(read_name(link), "dev/b");
    EXPECT_EQ(read_name(link), "U/b");
    uint64_t offset = 0;
    for (uint32_t size : {32768u, 32768u, 4464u}) {
        Frame frame = read_frame(link);
        ASSERT_EQ(frame.length, size + 1);
        EXPECT_EQ(frame.code, dl::kXferData);
        std::vector<uint8_t> wanted(size);
        fill_upload_pattern(offset, wanted);
        EXPECT_EQ(frame.payload, wanted) << "block at " << offset;
        offset += size;
    }
    EXPECT_EQ(read_frame(link).code, dl::kXferOk);

    // A device error closes the third file, with its text.
    EXPECT_EQ(read_name(link), "dev/c");
    EXPECT_EQ(read_name(link), "U/c");
    EXPECT_EQ(read_frame(link).payload, std::vector<uint8_t>{'x'});
    Frame error = read_frame(link);
    EXPECT_EQ(error.code, dl::kXferDeviceError);
    EXPECT_EQ(std::string(error.payload.begin(), error.payload.end()), "disk on fire");
    EXPECT_EQ(read_be32(link), 0u) << "the stream ends with a zero length";

    backup->status(0);
    EXPECT_EQ(plist_uint(body_item(link.receive(), "ErrorCode")), 0u);
}

TEST_F(BackupServiceTest, DownloadFilesChecksWhatTheHostSends) {
    start_scripted(R"(
      <key>Restore</key><array>
        <dict>
          <key>DownloadFiles</key><array><string>U/a</string><string>U/b</string></array>
          <key>Expect</key><array>
            <dict><key>Path</key><string>U/a</string><key>Data</key><data>QUFB</data></dict>
            <dict><key>Path</key><string>U/b</string><key>Missing</key><true/></dict>
          </array>
        </dict>
        <dict><key>Send</key><array><string>DLMessageProcessMessage</string>
          <dict><key>MessageName</key><string>Response</string><key>ErrorCode</key><integer>0</integer></dict></array></dict>
      </array>)");
    auto backup = connect();
    ASSERT_TRUE(backup);

    struct Case {
        const char *content;
        int64_t status;
        uint64_t error_code;
        const char *why;
    };
    const Case cases[] = {
        {"AAA", -13, 0, ""},
        {"AAB", -13, kScriptCheckFailed, "differs from the expected content at byte 2"},
        {"AAAA", -13, kScriptCheckFailed, "longer than the expected 3 bytes"},
        {"AAA", 0, kScriptCheckFailed, "status code 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content);
        Received download = backup->request("Restore");
        ASSERT_EQ(name_of(download), "DLMessageDownloadFiles");
        plist_t paths = element(download, 1);
        ASSERT_EQ(plist_array_get_size(paths), 2u);
        EXPECT_EQ(plist_string(plist_array_get_item(paths, 1)), "U/b");

        std::vector<uint8_t> stream;
        const std::string content = c.content;
        write_be32(&stream, 3);
        stream.insert(stream.end(), {'U', '/', 'a'});
        write_be32(&stream, static_cast<uint32_t>(content.size() + 1));
        stream.push_back(dl::kXferData);
        stream.insert(stream.end(), content.begin(), content.end());
        stream.insert(stream.end(), {0, 0, 0, 1, dl::kXferOk});
        write_be32(&stream, 3);
        stream.insert(stream.end(), {'U', '/', 'b'});
        const std::string missing = "No such file or directory";
        write_be32(&stream, static_cast<uint32_t>(missing.size() + 1));
        stream.push_back(dl::kXferHostError);
        stream.insert(stream.end(), missing.begin(), missing.end());
        write_be32(&stream, 0);
        ASSERT_TRUE(backup->link().send_bytes(stream));
        if (c.error_code == 0 || std::string(c.why).starts_with("status")) {
            backup->status(c.status, "Multi status");
        }
        Received outcome = backup->link().receive();
        EXPECT_EQ(plist_uint(body_item(outcome, "ErrorCode")), c.error_code);
        EXPECT_NE(plist_string(body_item(outcome, "ErrorDescription")).find(c.why),
                  std::string::npos);
        if (c.error_code != 0 && !std::string(c.why).starts_with("status")) {
            // The check stopped reading mid-stream; start afresh.
            backup = connect();
            ASSERT_TRUE(backup);
        }
    }
}

TEST_F(BackupServiceTest, RawNotifySleepAndDisconnect) {
    start_scripted(R"(
      <key>Unback</key><array>
        <dict><key>Notify</key><string>com.example.sync</string></dict>
        <dict><key>SleepMs</key><integer>1</integer></dict>
        <dict><key>Raw</key><data>UkFXIQ==</data></dict>
        <dict><key>Disconnect</key><true/></dict>
      </array>)");
    auto observer = host_.connect(kNotificationProxyService);
    ASSERT_TRUE(observer);
    auto observe = [&](const char *name) {
        PlistPtr message(plist_new_dict());
        plist_dict_set_item(message.get(), "Command", plist_new_string("ObserveNotification"));
        plist_dict_set_item(message.get(), "Name", plist_new_string(name));
        EXPECT_TRUE(observer->send_plist(message.get()));
    };
    observe("com.example.sync");
    // Settled once a self-posted name comes back.
    observe("com.example.barrier");
    PlistPtr post(plist_new_dict());
    plist_dict_set_item(post.get(), "Command", plist_new_string("PostNotification"));
    plist_dict_set_item(post.get(), "Name", plist_new_string("com.example.barrier"));
    ASSERT_TRUE(observer->send_plist(post.get()));
    ASSERT_EQ(observer->receive().string_at("Name"), "com.example.barrier");

    auto backup = connect();
    ASSERT_TRUE(backup);
    plist_t body = plist_new_dict();
    plist_dict_set_item(body, "MessageName", plist_new_string("Unback"));
    PlistPtr request = dl("DLMessageProcessMessage", {body});
    ASSERT_TRUE(send_dl(backup->link(), request.get()));
    EXPECT_EQ(read_bytes(backup->link(), 4), testing::bytes_of("RAW!"));
    EXPECT_TRUE(backup->link().sees_end());
    EXPECT_EQ(observer->receive().string_at("Name"), "com.example.sync");
}

TEST_F(BackupServiceTest, ExpectRequestChecksTheItemsOfEachKindOfRequest) {
    const std::string respond =
        "<dict><key>Send</key><array><string>DLMessageProcessMessage</string><dict>"
        "<key>MessageName</key><string>Response</string><key>ErrorCode</key><integer>0</integer>"
        "</dict></array></dict>";
    auto script = [&](const char *request, const std::string &items) {
        return std::string("<key>") + request +
               "</key><array><dict><key>ExpectRequest</key><dict>" + items + "</dict></dict>" +
               respond + "</array>";
    };
    const std::string ids =
        "<key>TargetIdentifier</key><string>SCRIPTED-1</string>"
        "<key>SourceIdentifier</key><string>SCRIPTED-1</string>";
    start_scripted(
        script("Backup", ids + "<key>Options</key><dict><key>ForceFullBackup</key><true/></dict>") +
        script("Restore",
               "<key>Options</key><dict><key>RestoreSystemFiles</key><true/>"
               "<key>Password</key><string>pw</string></dict>") +
        script("Unback", "<key>SourceIdentifier</key><string>OTHER-2</string>") +
        script("EnableCloudBackup",
               "<key>Options</key><dict><key>CloudBackupState</key><true/></dict>") +
        script("ChangePassword",
               "<key>MessageName</key><string>ChangePassword</string>"
               "<key>OldPassword</key><string>old</string>"
               "<key>NewPassword</key><string>new</string>"));
    struct Case {
        const char *what;
        std::string body;  // the items of the request as the host sends them
        const char *why;   // "" when the script must pass
    };
    const std::string backup = "<key>MessageName</key><string>Backup</string>" + ids;
    const std::string restore = "<key>MessageName</key><string>Restore</string>" + ids;
    const Case cases[] = {
        {"backup as expected",
         backup + "<key>Options</key><dict><key>ForceFullBackup</key><true/></dict>", ""},
        {"backup with another option value",
         backup + "<key>Options</key><dict><key>ForceFullBackup</key><false/></dict>",
         "\"Backup\" step 1: the request's \"Options\" > \"ForceFullBackup\" is false, "
         "expected true"},
        {"backup with an option more",
         backup + "<key>Options</key><dict><key>ForceFullBackup</key><true/>"
                  "<key>Extra</key><integer>1</integer></dict>",
         "the request's \"Options\" > \"Extra\" is 1, expected no such item"},
        {"backup for another device",
         "<key>MessageName</key><string>Backup</string>"
         "<key>TargetIdentifier</key><string>OTHER-2</string>",
         "the request's \"TargetIdentifier\" is \"OTHER-2\", expected \"SCRIPTED-1\""},
        {"restore as expected",
         restore + "<key>Options</key><dict><key>Password</key><string>pw</string>"
                   "<key>RestoreSystemFiles</key><true/></dict>",
         ""},
        {"restore without options", restore, "the request's \"Options\" is missing, expected"},
        {"restore with a password of another type",
         restore + "<key>Options</key><dict><key>RestoreSystemFiles</key><true/>"
                   "<key>Password</key><data>cHc=</data></dict>",
         "\"Password\" is data (<data 2 bytes>), expected a string (\"pw\")"},
        {"unback from another source",
         "<key>MessageName</key><string>Unback</string>"
         "<key>TargetIdentifier</key><string>SCRIPTED-1</string>"
         "<key>SourceIdentifier</key><string>OTHER-2</string>",
         ""},
        {"cloud backup switched on",
         "<key>MessageName</key><string>EnableCloudBackup</string>" + ids +
             "<key>Options</key><dict><key>CloudBackupState</key><true/></dict>",
         ""},
        {"password change as a message",
         "<key>MessageName</key><string>ChangePassword</string>"
         "<key>TargetIdentifier</key><string>SCRIPTED-1</string>"
         "<key>NewPassword</key><string>new</string><key>OldPassword</key><string>old</string>",
         ""},
        {"password change with the wrong old password",
         "<key>MessageName</key><string>ChangePassword</string>"
         "<key>NewPassword</key><string>new</string><key>OldPassword</key><string>0ld</string>",
         "\"ChangePassword\" step 1: the request's \"OldPassword\" is \"0ld\", expected \"old\""},
    };
    auto backup_link = connect();
    ASSERT_TRUE(backup_link);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string xml = SimHarness::device_plist(c.body);
        plist_t body = nullptr;
        plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &body);
        ASSERT_NE(body, nullptr);
        PlistPtr message = dl("DLMessageProcessMessage", {body});
        ASSERT_TRUE(send_dl(backup_link->link(), message.get()));
        Received outcome = backup_link->link().receive();
        EXPECT_EQ(plist_uint(body_item(outcome, "ErrorCode")), *c.why ? kScriptCheckFailed : 0u);
        EXPECT_NE(plist_string(body_item(outcome, "ErrorDescription")).find(c.why),
                  std::string::npos)
            << plist_string(body_item(outcome, "ErrorDescription"));
    }
}

TEST_F(BackupServiceTest, StartedWithTheEscrowBagOfThePairing) {
    start_scripted("");
    const ServiceRegistry registry = default_service_registry(scratch_.file("device"));
    const ServiceDefinition *definition = registry.find(kBackupService);
    ASSERT_NE(definition, nullptr);
    ASSERT_TRUE(definition->check_start);

    TrustedHost host;
    host.escrow_bag = host_.escrow_bag();
    ASSERT_EQ(host.escrow_bag.size(), 32u);
    PlistPtr request(plist_new_dict());
    EXPECT_EQ(definition->check_start(request.get(), host), "EscrowLocked");
    std::vector<uint8_t> other = host.escrow_bag;
    other[0] ^= 1;
    plist_dict_set_item(request.get(), "EscrowBag",
                        plist_new_data(reinterpret_cast<const char *>(other.data()), other.size()));
    EXPECT_EQ(definition->check_start(request.get(), host), "EscrowLocked");
    plist_dict_set_item(request.get(), "EscrowBag",
                        plist_new_data(reinterpret_cast<const char *>(host.escrow_bag.data()),
                                       host.escrow_bag.size()));
    EXPECT_EQ(definition->check_start(request.get(), host), "");

    // The other services ask for nothing.
    EXPECT_FALSE(registry.find(kAfcService)->check_start);
    EXPECT_FALSE(registry.find(kNotificationProxyService)->check_start);
}

}  // namespace
}  // namespace tarvosim
