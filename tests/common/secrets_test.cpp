// The secret items of messages: redacted copies for traces, wiping in
// place, and the process guard.
#include "secrets.h"
#include "owners.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "../support/plist_text.h"

namespace {

using plist_text::from_xml;
using plist_text::xml_of;

TEST(Secrets, RedactedCopyHidesEverySecretValueAndKeepsTheRest) {
    const std::string redacted = "<string>(redacted)</string>";
    struct Case {
        const char *what;
        std::string message;
        std::string expected;
    };
    const Case cases[] = {
        {"Restore options, inside the device-link array",
         "<array><string>DLMessageProcessMessage</string><dict><key>MessageName</key>"
         "<string>Restore</string><key>Options</key><dict><key>Password</key><string>pw</string>"
         "<key>RestoreSystemFiles</key><true/></dict></dict></array>",
         "<array><string>DLMessageProcessMessage</string><dict><key>MessageName</key>"
         "<string>Restore</string><key>Options</key><dict><key>Password</key>" +
             redacted + "<key>RestoreSystemFiles</key><true/></dict></dict></array>"},
        {"ChangePassword",
         "<dict><key>OldPassword</key><string>old</string><key>NewPassword</key>"
         "<string>new</string></dict>",
         "<dict><key>OldPassword</key>" + redacted + "<key>NewPassword</key>" + redacted +
             "</dict>"},
        {"data and whole containers under a secret key",
         "<dict><key>PairingData</key><data>AAEC</data><key>EscrowBag</key>"
         "<dict><key>x</key><string>y</string></dict></dict>",
         "<dict><key>PairingData</key>" + redacted + "<key>EscrowBag</key>" + redacted + "</dict>"},
        // only whole keys count, and case matters
        {"look-alike keys",
         "<dict><key>PasswordConfigured</key><true/><key>password</key><string>p</string></dict>",
         "<dict><key>PasswordConfigured</key><true/><key>password</key><string>p</string></dict>"},
        {"a string that looks like a key", "<array><string>Password</string></array>",
         "<array><string>Password</string></array>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PlistPtr message = from_xml(c.message);
        ASSERT_TRUE(message);
        const std::string before = xml_of(message.get());
        PlistPtr copy(tarvo::plist_copy_redacted(message.get()));
        PlistPtr expected = from_xml(c.expected);
        EXPECT_EQ(xml_of(copy.get()), xml_of(expected.get()));
        EXPECT_EQ(xml_of(message.get()), before) << "the original is left alone";
    }
    EXPECT_EQ(tarvo::plist_copy_redacted(nullptr), nullptr);
}

TEST(Secrets, WipingClearsSecretBytesInPlaceAndNothingElse) {
    PlistPtr message = from_xml(
        "<dict><key>Label</key><string>keep</string><key>Options</key><dict><key>Password</key>"
        "<string>secret</string></dict><key>EscrowBag</key><data>AAECAw==</data>"
        "<key>ClassKeys</key><array><string>k1</string></array></dict>");
    ASSERT_TRUE(message);
    plist_t password = plist_access_path(message.get(), 2, "Options", "Password");
    plist_t bag = plist_dict_get_item(message.get(), "EscrowBag");
    plist_t key = plist_access_path(message.get(), 2, "ClassKeys", 0);
    plist_t label = plist_dict_get_item(message.get(), "Label");

    tarvo::plist_wipe_secrets(message.get());

    for (plist_t node : {password, key}) {
        uint64_t length = 0;
        const char *text = plist_get_string_ptr(node, &length);
        EXPECT_GT(length, 0u);
        EXPECT_EQ(std::string(text, length), std::string(length, '\0'));
    }
    uint64_t length = 0;
    const char *bytes = plist_get_data_ptr(bag, &length);
    EXPECT_EQ(std::string(bytes, length), std::string(4, '\0'));
    EXPECT_STREQ(plist_get_string_ptr(label, nullptr), "keep");
    tarvo::plist_wipe_secrets(nullptr);
}

TEST(SecretsDeathTest, PrivateProcessLeavesNoCoreAndIsNotDumpable) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            tarvo::keep_process_memory_private();
            struct rlimit core {};
            getrlimit(RLIMIT_CORE, &core);
            std::exit(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0 && core.rlim_cur == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
