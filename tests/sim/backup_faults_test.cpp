// The backup engine's fault knobs: mistakes in them are refused naming the
// knob, the override file in the state folder counts its uses down and
// goes, and a vanishing device stops at exactly the byte or message its
// knob names, as a host of the test's own sees it on the wire.
#include "backup_faults.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>

#include "backup_service.h"
#include "engine_support.h"
#include "service_test_client.h"

namespace tarvosim {
namespace {

using testing::dl;
using testing::LockdownTestClient;
using testing::plist_string;
using testing::plist_uint;
using testing::Received;
using testing::send_dl;
using testing::ServiceHost;
using testing::TempDir;

constexpr const char *kUdid = "FAULTS-1";

PlistPtr dict_of(const std::string &keys_xml) {
    const std::string xml = "<plist version=\"1.0\"><dict>" + keys_xml + "</dict></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.c_str(), static_cast<uint32_t>(xml.size()), &node);
    return PlistPtr(node);
}

TEST(BackupFaultsTest, MistakesAreRefusedNamingTheKnob) {
    struct Case {
        const char *knobs;
        const char *key;
        const char *why;
    };
    const Case cases[] = {
        {"<key>DisconnectAfterFile</key><integer>1</integer>", "DisconnectAfterFile",
         "unknown knob"},
        {"<key>DisconnectAfterBytes</key><string>10</string>", "DisconnectAfterBytes",
         "whole number, 0 or more"},
        // libplist keeps a negative integer as a huge one.
        {"<key>DisconnectAfterFiles</key><integer>-1</integer>", "DisconnectAfterFiles",
         "whole number, 0 or more"},
        {"<key>FinalErrorCode</key><integer>0</integer>", "FinalErrorCode", "from 1 to"},
        {"<key>FinalErrorDescription</key><string>x</string>", "FinalErrorDescription",
         "goes with a FinalErrorCode"},
        {"<key>Requests</key><array><string>Backups</string></array>", "Requests",
         "item 1 is no request the engine answers"},
        {"<key>Times</key><integer>0</integer>", "Times", "1 or more"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.knobs);
        PlistPtr dict = dict_of(c.knobs);
        BackupFaults faults;
        std::string key;
        std::string why;
        EXPECT_FALSE(read_backup_faults(dict.get(), true, &faults, &key, &why));
        EXPECT_EQ(key, c.key);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

TEST(BackupFaultsTest, FixtureSectionIsCheckedWhenTheFixtureLoadsAndCannotCountDown) {
    TempDir dir;
    const std::string folder = SimHarness::make_fixture(
        dir.path(), SimHarness::device_plist("<key>UniqueDeviceID</key><string>U1</string>"
                                             "<key>BackupFaults</key><dict><key>Times</key>"
                                             "<integer>2</integer></dict>"));
    Fixture fixture;
    std::string error;
    EXPECT_FALSE(load_fixture(folder, &fixture, &error));
    EXPECT_NE(error.find("device.plist: key \"BackupFaults\": \"Times\" only backup-faults.plist"),
              std::string::npos)
        << error;
}

/// A host of the test's own on the device's backup service.
class RawBackupHost {
  public:
    explicit RawBackupHost(std::unique_ptr<LockdownTestClient> link) : link_(std::move(link)) {
        Received offer = link_->receive();
        PlistPtr ok = dl("DLMessageVersionExchange",
                         {plist_new_string("DLVersionsOk"),
                          plist_new_uint(plist_uint(plist_array_get_item(offer.plist.get(), 1)))});
        EXPECT_TRUE(send_dl(*link_, ok.get()));
        EXPECT_EQ(name_of(link_->receive()), "DLMessageDeviceReady");
    }

    static std::string name_of(const Received &message) {
        return message.plist ? plist_string(plist_array_get_item(message.plist.get(), 0)) : "";
    }

    /// Sends the request; returns the device's first message after it.
    Received request(const char *name, plist_t options = nullptr) {
        plist_t body = plist_new_dict();
        plist_dict_set_item(body, "MessageName", plist_new_string(name));
        if (options) {
            plist_dict_set_item(body, "Options", options);
        }
        PlistPtr message = dl("DLMessageProcessMessage", {body});
        EXPECT_TRUE(send_dl(*link_, message.get()));
        return link_->receive();
    }

    /// Answers the device's message `name` as a host with no backup and
    /// room to spare; false once the device has gone.
    bool answer(const std::string &name) {
        // A file the host lacks: its stream is the zero length alone.
        if (name == "DLMessageDownloadFiles" && !link_->send_bytes({0, 0, 0, 0})) {
            return false;
        }
        plist_t value = name == "DLMessageGetFreeDiskSpace" ? plist_new_uint(uint64_t{1} << 40)
                                                            : plist_new_dict();
        PlistPtr status =
            dl("DLMessageStatusResponse",
               {plist_new_uint(0), plist_new_string("___EmptyParameterString___"), value});
        return send_dl(*link_, status.get());
    }

    /// The raw bytes that come until the device closes; -1 when it stays.
    long bytes_until_end() {
        long total = 0;
        uint8_t buffer[4096];
        for (;;) {
            const long n = ::recv(link_->fd(), buffer, sizeof buffer, 0);
            if (n <= 0) {
                return n == 0 ? total : -1;
            }
            total += n;
        }
    }

    LockdownTestClient &link() { return *link_; }

  private:
    std::unique_ptr<LockdownTestClient> link_;
};

class BackupFaultsDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string folder = SimHarness::make_fixture(
            scratch_.path(),
            SimHarness::device_plist(std::string("<key>UniqueDeviceID</key><string>") + kUdid +
                                     "</string>" + SimHarness::bundled_private_key_xml()));
        host_.start({folder}, kUdid);
    }

    std::string override_file() {
        return host_.sim().state_dir() + "/devices/" + kUdid + "/" + kBackupFaultsFile;
    }
    void write_override(const std::string &keys_xml) {
        std::ofstream(override_file()) << SimHarness::device_plist(keys_xml);
    }
    RawBackupHost connect() { return RawBackupHost(host_.connect(kBackupService, true)); }

    static plist_t cloud_on() {
        plist_t options = plist_new_dict();
        plist_dict_set_item(options, "CloudBackupState", plist_new_bool(1));
        return options;
    }
    static plist_t response_item(const Received &response, const char *key) {
        return plist_dict_get_item(plist_array_get_item(response.plist.get(), 1), key);
    }

    TempDir scratch_;
    ServiceHost host_;
};

TEST_F(BackupFaultsDeviceTest, OverrideFileCountsItsTimesDownAndGoes) {
    write_override(
        "<key>FinalErrorCode</key><integer>7</integer>"
        "<key>Requests</key><array><string>EnableCloudBackup</string></array>"
        "<key>Times</key><integer>2</integer>");
    RawBackupHost backup = connect();
    auto code_of = [](const Received &response) {
        return plist_uint(response_item(response, "ErrorCode"));
    };
    // A request the file does not name leaves its count alone.
    EXPECT_EQ(code_of(backup.request("ChangePassword")), kEngineBadRequest);
    EXPECT_EQ(code_of(backup.request("EnableCloudBackup", cloud_on())), 7u);
    EXPECT_TRUE(std::filesystem::exists(override_file()));
    EXPECT_EQ(code_of(backup.request("EnableCloudBackup", cloud_on())), 7u);
    EXPECT_FALSE(std::filesystem::exists(override_file()));
    EXPECT_EQ(code_of(backup.request("EnableCloudBackup", cloud_on())), 0u);

    write_override("<key>Times</key><string>once</string>");
    Received refused = backup.request("EnableCloudBackup", cloud_on());
    EXPECT_EQ(code_of(refused), kEngineDeviceFailed);
    EXPECT_NE(plist_string(response_item(refused, "ErrorDescription"))
                  .find("backup-faults.plist: key \"Times\": must be a whole number"),
              std::string::npos);
}

// A fresh device's backup sends DownloadFiles, GetFreeDiskSpace,
// CreateDirectory, then UploadFiles of "FAULTS-1/Status.plist", whose
// stream starts with two names of 4 + 21 bytes and a data frame header of 5.
TEST_F(BackupFaultsDeviceTest, DeviceVanishesAtExactlyTheByteOrMessageItsKnobNames) {
    struct Case {
        const char *knob;
        int value;
        int messages;       // the device's messages the host sees
        long stream_bytes;  // of the upload stream after the last of them
    };
    const Case cases[] = {
        {"DisconnectAfterMessages", 2, 2, 0}, {"DisconnectAfterMessages", 4, 4, 0},
        {"DisconnectAfterFiles", 0, 4, 0},    {"DisconnectAfterBytes", 0, 4, 0},
        {"DisconnectAfterBytes", 6, 4, 6},    // inside the first name
        {"DisconnectAfterBytes", 52, 4, 52},  // inside the data frame's header
        {"DisconnectAfterBytes", 60, 4, 60},  // inside its data
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.knob) + " " + std::to_string(c.value));
        write_override(std::string("<key>") + c.knob + "</key><integer>" + std::to_string(c.value) +
                       "</integer><key>Times</key><integer>1</integer>");
        RawBackupHost backup = connect();
        Received message = backup.request("Backup");
        int seen = 0;
        for (std::string name = RawBackupHost::name_of(message); !name.empty();
             name = RawBackupHost::name_of(backup.link().receive())) {
            if (++seen == c.messages) {
                break;
            }
            ASSERT_TRUE(backup.answer(name)) << name;
        }
        EXPECT_EQ(seen, c.messages);
        EXPECT_EQ(backup.bytes_until_end(), c.stream_bytes);
    }
}

}  // namespace
}  // namespace tarvosim
