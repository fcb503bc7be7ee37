// The notification proxy, file conduit and backup-service clients against
// the in-process simulator, started through lockdown as the tools start
// them: relays between two connections, files, folders and contended locks
// in the device's media folder, the device-link handshake and version
// exchange, the default and scripted answers, and scripted hostile devices.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "libtarvo/mobilebackup2_private.h"
#include "owners.h"
#include "sim_harness.h"
#include "tarvo.h"

namespace {

constexpr const char *kUdid = "00008030-00AA11BB22CC33DD";

// A fixture folder with a device, its media folder and a backup script.
std::string make_fixture(const std::string &parent, const std::string &extra_keys,
                         const std::string &script_xml) {
    const std::string keys = std::string("<key>UniqueDeviceID</key><string>") + kUdid +
                             "</string><key>GlobalDomain</key><dict>"
                             "<key>DeviceName</key><string>Services Phone</string>"
                             "<key>ProductVersion</key><string>17.5.1</string>"
                             "</dict>" +
                             extra_keys + SimHarness::bundled_private_key_xml();
    const std::string dir = SimHarness::make_fixture(parent, SimHarness::device_plist(keys));
    std::filesystem::create_directories(dir + "/afc/Books");
    std::ofstream(dir + "/afc/Books/notes.txt") << "twelve bytes";
    std::ofstream(dir + "/afc/com.apple.itunes.lock_sync");  // exists on devices
    if (!script_xml.empty()) {
        std::ofstream(dir + "/backup-script.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << script_xml << "</dict></plist>\n";
    }
    return dir;
}

// A device-link message in a script, written as XML.
std::string send_step(const std::string &elements_xml) {
    return "<dict><key>Send</key><array>" + elements_xml + "</array></dict>";
}

std::string content_response(const std::string &content) {
    return send_step(
        "<string>DLMessageProcessMessage</string><dict>"
        "<key>MessageName</key><string>Response</string>"
        "<key>ErrorCode</key><integer>0</integer>"
        "<key>Content</key><string>" +
        content + "</string></dict>");
}

std::string raw_step(const std::string &base64) {
    return "<dict><key>Raw</key><data>" + base64 + "</data></dict>";
}

// The simulator with one fixture, a paired session, and the services
// started from it; everything released in reverse.
class Device {
  public:
    explicit Device(const std::string &extra_keys = "", const std::string &script_xml = "") {
        char pattern[] = "/tmp/libtarvo-services-XXXXXX";
        if (::mkdtemp(pattern)) {
            fixtures_ = pattern;
        }
        const std::string dir = make_fixture(fixtures_, extra_keys, script_xml);
        sim_ = std::make_unique<SimHarness>(std::vector<std::string>{dir});
        if (!sim_->ok()) {
            return;
        }
        EXPECT_EQ(tarvo_new(&device_, kUdid), TARVO_E_SUCCESS);
        EXPECT_EQ(lockdownd_client_new_with_handshake(device_, &lockdown_, "libtarvo_tests"),
                  LOCKDOWN_E_SUCCESS);
    }
    ~Device() {
        lockdownd_client_free(lockdown_);
        tarvo_free(device_);
        sim_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(fixtures_, ignored);
    }
    bool ok() const { return sim_ && sim_->ok() && lockdown_; }
    tarvo_t device() const { return device_; }

    // A started service's descriptor, freed with the object.
    struct Service {
        lockdownd_service_descriptor_t descriptor = nullptr;
        ~Service() { lockdownd_service_descriptor_free(descriptor); }
    };
    void start(const char *name, Service *service, bool escrow_bag = false) {
        lockdownd_error_t r =
            escrow_bag
                ? lockdownd_start_service_with_escrow_bag(lockdown_, name, &service->descriptor)
                : lockdownd_start_service(lockdown_, name, &service->descriptor);
        ASSERT_EQ(r, LOCKDOWN_E_SUCCESS) << name;
        ASSERT_NE(service->descriptor, nullptr);
    }

    lockdownd_error_t try_start(const char *name, Service *service) {
        return lockdownd_start_service(lockdown_, name, &service->descriptor);
    }

  private:
    std::string fixtures_;
    std::unique_ptr<SimHarness> sim_;
    tarvo_t device_ = nullptr;
    lockdownd_client_t lockdown_ = nullptr;
};

class Relayed {
  public:
    static void callback(const char *name, void *user_data) {
        auto *self = static_cast<Relayed *>(user_data);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->names_.emplace_back(name);
        self->changed_.notify_all();
    }
    std::vector<std::string> wait_for(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return names_.size() >= count; });
        return names_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> names_;
};

struct Backup {
    mobilebackup2_client_t client = nullptr;
    ~Backup() { mobilebackup2_client_free(client); }
};

// Receives until a message arrives, allowing a few quiet waits.
mobilebackup2_error_t next_message(mobilebackup2_client_t client, PlistPtr *message,
                                   std::string *name) {
    mobilebackup2_error_t r = MOBILEBACKUP2_E_RECEIVE_TIMEOUT;
    for (int attempt = 0; attempt < 10 && r == MOBILEBACKUP2_E_RECEIVE_TIMEOUT; ++attempt) {
        plist_t raw = nullptr;
        char *dl = nullptr;
        r = mobilebackup2_receive_message(client, &raw, &dl);
        message->reset(raw);
        CString owned(dl);
        *name = dl ? dl : "";
    }
    return r;
}

std::string content_of(plist_t message) {
    plist_t body = plist_array_get_item(message, 1);
    plist_t content = body ? plist_dict_get_item(body, "Content") : nullptr;
    char *raw = nullptr;
    if (content && plist_get_node_type(content) == PLIST_STRING) {
        plist_get_string_val(content, &raw);
    }
    CString owned(raw);
    return owned ? owned.get() : "";
}

void open_backup(Device &device, Backup *backup) {
    Device::Service service;
    device.start("com.apple.mobilebackup2", &service, true);
    ASSERT_EQ(mobilebackup2_client_new(device.device(), service.descriptor, &backup->client),
              MOBILEBACKUP2_E_SUCCESS);
    double versions[] = {2.0, 2.1};
    double chosen = 0;
    ASSERT_EQ(mobilebackup2_version_exchange(backup->client, versions, 2, &chosen),
              MOBILEBACKUP2_E_SUCCESS);
}

TEST(NotificationProxySim, RelaysWhatAnotherConnectionPosts) {
    Device device;
    ASSERT_TRUE(device.ok());
    Device::Service first, second;
    device.start("com.apple.mobile.notification_proxy", &first);
    device.start("com.apple.mobile.notification_proxy", &second);
    np_client_t observer = nullptr, poster = nullptr;
    ASSERT_EQ(np_client_new(device.device(), first.descriptor, &observer), NP_E_SUCCESS);
    ASSERT_EQ(np_client_new(device.device(), second.descriptor, &poster), NP_E_SUCCESS);

    Relayed relayed;
    ASSERT_EQ(np_set_notify_callback(observer, &Relayed::callback, &relayed), NP_E_SUCCESS);
    const char *names[] = {"com.example.sync", "com.example.other", nullptr};
    ASSERT_EQ(np_observe_notifications(observer, names), NP_E_SUCCESS);
    // The observation must be in place before the post; a round trip on the
    // observer's connection (its own post) makes sure it is.
    ASSERT_EQ(np_post_notification(observer, "com.example.other"), NP_E_SUCCESS);
    ASSERT_EQ(relayed.wait_for(1), std::vector<std::string>{"com.example.other"});
    ASSERT_EQ(np_post_notification(poster, "com.example.sync"), NP_E_SUCCESS);
    ASSERT_EQ(np_post_notification(poster, "com.example.unobserved"), NP_E_SUCCESS);
    ASSERT_EQ(np_post_notification(poster, "com.example.sync"), NP_E_SUCCESS);
    EXPECT_EQ(
        relayed.wait_for(3),
        (std::vector<std::string>{"com.example.other", "com.example.sync", "com.example.sync"}));
    EXPECT_EQ(np_client_free(poster), NP_E_SUCCESS);
    EXPECT_EQ(np_client_free(observer), NP_E_SUCCESS);
}

// Each service test opens and frees its own clients, so that a failure names its service.
TEST(AfcSim, FilesFoldersAndContendedLocks) {
    Device device;
    ASSERT_TRUE(device.ok());
    Device::Service first, second;
    device.start("com.apple.afc", &first);
    device.start("com.apple.afc", &second);
    afc_client_t afc = nullptr, other = nullptr;
    ASSERT_EQ(afc_client_new(device.device(), first.descriptor, &afc), AFC_E_SUCCESS);
    ASSERT_EQ(afc_client_new(device.device(), second.descriptor, &other), AFC_E_SUCCESS);

    // The fixture's file, read whole.
    uint64_t handle = 0;
    ASSERT_EQ(afc_file_open(afc, "/Books/notes.txt", AFC_FOPEN_RDONLY, &handle), AFC_E_SUCCESS);
    char buffer[64] = {};
    uint32_t got = 0;
    ASSERT_EQ(afc_file_read(afc, handle, buffer, sizeof(buffer), &got), AFC_E_SUCCESS);
    EXPECT_EQ(std::string(buffer, got), "twelve bytes");
    EXPECT_EQ(afc_file_close(afc, handle), AFC_E_SUCCESS);

    // A folder and a file of several chunks, written and read back.
    ASSERT_EQ(afc_make_directory(afc, "/iTunesRestore"), AFC_E_SUCCESS);
    std::vector<char> content(200 * 1024);
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i % 253);
    }
    ASSERT_EQ(afc_file_open(afc, "/iTunesRestore/big.bin", AFC_FOPEN_WR, &handle), AFC_E_SUCCESS);
    uint32_t written = 0;
    ASSERT_EQ(afc_file_write(afc, handle, content.data(), static_cast<uint32_t>(content.size()),
                             &written),
              AFC_E_SUCCESS);
    EXPECT_EQ(written, content.size());
    EXPECT_EQ(afc_file_close(afc, handle), AFC_E_SUCCESS);

    char **info = nullptr;
    ASSERT_EQ(afc_get_file_info(afc, "/iTunesRestore/big.bin", &info), AFC_E_SUCCESS);
    std::string size, kind;
    for (char **item = info; item[0] && item[1]; item += 2) {
        if (std::strcmp(item[0], "st_size") == 0) {
            size = item[1];
        } else if (std::strcmp(item[0], "st_ifmt") == 0) {
            kind = item[1];
        }
    }
    afc_dictionary_free(info);
    EXPECT_EQ(size, std::to_string(content.size()));
    EXPECT_EQ(kind, "S_IFREG");

    ASSERT_EQ(afc_file_open(other, "/iTunesRestore/big.bin", AFC_FOPEN_RDONLY, &handle),
              AFC_E_SUCCESS);
    std::vector<char> back(content.size() + 10);
    ASSERT_EQ(afc_file_read(other, handle, back.data(), static_cast<uint32_t>(back.size()), &got),
              AFC_E_SUCCESS);
    ASSERT_EQ(got, content.size());
    EXPECT_TRUE(std::equal(content.begin(), content.end(), back.begin()));
    EXPECT_EQ(afc_file_close(other, handle), AFC_E_SUCCESS);

    char **entries = nullptr;
    ASSERT_EQ(afc_read_directory(afc, "/iTunesRestore", &entries), AFC_E_SUCCESS);
    bool listed = false;
    for (char **e = entries; *e; ++e) {
        listed = listed || std::strcmp(*e, "big.bin") == 0;
    }
    afc_dictionary_free(entries);
    EXPECT_TRUE(listed);

    // The sync lock: the second holder is told to try again.
    uint64_t mine = 0, theirs = 0;
    ASSERT_EQ(afc_file_open(afc, "/com.apple.itunes.lock_sync", AFC_FOPEN_RW, &mine),
              AFC_E_SUCCESS);
    ASSERT_EQ(afc_file_open(other, "/com.apple.itunes.lock_sync", AFC_FOPEN_RW, &theirs),
              AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_lock(afc, mine, AFC_LOCK_EX), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_lock(other, theirs, AFC_LOCK_EX), AFC_E_OP_WOULD_BLOCK);
    EXPECT_EQ(afc_file_lock(afc, mine, AFC_LOCK_UN), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_lock(other, theirs, AFC_LOCK_EX), AFC_E_SUCCESS);
    afc_file_close(afc, mine);
    afc_file_close(other, theirs);

    EXPECT_EQ(afc_remove_path(afc, "/iTunesRestore/big.bin"), AFC_E_SUCCESS);
    EXPECT_EQ(afc_remove_path(afc, "/iTunesRestore"), AFC_E_SUCCESS);
    info = nullptr;
    EXPECT_EQ(afc_get_file_info(afc, "/iTunesRestore", &info), AFC_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(afc_file_open(afc, "/../escape", AFC_FOPEN_RDONLY, &handle) == AFC_E_SUCCESS, false);
    afc_client_free(other);
    afc_client_free(afc);
}

