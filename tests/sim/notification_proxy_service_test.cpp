// The notification proxy of a simulated device, driven over the real
// socket: observing, relaying between connections, posting, shutting down,
// and what a hostile request does.
#include "notification_proxy_service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "service_test_client.h"

namespace tarvosim {
namespace {

using testing::LockdownTestClient;
using testing::plist_string;
using testing::Received;
using testing::ServiceHost;

PlistPtr command(const char *name, const char *notification = nullptr) {
    PlistPtr message(plist_new_dict());
    plist_dict_set_item(message.get(), "Command", plist_new_string(name));
    if (notification) {
        plist_dict_set_item(message.get(), "Name", plist_new_string(notification));
    }
    return message;
}

bool send(LockdownTestClient &client, const char *name, const char *notification = nullptr) {
    PlistPtr message = command(name, notification);
    return client.send_plist(message.get());
}

/// The name of the next relayed notification, or what came instead.
std::string next_relay(LockdownTestClient &client) {
    Received relay = client.receive();
    if (relay.kind != Received::kPlist) {
        return "<nothing>";
    }
    EXPECT_EQ(relay.string_at("Command"), "RelayNotification");
    return relay.string_at("Name");
}

/// Waits until the device has handled every request sent before on this
/// connection: requests are handled in order, and a name the connection
/// posts to itself comes back once it has been.
void sync(LockdownTestClient &client, const char *barrier) {
    ASSERT_TRUE(send(client, "ObserveNotification", barrier));
    ASSERT_TRUE(send(client, "PostNotification", barrier));
    ASSERT_EQ(next_relay(client), barrier);
}

class NotificationProxyTest : public ::testing::Test {
  protected:
    void SetUp() override { host_.start(); }
    ServiceHost host_;
};

TEST_F(NotificationProxyTest, PostedNamesReachOnlyTheirObservers) {
    auto watcher = host_.connect(kNotificationProxyService);
    auto other = host_.connect(kNotificationProxyService);
    auto poster = host_.connect(kNotificationProxyService);
    ASSERT_TRUE(watcher && other && poster);
    ASSERT_TRUE(send(*watcher, "ObserveNotification", "com.example.one"));
    ASSERT_TRUE(send(*watcher, "ObserveNotification", "com.example.two"));
    ASSERT_TRUE(send(*other, "ObserveNotification", "com.example.two"));
    sync(*watcher, "com.example.sync.watcher");
    sync(*other, "com.example.sync.other");

    ASSERT_TRUE(send(*poster, "PostNotification", "com.example.unwatched"));
    ASSERT_TRUE(send(*poster, "PostNotification", "com.example.one"));
    ASSERT_TRUE(send(*poster, "PostNotification", "com.example.two"));
    // Relays keep their order, and the unwatched name never shows.
    EXPECT_EQ(next_relay(*watcher), "com.example.one");
    EXPECT_EQ(next_relay(*watcher), "com.example.two");
    EXPECT_EQ(next_relay(*other), "com.example.two");
}

TEST_F(NotificationProxyTest, ShutdownAnswersProxyDeathAndCloses) {
    auto client = host_.connect(kNotificationProxyService);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send(*client, "ObserveNotification", "com.example.one"));
    ASSERT_TRUE(send(*client, "Shutdown"));
    Received death = client->receive();
    ASSERT_EQ(death.kind, Received::kPlist);
    EXPECT_EQ(death.string_at("Command"), "ProxyDeath");
    EXPECT_TRUE(client->sees_end());
}

TEST_F(NotificationProxyTest, OddRequestsAreIgnoredAndGarbageDropsTheConnection) {
    auto client = host_.connect(kNotificationProxyService);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send(*client, "NoSuchCommand", "x"));
    ASSERT_TRUE(send(*client, "ObserveNotification"));  // no Name
    ASSERT_TRUE(send(*client, "ObserveNotification", "com.example.after"));
    sync(*client, "com.example.sync");
    auto poster = host_.connect(kNotificationProxyService);
    ASSERT_TRUE(send(*poster, "PostNotification", "com.example.after"));
    EXPECT_EQ(next_relay(*client), "com.example.after");

    // An array is no request.
    PlistPtr array(plist_new_array());
    ASSERT_TRUE(client->send_plist(array.get()));
    EXPECT_TRUE(client->sees_end());
}

TEST_F(NotificationProxyTest, PostedNamesAreWrittenDownInTheDevicesFolder) {
    auto client = host_.connect(kNotificationProxyService);
    ASSERT_TRUE(client);
    for (const char *name : {"com.apple.itunes-mobdev.syncWillStart",
                             "com.apple.itunes-mobdev.syncLockRequest", "odd\nname\\"}) {
        ASSERT_TRUE(send(*client, "PostNotification", name));
    }
    // Observing writes nothing down; the barrier's own post does.
    ASSERT_TRUE(send(*client, "ObserveNotification", "com.example.only.observed"));
    sync(*client, "com.example.sync");
    std::ifstream in(host_.sim().state_dir() + "/devices/" + testing::kIphoneUdid + "/" +
                     kPostedNotificationsFile);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "com.apple.itunes-mobdev.syncWillStart\n"
              "com.apple.itunes-mobdev.syncLockRequest\n"
              "odd\\x0Aname\\x5C\n"
              "com.example.sync\n");
}

TEST(NotificationProxyDebugTest, PostedNameShowsInTheTrace) {
    ::setenv("TARVO_SIM_DEBUG", "1", 1);
    ServiceHost host;
    host.start();
    ::unsetenv("TARVO_SIM_DEBUG");
    auto client = host.connect(kNotificationProxyService);
    ASSERT_TRUE(client);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(send(*client, "PostNotification", "com.example.traced"));
    ASSERT_TRUE(send(*client, "Shutdown"));
    const Received death = client->receive();
    const std::string trace = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(death.string_at("Command"), "ProxyDeath");
    EXPECT_NE(trace.find("posted \"com.example.traced\""), std::string::npos) << trace;
}

}  // namespace
}  // namespace tarvosim
