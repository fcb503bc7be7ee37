/*
 * The notification proxy ("com.apple.mobile.notification_proxy") of a
 * simulated device: hosts observe and post notifications; a notification
 * posted on the device (by a host, or by a backup script) is relayed to
 * every connection of that device that observes its name. What hosts post
 * is also written down in the device's state folder, for tests to read.
 */
#ifndef TARVO_SIM_NP_SERVICE_H
#define TARVO_SIM_NP_SERVICE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "service_registry.h"
#include "unique_fd.h"

namespace tarvosim {

inline constexpr const char *kNotificationProxyService = "com.apple.mobile.notification_proxy";

/// One notification proxy connection's wishes and its pending relays.
/// The serving thread waits on wake_fd() for relays to send.
class NotificationObserver {
  public:
    /// Relays waiting beyond this drop the oldest: a host that never reads
    /// cannot make the device hoard them.
    static constexpr std::size_t kMaxPending = 256;
    /// Names one connection may observe.
    static constexpr std::size_t kMaxNames = 1024;

    NotificationObserver();
    bool ok() const { return static_cast<bool>(wake_); }
    int wake_fd() const { return wake_.get(); }

    /// False when the connection already observes kMaxNames names.
    bool observe(const std::string &name);
    /// Queues the name if observed; true when it was.
    bool offer(const std::string &name);
    /// Takes every pending relay, oldest first, and clears the wake-up.
    std::vector<std::string> take_pending();

  private:
    std::mutex mutex_;
    std::set<std::string, std::less<>> names_;
    std::deque<std::string> pending_;
    UniqueFd wake_;  // eventfd, readable while relays are pending
};

/// The device's notification center: every live observer of the device.
class NotificationHub {
  public:
    void add(const std::shared_ptr<NotificationObserver> &observer);
    void remove(const NotificationObserver *observer);
    /// Relays `name` to each observer that observes it; returns how many.
    std::size_t post(const std::string &name);

  private:
    std::mutex mutex_;
    std::vector<std::weak_ptr<NotificationObserver>> observers_;
};

/// The names hosts posted on a device, appended to a text file one per line
/// (a control character or backslash in a name is written as \xNN, so
/// every name stays on its line).
class PostedNotificationLog {
  public:
    /// Beyond this the file grows no more: a host posting in a loop cannot
    /// fill the disk.
    static constexpr uint64_t kMaxFileSize = 16 * 1024 * 1024;

    explicit PostedNotificationLog(std::string path) : path_(std::move(path)) {}
    const std::string &path() const { return path_; }
    /// False when the name could not be written (or the file is full).
    bool append(std::string_view name);

  private:
    std::mutex mutex_;
    std::string path_;
};

/// The file in the device's folder (DIR/devices/<UDID>) that holds them.
inline constexpr const char *kPostedNotificationsFile = "posted-notifications.txt";

/// The service's definition, relaying through `hub`; names hosts post are
/// appended to `posted` (none: not written down).
ServiceDefinition notification_proxy_definition(std::shared_ptr<NotificationHub> hub,
                                                std::shared_ptr<PostedNotificationLog> posted);

}  // namespace tarvosim

#endif