TEST(MobileBackup2Sim, HandshakeVersionsAndARequestAnswered) {
    // The older device-link major, to see that the host echoes the device's.
    Device device("<key>DeviceLinkVersion</key><integer>300</integer>");
    ASSERT_TRUE(device.ok());
    Backup backup;
    open_backup(device, &backup);

    PlistPtr options(plist_new_dict());
    plist_dict_set_item(options.get(), "CloudBackupState", plist_new_bool(1));
    ASSERT_EQ(
        mobilebackup2_send_request(backup.client, "EnableCloudBackup", kUdid, kUdid, options.get()),
        MOBILEBACKUP2_E_SUCCESS);
    PlistPtr message;
    std::string name;
    ASSERT_EQ(next_message(backup.client, &message, &name), MOBILEBACKUP2_E_SUCCESS);
    EXPECT_EQ(name, "DLMessageProcessMessage");
    plist_t code = plist_access_path(message.get(), 2, 1, "ErrorCode");
    uint64_t value = 1;
    ASSERT_NE(code, nullptr);
    plist_get_uint_val(code, &value);
    EXPECT_EQ(value, 0u);

    // As against the scripted peer in mobilebackup2_test, so that each confirms the other.
    // Nothing more is coming: "no message yet", again and again.
    plist_t raw = nullptr;
    char *dl = nullptr;
    EXPECT_EQ(mobilebackup2_receive_message(backup.client, &raw, &dl),
              MOBILEBACKUP2_E_RECEIVE_TIMEOUT);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(dl, nullptr);
}

