// The notification-proxy client against a device played by hand: a relay
// thread that always stops (on request, on a hang-up, on hostile frames),
// and odd messages that are skipped while the relay goes on. The friendly
// exchange runs against the simulator in services_sim_test.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libtarvo/notification_proxy_private.h"
#include "scripted_peer.h"

namespace libtarvo {
namespace {

// Each client has waits of its own, so each client's test shortens its own.
NotificationProxyWaits short_waits() {
    NotificationProxyWaits waits;
    waits.relay_slice_ms = 20;
    waits.completion_ms = 300;
    waits.proxy_death_ms = 300;
    return waits;
}

// Apart from the simulator tests' copy, so that host and device sides check each other.
PlistPtr command(const char *name, const char *notification = nullptr) {
    PlistPtr message(plist_new_dict());
    plist_dict_set_item(message.get(), "Command", plist_new_string(name));
    if (notification) {
        plist_dict_set_item(message.get(), "Name", plist_new_string(notification));
    }
    return message;
}

// What the callback saw, with a bounded wait for it.
class Received {
  public:
    static void callback(const char *notification, void *user_data) {
        auto *self = static_cast<Received *>(user_data);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->names_.emplace_back(notification);
        self->changed_.notify_all();
    }
    std::vector<std::string> wait_for(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return names_.size() >= count; });
        return names_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> names_;
};

TEST(NotificationProxyPeer, RelayThreadStopsOnRequestAndOnHostileInput) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        bool close_after;
    };
    const Case cases[] = {
        {"a quiet device", {}, false},
        {"a device that hangs up", {}, true},
        {"a 4 GiB length", {0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"a stall inside a message", {0, 0, 0, 50, '<'}, false},
    };
    for (const Case &c : cases) {
        ScriptedPeer peer;
        np_client_t client = nullptr;
        ASSERT_EQ(np_client_new_on(peer.connection(), "np", short_waits(), &client), NP_E_SUCCESS);
        Received received;
        ASSERT_EQ(np_set_notify_callback(client, &Received::callback, &received), NP_E_SUCCESS)
            << c.what;
        ASSERT_TRUE(peer.write(c.bytes)) << c.what;
        if (c.close_after) {
            peer.close();
        }
        // A null callback stops and joins the thread; free does not wait on
        // a device that never answers Shutdown.
        EXPECT_EQ(np_set_notify_callback(client, nullptr, nullptr), NP_E_SUCCESS) << c.what;
        EXPECT_EQ(np_client_free(client), NP_E_SUCCESS) << c.what;
        EXPECT_TRUE(received.wait_for(0).empty()) << c.what;
    }
}

// The relay waits for the device with the connection held; a sender and a
// stop must not wait for that wait to run out. With a minute-long slice, a
// post that is not served at once finds the peer's few-second read gone.
TEST(NotificationProxyPeer, SendersAndStopsAreServedWhileTheRelayWaits) {
    ScriptedPeer peer;
    NotificationProxyWaits waits = short_waits();
    waits.relay_slice_ms = 60'000;
    np_client_t client = nullptr;
    ASSERT_EQ(np_client_new_on(peer.connection(), "np", waits, &client), NP_E_SUCCESS);
    Received received;
    ASSERT_EQ(np_set_notify_callback(client, &Received::callback, &received), NP_E_SUCCESS);
    // Once a relayed name arrived, the relay is back in its wait.
    ASSERT_TRUE(peer.write_plist(command("RelayNotification", "com.example.relayed").get()));
    ASSERT_EQ(received.wait_for(1), (std::vector<std::string>{"com.example.relayed"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(np_post_notification(client, "com.example.posted"), NP_E_SUCCESS);
    EXPECT_TRUE(peer.read_plist());
    EXPECT_EQ(np_set_notify_callback(client, nullptr, nullptr), NP_E_SUCCESS);
    peer.close();
    EXPECT_EQ(np_client_free(client), NP_E_SUCCESS);
}

TEST(NotificationProxyPeer, OddMessagesAreSkippedAndTheRelayGoesOn) {
    ScriptedPeer peer;
    np_client_t client = nullptr;
    ASSERT_EQ(np_client_new_on(peer.connection(), "np", short_waits(), &client), NP_E_SUCCESS);
    Received received;
    ASSERT_EQ(np_set_notify_callback(client, &Received::callback, &received), NP_E_SUCCESS);
    PlistPtr no_name = command("RelayNotification");
    PlistPtr unknown = command("SomethingElse", "com.example.ignored");
    PlistPtr array(plist_new_array());
    ASSERT_TRUE(peer.write_plist(no_name.get()));
    ASSERT_TRUE(peer.write_plist(unknown.get()));
    ASSERT_TRUE(peer.write_plist(array.get()));
    ASSERT_TRUE(peer.write(std::vector<uint8_t>{0, 0, 0, 3, 'b', 'a', 'd'}));  // no plist
    ASSERT_TRUE(peer.write_plist(command("RelayNotification", "com.example.last").get()));
    EXPECT_EQ(received.wait_for(1), (std::vector<std::string>{"com.example.last"}));
    peer.close();
    EXPECT_EQ(np_client_free(client), NP_E_SUCCESS);
}

}  // namespace
}  // namespace libtarvo
