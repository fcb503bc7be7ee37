// ChangePassword and EnableCloudBackup answered by the simulated device
// itself (its fixture has no backup script), checked through what lockdown
// reports afterwards.
#include <gtest/gtest.h>

#include "backup_service.h"
#include "plist_items.h"
#include "service_test_client.h"

namespace tarvosim {
namespace {

using testing::dl;
using testing::LockdownTestClient;
using testing::plist_uint;
using testing::Received;
using testing::send_dl;
using testing::ServiceHost;

constexpr const char *kUdid = "PASSWORD-1";

class BackupPasswordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string dir = SimHarness::make_fixture(
            scratch_.path(),
            SimHarness::device_plist(
                std::string("<key>UniqueDeviceID</key><string>") + kUdid + "</string>" +
                SimHarness::bundled_private_key_xml() +
                "<key>Domains</key><dict><key>com.apple.mobile.backup</key><dict>"
                "<key>WillEncrypt</key><false/><key>BackupDPIC</key><integer>10</integer>"
                "</dict></dict>"));
        host_.start({dir}, kUdid);
        link_ = host_.connect(kBackupService, true);
        ASSERT_TRUE(link_);
        link_->receive();
        PlistPtr ok =
            dl("DLMessageVersionExchange", {plist_new_string("DLVersionsOk"), plist_new_uint(400)});
        ASSERT_TRUE(send_dl(*link_, ok.get()));
        link_->receive();
    }

    /// Sends a request with these top-level strings; the final Response's body.
    PlistPtr request(const char *name, std::vector<std::pair<const char *, const char *>> items,
                     plist_t options = nullptr) {
        plist_t body = plist_new_dict();
        plist_dict_set_item(body, "MessageName", plist_new_string(name));
        plist_dict_set_item(body, "TargetIdentifier", plist_new_string(kUdid));
        for (const auto &[key, value] : items) {
            plist_dict_set_item(body, key, plist_new_string(value));
        }
        if (options) {
            plist_dict_set_item(body, "Options", options);
        }
        PlistPtr message = dl("DLMessageProcessMessage", {body});
        EXPECT_TRUE(send_dl(*link_, message.get()));
        Received answer = link_->receive();
        plist_t response = answer.plist ? plist_array_get_item(answer.plist.get(), 1) : nullptr;
        return PlistPtr(response ? plist_copy(response) : plist_new_dict());
    }

    static uint64_t code(const PlistPtr &response) {
        return plist_uint(plist_dict_get_item(response.get(), "ErrorCode"));
    }

    /// A boolean of "com.apple.mobile.backup" as lockdown's GetValue reports it.
    bool backup_value(const char *key) {
        plist_t query = plist_new_dict();
        plist_dict_set_item(query, "Domain", plist_new_string("com.apple.mobile.backup"));
        plist_dict_set_item(query, "Key", plist_new_string(key));
        Received value = host_.lockdown().request("GetValue", query);
        return tarvo::bool_value(value.item("Value")).value_or(false);
    }

    testing::TempDir scratch_;
    ServiceHost host_;
    std::unique_ptr<LockdownTestClient> link_;
};

TEST_F(BackupPasswordTest, TurnsEncryptionOnChangesAndOff) {
    EXPECT_EQ(code(request("ChangePassword", {{"NewPassword", "first"}})), 0u);
    EXPECT_TRUE(backup_value("WillEncrypt"));
    EXPECT_EQ(code(request("ChangePassword", {{"NewPassword", "again"}})), 101u);

    PlistPtr wrong = request("ChangePassword", {{"OldPassword", "nope"}, {"NewPassword", "x"}});
    EXPECT_EQ(code(wrong), 207u);
    EXPECT_NE(testing::plist_string(plist_dict_get_item(wrong.get(), "ErrorDescription")), "");
    EXPECT_EQ(
        code(request("ChangePassword", {{"OldPassword", "first"}, {"NewPassword", "second"}})), 0u);
    EXPECT_EQ(code(request("ChangePassword", {{"OldPassword", "first"}})), 207u);
    EXPECT_TRUE(backup_value("WillEncrypt"));

    EXPECT_EQ(code(request("ChangePassword", {{"OldPassword", "second"}})), 0u);
    EXPECT_FALSE(backup_value("WillEncrypt"));
    EXPECT_EQ(code(request("ChangePassword", {{"OldPassword", "second"}})), 101u);
}

TEST_F(BackupPasswordTest, KeepsTheCloudBackupState) {
    plist_t on = plist_new_dict();
    plist_dict_set_item(on, "CloudBackupState", plist_new_bool(1));
    EXPECT_EQ(code(request("EnableCloudBackup", {}, on)), 0u);
    EXPECT_TRUE(backup_value("CloudBackupEnabled"));
    plist_t off = plist_new_dict();
    plist_dict_set_item(off, "CloudBackupState", plist_new_bool(0));
    EXPECT_EQ(code(request("EnableCloudBackup", {}, off)), 0u);
    EXPECT_FALSE(backup_value("CloudBackupEnabled"));
    EXPECT_EQ(code(request("EnableCloudBackup", {})), 101u);
}

}  // namespace
}  // namespace tarvosim