// The backup service opens only for the escrow bag the device gave this
// host when it paired.
TEST(MobileBackup2Sim, BackupServiceNeedsTheEscrowBag) {
    Device device;
    ASSERT_TRUE(device.ok());
    Device::Service plain;
    EXPECT_EQ(device.try_start("com.apple.mobilebackup2", &plain), LOCKDOWN_E_ESCROW_LOCKED);
    Device::Service with_bag;
    device.start("com.apple.mobilebackup2", &with_bag, true);
}

TEST(MobileBackup2Sim, NoCommonProtocolVersion) {
    Device device("<key>BackupProtocolVersions</key><array><real>3.0</real></array>");
    ASSERT_TRUE(device.ok());
    Device::Service service;
    device.start("com.apple.mobilebackup2", &service, true);
    Backup backup;
    ASSERT_EQ(mobilebackup2_client_new(device.device(), service.descriptor, &backup.client),
              MOBILEBACKUP2_E_SUCCESS);
    double versions[] = {2.0, 2.1};
    double chosen = -1;
    EXPECT_EQ(mobilebackup2_version_exchange(backup.client, versions, 2, &chosen),
              MOBILEBACKUP2_E_NO_COMMON_VERSION);
    EXPECT_EQ(chosen, -1);
}

TEST(MobileBackup2Sim, ScriptedAnswerWithANotificationOnTheSide) {
    const std::string script =
        "<key>Info</key><array>"
        "<dict><key>Notify</key><string>com.apple.itunes-client.syncCancelRequest</string></dict>" +
        content_response("scripted info") + "</array>";
    Device device("", script);
    ASSERT_TRUE(device.ok());
    Device::Service notification_proxy;
    device.start("com.apple.mobile.notification_proxy", &notification_proxy);
    np_client_t np = nullptr;
    ASSERT_EQ(np_client_new(device.device(), notification_proxy.descriptor, &np), NP_E_SUCCESS);
    Relayed relayed;
    ASSERT_EQ(np_set_notify_callback(np, &Relayed::callback, &relayed), NP_E_SUCCESS);
    ASSERT_EQ(np_observe_notification(np, "com.apple.itunes-client.syncCancelRequest"),
              NP_E_SUCCESS);
    // A round trip so that the observation is in place before the request.
    ASSERT_EQ(np_observe_notification(np, "com.example.marker"), NP_E_SUCCESS);
    ASSERT_EQ(np_post_notification(np, "com.example.marker"), NP_E_SUCCESS);
    ASSERT_EQ(relayed.wait_for(1), std::vector<std::string>{"com.example.marker"});

    Backup backup;
    open_backup(device, &backup);
    ASSERT_EQ(mobilebackup2_send_request(backup.client, "Info", kUdid, nullptr, nullptr),
              MOBILEBACKUP2_E_SUCCESS);
    PlistPtr message;
    std::string name;
    ASSERT_EQ(next_message(backup.client, &message, &name), MOBILEBACKUP2_E_SUCCESS);
    EXPECT_EQ(content_of(message.get()), "scripted info");
    EXPECT_EQ(relayed.wait_for(2),
              (std::vector<std::string>{"com.example.marker",
                                        "com.apple.itunes-client.syncCancelRequest"}));
    EXPECT_EQ(np_client_free(np), NP_E_SUCCESS);
}

