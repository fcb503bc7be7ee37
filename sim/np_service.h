/*
 * The notification proxy ("com.apple.mobile.notification_proxy") of a
 * simulated device: hosts observe and post notifications; a notification
 * posted on the device (by a host, or by a backup script) is relayed to
 * every connection of that device that observes its name.
 */
#ifndef TARVO_SIM_NP_SERVICE_H
#define TARVO_SIM_NP_SERVICE_H

#include <cstddef>
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

/// The service's definition, relaying through `hub`.
ServiceDefinition notification_proxy_definition(std::shared_ptr<NotificationHub> hub);

}  // namespace tarvosim

#endif
