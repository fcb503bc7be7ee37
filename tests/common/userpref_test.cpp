// The pair-record store against the simulated multiplexer daemon, reached
// through the real client library, and the configuration folder it lists.
#include "userpref.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "../sim/sim_test_support.h"
#include "../support/hostile_plists.h"
#include "../support/plist_text.h"
#include "mux_daemon.h"

namespace {

namespace fs = std::filesystem;
using tarvosim::MuxDaemon;
using tarvosim::MuxDaemonFaults;
using tarvosim::MuxDaemonOptions;

// Spelt out here on its own, so that a change to the folder is a decision, not an accident.
#ifdef __APPLE__
constexpr const char *kDefaultConfigDir = "/var/db/lockdown";
#else
constexpr const char *kDefaultConfigDir = "/var/lib/lockdown";
#endif

/// The configuration folder is cached for the life of the process, so all
/// tests here share one: set up once, before the store is first used, and
/// also used as the daemon's state folder.
class SharedFolders {
  public:
    static SharedFolders &get() {
        static SharedFolders folders;
        return folders;
    }
    std::string lockdown() const { return base_.file("lockdown"); }
    std::string socket() const { return base_.file("mux.sock"); }

  private:
    SharedFolders() {
        setenv("TARVO_LOCKDOWN_DIR", (lockdown() + "/").c_str(), 1);
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket()).c_str(), 1);
    }
    tarvosim::testing::TempDir base_;
};

using plist_text::xml_of;

std::string read_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

PlistPtr sample_record() {
    PlistPtr record(plist_new_dict());
    plist_dict_set_item(record.get(), "HostID", plist_new_string("HOST-1"));
    plist_dict_set_item(record.get(), "RootCertificate", plist_new_data("-----BEGIN", 10));
    return record;
}

/// Takes a list from userpref_get_paired_udids apart and frees it.
std::multiset<std::string> take_list(char **list, unsigned int count) {
    std::multiset<std::string> udids;
    for (unsigned int i = 0; i < count; ++i) {
        udids.insert(list[i]);
        std::free(list[i]);
    }
    EXPECT_EQ(list[count], nullptr);
    std::free(list);
    return udids;
}

class UserprefStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const SharedFolders &folders = SharedFolders::get();
        fs::remove_all(folders.lockdown());
        fs::create_directory(folders.lockdown());
        MuxDaemonOptions options;
        options.socket_path = folders.socket();
        options.state_dir = folders.lockdown();
        daemon_ = std::make_unique<MuxDaemon>(options);
        std::string error;
        ASSERT_TRUE(daemon_->start(&error)) << error;
    }
    void TearDown() override { daemon_->stop(); }

    std::string record_file(const std::string &udid) const {
        return SharedFolders::get().lockdown() + "/" + udid + ".plist";
    }

    std::unique_ptr<MuxDaemon> daemon_;
};

TEST_F(UserprefStoreTest, SystemBuidIsTheDaemonsOwn) {
    char *buid = nullptr;
    ASSERT_EQ(userpref_read_system_buid(&buid), 0);
    ASSERT_NE(buid, nullptr);
    const std::string config =
        read_file(SharedFolders::get().lockdown() + "/SystemConfiguration.plist");
    EXPECT_NE(config.find(buid), std::string::npos);
    std::free(buid);
}

TEST_F(UserprefStoreTest, SaveReadListDeleteRoundTrip) {
    PlistPtr record = sample_record();
    ASSERT_EQ(userpref_save_pair_record("UDID-1", 7, record.get()), 0);

    plist_t read_back = nullptr;
    ASSERT_EQ(userpref_read_pair_record("UDID-1", &read_back), 0);
    PlistPtr owned(read_back);
    EXPECT_EQ(xml_of(read_back), xml_of(record.get()));

    char **list = nullptr;
    unsigned int count = 0;
    ASSERT_EQ(userpref_get_paired_udids(&list, &count), 0);
    EXPECT_EQ(take_list(list, count), std::multiset<std::string>{"UDID-1"});

    EXPECT_EQ(userpref_delete_pair_record("UDID-1"), 0);
    EXPECT_FALSE(fs::exists(record_file("UDID-1")));
    EXPECT_EQ(userpref_delete_pair_record("UDID-1"), USERPREF_E_UNKNOWN_ERROR);
}

TEST_F(UserprefStoreTest, ReadFailuresAreTold) {
    plist_t untouched = plist_new_bool(1);  // a sentinel the failures must leave in place
    plist_t out = untouched;
    EXPECT_EQ(userpref_read_pair_record("UDID-UNKNOWN", &out), USERPREF_E_NOENT);
    EXPECT_EQ(out, untouched);
    // The daemon refuses the id itself: a failure that is neither "missing"
    // nor "timed out".
    EXPECT_EQ(userpref_read_pair_record("../UDID", &out), USERPREF_E_INVALID_CONF);
    EXPECT_EQ(out, untouched);
    plist_free(untouched);

    std::ofstream(record_file("UDID-GARBAGE")) << "this is not a property list";
    out = nullptr;
    EXPECT_EQ(userpref_read_pair_record("UDID-GARBAGE", &out), USERPREF_E_INVALID_CONF);
    EXPECT_EQ(out, nullptr);
}