TEST(MobileBackup2Sim, HostileScriptsEndInErrorCodes) {
    // Each request plays one hostile device; every one ends the connection's
    // usefulness or skips one message, never hangs.
    const std::string script =
        // A length prefix of 4 GiB.
        "<key>Huge</key><array>" + raw_step("/////w==") + "</array>" +
        // A binary property list that is a dictionary, framed correctly,
        // then a good message.
        "<key>Dictionary</key><array>" +
        raw_step("AAAAKmJwbGlzdDAw0AgAAAAAAAABAQAAAAAAAAABAAAAAAAAAAAAAAAAAAAACQ==") +
        content_response("after the dictionary") + "</array>" +
        // Half a length prefix, then silence.
        "<key>Stall</key><array>" + raw_step("AAA=") +
        "<dict><key>SleepMs</key><integer>3000</integer></dict></array>" +
        "<key>Drop</key><array><dict><key>Disconnect</key><true/></dict></array>";
    struct Case {
        const char *request;
        mobilebackup2_error_t first;
        bool then_content;
    };
    const Case cases[] = {
        {"Huge", MOBILEBACKUP2_E_PLIST_ERROR, false},
        {"Dictionary", MOBILEBACKUP2_E_PLIST_ERROR, true},
        {"Stall", MOBILEBACKUP2_E_MUX_ERROR, false},
        {"Drop", MOBILEBACKUP2_E_MUX_ERROR, false},
    };
    Device device("", script);
    ASSERT_TRUE(device.ok());
    for (const Case &c : cases) {
        Backup backup;
        open_backup(device, &backup);
        libtarvo::MobileBackup2Waits waits;
        waits.completion_ms = 500;  // the stall must not take the default wait
        libtarvo::mobilebackup2_set_waits(backup.client, waits);
        ASSERT_EQ(mobilebackup2_send_request(backup.client, c.request, kUdid, nullptr, nullptr),
                  MOBILEBACKUP2_E_SUCCESS)
            << c.request;
        PlistPtr message;
        std::string name;
        EXPECT_EQ(next_message(backup.client, &message, &name), c.first) << c.request;
        EXPECT_FALSE(message) << c.request;
        mobilebackup2_error_t next = next_message(backup.client, &message, &name);
        if (c.then_content) {
            EXPECT_EQ(next, MOBILEBACKUP2_E_SUCCESS) << c.request;
            EXPECT_EQ(content_of(message.get()), "after the dictionary");
        } else {
            EXPECT_EQ(next, MOBILEBACKUP2_E_MUX_ERROR) << c.request;
        }
    }
}

}  // namespace
