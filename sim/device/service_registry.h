/*
 * Services a simulated device can start through lockdown's StartService.
 * A service is a class: StartService makes one instance for the session's
 * host and gives it a port; the connection the host then makes to that port
 * (inside TLS when the service asks for it) is handed to the instance.
 * The registry lists the services by name; a name it lacks is answered
 * "InvalidService". The services a device offers are listed in
 * device_services.h.
 */
#ifndef TARVO_SIM_SERVICE_REGISTRY_H
#define TARVO_SIM_SERVICE_REGISTRY_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "device_state.h"
#include "fixture.h"
#include "message_log.h"
#include "service_socket.h"

namespace tarvosim {

/// What a service instance may use of its device. Outlives the instance.
struct ServiceContext {
    const Fixture &fixture;
    DeviceState &state;
    const MessageLog &log;
    std::string name;
    uint16_t port = 0;
    TrustedHost host;  // the host whose session started the service
    /// Reboots the device (detach, attach again); may be empty.
    std::function<void()> reboot;
};

class SimService {
  public:
    virtual ~SimService();
    /// Serves one connection to the service's port, on that connection's
    /// thread. Must return once the socket ends or is shut down, and
    /// bound every wait.
    virtual void serve(ServiceSocket &socket) = 0;
};

struct ServiceDefinition {
    std::string name;
    /// Whether the connection runs TLS (StartService's "EnableServiceSSL").
    bool use_tls = true;
    /// Makes the instance for one StartService; null refuses the connection.
    std::function<std::unique_ptr<SimService>(const ServiceContext &)> create;
    /// Checks the StartService request of the session's host before a port
    /// is opened: "" lets it through, anything else is the error lockdown
    /// answers with. Unset: every request passes.
    std::function<std::string(plist_t request, const TrustedHost &host)> check_start;
};

class ServiceRegistry {
  public:
    /// Adds or replaces the service of that name.
    void add(ServiceDefinition definition);
    const ServiceDefinition *find(std::string_view name) const;
    std::size_t size() const { return services_.size(); }

  private:
    std::map<std::string, ServiceDefinition, std::less<>> services_;
};

/// A service started by StartService, waiting for its connection.
struct StartedService {
    std::shared_ptr<ServiceContext> context;
    std::shared_ptr<SimService> service;
    bool use_tls = false;
};

/// The ports of started services on one device. Each StartService gets a
/// fresh port that takes exactly one connection, as on real devices.
class ServicePorts {
  public:
    /// Started services nobody connected to yet; beyond this the oldest is
    /// dropped, so a host that starts services in a loop cannot pile them up.
    static constexpr std::size_t kMaxWaiting = 64;
    static constexpr uint16_t kFirstPort = 49152;

    /// Picks a free port, builds the service for it with `make` and keeps
    /// it waiting there. Returns the port.
    uint16_t open(const std::function<StartedService(uint16_t port)> &make);
    bool is_open(uint16_t port) const;
    /// Removes and returns the service waiting on `port`.
    std::optional<StartedService> take(uint16_t port);

  private:
    mutable std::mutex mutex_;
    std::map<uint16_t, StartedService> waiting_;
    std::deque<uint16_t> order_;  // waiting ports, oldest first
    uint16_t next_port_ = kFirstPort;
};

}  // namespace tarvosim

#endif