TEST_F(UserprefStoreTest, HostileRecordsFromTheDaemonAreRefused) {
    namespace hostile = tarvo::testing;
    // The daemon hands on its files as they are; these would overflow the
    // stack, make the tree explode, or make an accessor assert.
    const hostile::Bytes records[] = {
        hostile::nested_arrays(100000),
        hostile::doubling_message(24),
        hostile::dict_with_key(hostile::utf16({0x0048, 0x0000})),
    };
    for (const hostile::Bytes &bytes : records) {
        std::ofstream(record_file("UDID-HOSTILE"), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        plist_t out = nullptr;
        EXPECT_EQ(userpref_read_pair_record("UDID-HOSTILE", &out), USERPREF_E_INVALID_CONF)
            << bytes.size() << " bytes";
        EXPECT_EQ(out, nullptr);
    }
}

TEST_F(UserprefStoreTest, StalledDaemonTimesOut) {
    // libusbmuxd waits 5 seconds for an answer, then reports -ETIMEDOUT.
    MuxDaemonFaults faults;
    faults.stall_read_pair_record = true;
    daemon_->set_faults(faults);
    plist_t out = nullptr;
    EXPECT_EQ(userpref_read_pair_record("UDID-1", &out), USERPREF_E_READ_ERROR);
    EXPECT_EQ(out, nullptr);
}

TEST_F(UserprefStoreTest, RefusedSaveAndDeleteGive256) {
    PlistPtr record = sample_record();
    ASSERT_EQ(userpref_save_pair_record("UDID-1", 1, record.get()), 0);
    EXPECT_EQ(userpref_save_pair_record("UDID/1", 1, record.get()), USERPREF_E_UNKNOWN_ERROR);

    MuxDaemonFaults faults;
    faults.pair_record_write_result = 1;
    daemon_->set_faults(faults);
    EXPECT_EQ(userpref_save_pair_record("UDID-2", 1, record.get()), USERPREF_E_UNKNOWN_ERROR);
    EXPECT_FALSE(fs::exists(record_file("UDID-2")));
    EXPECT_EQ(userpref_delete_pair_record("UDID-1"), USERPREF_E_UNKNOWN_ERROR);
    EXPECT_TRUE(fs::exists(record_file("UDID-1")));
}

TEST_F(UserprefStoreTest, ListingKeepsOnlyPlistFilesOtherThanTheSystemConfiguration) {
    for (const char *name : {"SystemConfiguration.plist", "A1.plist", "b.c.plist", ".plist",
                             "x.txt", "noext", "Y.PLIST"}) {
        std::ofstream(SharedFolders::get().lockdown() + "/" + name) << "x";
    }
    char **list = nullptr;
    unsigned int count = 0;
    ASSERT_EQ(userpref_get_paired_udids(&list, &count), 0);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(take_list(list, count), (std::multiset<std::string>{"A1", "b.c", ""}));
}

TEST_F(UserprefStoreTest, MissingFolderListsNothing) {
    fs::remove_all(SharedFolders::get().lockdown());
    char **list = nullptr;
    unsigned int count = 99;
    ASSERT_EQ(userpref_get_paired_udids(&list, &count), 0);
    EXPECT_EQ(count, 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], nullptr);
    std::free(list);
}

TEST_F(UserprefStoreTest, ListingRefusesAnOutputThatIsNotEmpty) {
    char *existing[] = {nullptr};
    char **list = existing;
    unsigned int count = 99;
    EXPECT_EQ(userpref_get_paired_udids(&list, &count), USERPREF_E_INVALID_ARG);
    EXPECT_EQ(list, existing);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(userpref_get_paired_udids(nullptr, &count), USERPREF_E_INVALID_ARG);
}

// The folder is cached on first use, so each case runs in a fresh process
// (a re-executed child) that sets the environment before the first use.
void exit_with_config_dir_check(const char *env_value, const char *expected) {
    if (env_value) {
        setenv("TARVO_LOCKDOWN_DIR", env_value, 1);
    } else {
        unsetenv("TARVO_LOCKDOWN_DIR");
    }
    const char *dir = userpref_get_config_dir();
    std::fprintf(stderr, "config dir: [%s]\n", dir ? dir : "(null)");
    std::exit(dir && std::strcmp(dir, expected) == 0 ? 0 : 1);
}

TEST(UserprefConfigDirDeathTest, EnvironmentWinsAndTrailingSlashesGo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char *env;
        const char *expected;
    };
    const Case cases[] = {
        {"/srv/lockdown", "/srv/lockdown"},
        {"/srv/lockdown///", "/srv/lockdown"},
        {"relative/dir/", "relative/dir"},
        {"/", "/"},  // the first character is never trimmed
        {"///", "/"},
        {"", kDefaultConfigDir},  // empty counts as unset
        {nullptr, kDefaultConfigDir},
    };
    for (const Case &c : cases) {
        EXPECT_EXIT(exit_with_config_dir_check(c.env, c.expected), ::testing::ExitedWithCode(0), "")
            << (c.env ? c.env : "(unset)");
    }
}

TEST(UserprefConfigDirDeathTest, FirstAnswerIsKeptForTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("TARVO_LOCKDOWN_DIR", "/first", 1);
            const char *first = userpref_get_config_dir();
            setenv("TARVO_LOCKDOWN_DIR", "/second", 1);
            const char *second = userpref_get_config_dir();
            std::exit(first == second && std::strcmp(second, "/first") == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
