// A device's own memory: what it learns (trusted hosts, changed values, a
// generated key) survives a restart on the same state folder, and several
// connections may change it at once.
#include "device_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "device_keys.h"
#include "fixture.h"
#include "plist_items.h"
#include "sim_test_support.h"
#include "simulator.h"

namespace tarvosim {
namespace {

using testing::TempDir;

std::vector<uint8_t> bundled_key() {
    Fixture iphone;
    std::string error;
    EXPECT_TRUE(load_fixture(Simulator::default_fixture_dir(), &iphone, &error)) << error;
    return iphone.device_private_key_pem;
}

std::string string_in(plist_t dict, const char *key) {
    return tarvo::string_item(dict, key).value_or("<missing>");
}

TrustedHost sample_host(const std::string &id) {
    return TrustedHost{id, "BUID-" + id, "root pem", "host pem", "device pem", {1, 2, 3}};
}

class DeviceStateTest : public ::testing::Test {
  protected:
    std::unique_ptr<DeviceState> open_state() {
        auto state = std::make_unique<DeviceState>(dir_.path(), "UDID-1");
        std::string error;
        EXPECT_TRUE(state->open(key_, &error)) << error;
        return state;
    }

    TempDir dir_;
    std::vector<uint8_t> key_ = bundled_key();
};

TEST_F(DeviceStateTest, GeneratedKeyIsKeptAcrossRestartsInAPrivateFile) {
    std::string first_public;
    {
        DeviceState state(dir_.path(), "UDID-GEN");
        std::string error;
        ASSERT_TRUE(state.open({}, &error)) << error;
        first_public = state.public_key_pem();
        EXPECT_TRUE(first_public.starts_with("-----BEGIN RSA PUBLIC KEY-----")) << first_public;
    }
    const std::string file = DeviceState::state_file(dir_.path(), "UDID-GEN");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    DeviceState again(dir_.path(), "UDID-GEN");
    std::string error;
    ASSERT_TRUE(again.open({}, &error)) << error;
    EXPECT_EQ(again.public_key_pem(), first_public);
}

TEST_F(DeviceStateTest, FixtureKeyIsUsedAndNotCopiedIntoTheState) {
    auto state = open_state();
    std::string error;
    EvpPkeyPtr fixture_key = rsa_private_key_from_pem(key_, &error);
    ASSERT_TRUE(fixture_key) << error;
    EXPECT_EQ(state->public_key_pem(), rsa_public_key_to_pkcs1_pem(fixture_key.get()));
    ASSERT_TRUE(state->trust(sample_host("H")));  // forces a state file
    std::ifstream in(DeviceState::state_file(dir_.path(), "UDID-1"));
    std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved.find("DevicePrivateKey"), std::string::npos);
}

TEST_F(DeviceStateTest, TrustedHostsSurviveRestartUntilForgotten) {
    {
        auto state = open_state();
        ASSERT_TRUE(state->trust(sample_host("HOST-A")));
        ASSERT_TRUE(state->trust(sample_host("HOST-B")));
    }
    {
        auto state = open_state();
        std::optional<TrustedHost> a = state->trusted_host("HOST-A");
        ASSERT_TRUE(a);
        EXPECT_EQ(a->system_buid, "BUID-HOST-A");
        EXPECT_EQ(a->root_certificate, "root pem");
        EXPECT_EQ(a->host_certificate, "host pem");
        EXPECT_EQ(a->device_certificate, "device pem");
        EXPECT_EQ(a->escrow_bag, (std::vector<uint8_t>{1, 2, 3}));
        bool known = false;
        ASSERT_TRUE(state->forget("HOST-A", &known));
        EXPECT_TRUE(known);
        ASSERT_TRUE(state->forget("HOST-NONE", &known));
        EXPECT_FALSE(known);
    }
    auto state = open_state();
    EXPECT_FALSE(state->trusted_host("HOST-A"));
    EXPECT_TRUE(state->trusted_host("HOST-B"));
}

TEST_F(DeviceStateTest, ChangedValuesOverlayTheFixtureAndSurviveRestart) {
    PlistPtr base(plist_new_dict());
    plist_dict_set_item(base.get(), "DeviceName", plist_new_string("Fixture Name"));
    plist_dict_set_item(base.get(), "TimeZone", plist_new_string("UTC"));
    {
        auto state = open_state();
        PlistPtr name(plist_new_string("Changed Name"));
        ASSERT_TRUE(state->set_value("", "DeviceName", name.get()));
        ASSERT_TRUE(state->remove_value("", "TimeZone"));
        PlistPtr lang(plist_new_string("fi"));
        ASSERT_TRUE(state->set_value("com.example.new", "Language", lang.get()));
    }
    auto state = open_state();
    PlistPtr global = state->effective_domain("", base.get());
    EXPECT_EQ(string_in(global.get(), "DeviceName"), "Changed Name");
    EXPECT_EQ(plist_dict_get_item(global.get(), "TimeZone"), nullptr);
    // The fixture's own dictionary is left as it was.
    EXPECT_EQ(string_in(base.get(), "DeviceName"), "Fixture Name");

    PlistPtr created = state->effective_domain("com.example.new", nullptr);
    EXPECT_EQ(string_in(created.get(), "Language"), "fi");
    EXPECT_EQ(state->effective_domain("com.example.unknown", nullptr), nullptr);

    // Setting a removed key brings it back.
    PlistPtr zone(plist_new_string("Europe/Helsinki"));
    ASSERT_TRUE(state->set_value("", "TimeZone", zone.get()));
    global = state->effective_domain("", base.get());
    EXPECT_EQ(string_in(global.get(), "TimeZone"), "Europe/Helsinki");
}

TEST_F(DeviceStateTest, ConcurrentChangesAreAllKept) {
    constexpr int kThreads = 4;
    constexpr int kValuesEach = 10;
    {
        auto state = open_state();
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&state, t] {
                for (int i = 0; i < kValuesEach; ++i) {
                    PlistPtr value(plist_new_uint(static_cast<uint64_t>(t * 100 + i)));
                    const std::string key = "K" + std::to_string(t) + "-" + std::to_string(i);
                    EXPECT_TRUE(state->set_value("com.example.load", key, value.get()));
                }
                EXPECT_TRUE(state->trust(sample_host("HOST-" + std::to_string(t))));
            });
        }
        for (auto &thread : threads) {
            thread.join();
        }
    }
    auto state = open_state();
    PlistPtr values = state->effective_domain("com.example.load", nullptr);
    ASSERT_TRUE(values);
    EXPECT_EQ(plist_dict_get_size(values.get()), static_cast<uint32_t>(kThreads * kValuesEach));
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(state->trusted_host("HOST-" + std::to_string(t)));
    }
}

TEST_F(DeviceStateTest, DamagedStateFileIsReportedNotIgnored) {
    const std::string file = DeviceState::state_file(dir_.path(), "UDID-1");
    open_state()->trust(sample_host("H"));
    std::ofstream(file, std::ios::trunc) << "garbage";
    DeviceState state(dir_.path(), "UDID-1");
    std::string error;
    EXPECT_FALSE(state.open(key_, &error));
    EXPECT_NE(error.find(file + ": damaged"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarvosim
